// Where an entry lives on disk, how a download replaces it, and the installed serial.
#pragma once
#include <cstdint>
#include <string>

struct ManifestEntry;

// installDir + "\" + path, with every "/" in the result turned into "\".
std::wstring TargetPath(const std::string& path);

// Creates the missing parent directories and the ".part" file beside target, open for writing
// with no sharing. Returns the HANDLE, or nullptr when it cannot be created.
void* CreatePartFile(const std::wstring& target);

// Opens target + ".part" for reading and writing, keeping what an earlier run left in it (or
// creating it, with its parent directories). Returns the HANDLE, or nullptr.
void* OpenPartFile(const std::wstring& target);

// Deletes target + ".part"; the result is ignored.
void DiscardPartFile(const std::wstring& target);

// Before the handle of target's complete ".part" is closed: its data is written through to the
// disk when target is the running updater, which nothing repairs after a power cut.
void MakePartDurable(void* handle, const std::wstring& target);

// Checks target + ".part" against entry and moves it over target (setting the running updater
// aside as ".old" first). On false, error holds the German message and the ".part" is gone.
// Renames and deletes that fail as a briefly held file does are tried again for about a second.
// With mismatched given, a ".part" that fails the check only sets it (nothing is logged), so the
// caller can fetch the file another way.
bool InstallDownloadedFile(const ManifestEntry& entry, const std::wstring& target, std::string& error,
                           bool* mismatched = nullptr);

// The move of InstallDownloadedFile alone, for a ".part" whose bytes were checked against entry's
// size and digest while they were written.
bool InstallCheckedFile(const ManifestEntry& entry, const std::wstring& target, std::string& error);

// installDir\updater.state; false when it cannot be opened.
bool ReadInstalledSerial(uint64_t& serial);
void WriteInstalledSerial(uint64_t serial);

// The locked-file message, never cut however long the path.
std::string LockedFileMessage(const std::string& path, unsigned long errorCode);

// Whether target names the running updater: equal to exePath when only the letters A to Z are
// folded, with no other normalisation (no "/" for "\", no other letters folded); callers pass
// both through LongFullPath.
bool IsOwnExecutable(const std::wstring& target, const std::wstring& exePath);

// path made absolute and normalised (GetFullPathNameW: "/" as "\", "." and ".." gone). When it
// holds a "~", the longest part of it that exists is given the long names the file system keeps
// (a short name such as UPDA~5CR.STA becomes updater.state); the names after that part stay as
// they are. path itself when it cannot be made absolute.
std::wstring LongFullPath(const std::wstring& path);
