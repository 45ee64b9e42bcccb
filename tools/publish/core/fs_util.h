// Small POSIX file helpers for the publisher: owned descriptors, atomic writes, tree removal.
#pragma once
#include <cstdint>
#include <sys/stat.h>
#include <string>
#include <vector>

// Owns one file descriptor; closes it when it goes out of scope.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();

private:
    int fd_ = -1;
};

// "what: strerror(errno)" for the current errno.
std::string ErrnoText(const std::string& what);

// FNV-1a of text as 8 lower-case hex digits: no secret, only a check that a name typed by hand
// never passes for one of the tool's own marked names by accident.
std::string CheckHex(const std::string& text);

// Reads a whole regular file into bytes; false with a message on any failure or above maxBytes.
bool ReadWholeFile(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& bytes,
                   std::string& error);

// ReadWholeFile that tells a file that is not there from one that cannot be read: Absent where
// the name is missing, a symbolic link (never followed) or not a regular file; Failed (with error)
// on every other failure, which a caller must never take for "not there".
enum class ReadResult { Read, Absent, Failed };
ReadResult ReadFileIfThere(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& bytes,
                           std::string& error);

// lstat that fails (with error) only where the name could not be looked at; present false when it
// is not there.
bool LstatIfThere(const std::string& path, bool& present, struct stat& st, std::string& error);

// Writes all of data to fd, retrying short writes.
bool WriteAll(int fd, const void* data, size_t size);

// Writes bytes to path through a temporary file in the same directory, then renames it over
// path, durably (file and folder flushed). mode applies to the new file. With noReplace an
// existing path is an error and stays.
bool WriteFileAtomic(const std::string& path, const void* data, size_t size, unsigned mode,
                     bool noReplace, std::string& error);

// Writes bytes to a fresh OwnTempName(path) (mode as given, flushed to disk); temp gets its name.
bool WriteTempBeside(const std::string& path, const void* data, size_t size, unsigned mode,
                     std::string& temp, std::string& error);

// Renames temp to path (refusing an existing path with noReplace, also where renameat2 takes no
// flags), then flushes the folder; on failure temp is removed.
bool RenameTemp(const std::string& temp, const std::string& path, bool noReplace, std::string& error);

// A name for a temporary file or folder of the publisher beside base: "BASE.tmp-" and 16 hex
// digits, the last 8 a check over the first 8 and base's last segment. The check is the mark that
// tells the publisher's own leftovers from anything else, such as a hand-made "server.tmp-backup".
std::string OwnTempName(const std::string& base);

// Whether entry (a bare name) is an OwnTempName of baseName (a bare name) followed by suffix.
bool IsOwnTempName(const std::string& entry, const std::string& baseName, const std::string& suffix);

// Makes a new folder under an OwnTempName(base), mode 0777 minus umask; path gets its name.
bool MakeOwnTempDir(const std::string& base, std::string& path, std::string& error);

// fsync of the folder that holds path, so that a name made, renamed or removed there survives a crash.
bool SyncParent(const std::string& path, std::string& error);

// Takes an exclusive flock on lockPath (created when missing) without waiting; lock holds it until
// it is closed. A lock held by another process is an error that says so.
bool LockExclusive(const std::string& lockPath, UniqueFd& lock, std::string& error);

// Removes a file or a directory tree without following symbolic links. Missing is success.
bool RemoveTree(const std::string& path, std::string& error);

// Splits "a/b/c" into the directory part ("a/b", "." when none) and the last name ("c").
void SplitPath(const std::string& path, std::string& parent, std::string& name);

// The name beside path that ends in suffix: "srv/" and ".lock" give "srv.lock".
std::string BesidePath(const std::string& path, const std::string& suffix);

// Joins two path parts with one "/".
std::string JoinPath(const std::string& a, const std::string& b);

bool IsDirectory(const std::string& path);
bool PathExists(const std::string& path);
