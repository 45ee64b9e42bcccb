// Brings a downloaded ".part" file into place, and keeps the installed serial in updater.state.
#include "update/file_replace.h"

#include <windows.h>
#include <io.h>

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/long_path.h"
#include "base/settings.h"
#include "update/decimal.h"
#include "update/file_hash.h"
#include "update/manifest.h"

namespace {

struct StdioFile {
    FILE* file;
    explicit StdioFile(FILE* f) : file(f) {}
    ~StdioFile() {
        if (file) std::fclose(file);
    }
    StdioFile(const StdioFile&) = delete;
    StdioFile& operator=(const StdioFile&) = delete;
    // Closes now and tells whether everything written reached the system.
    bool Close() {
        bool ok = std::fclose(file) == 0;
        file = nullptr;
        return ok;
    }
};

std::wstring StatePath() { return settings.installDir + L"\\updater.state"; }

// Real-time virus scanners and indexers open a newly written file for a moment; a rename or delete
// meanwhile fails with one of these. A game that holds the file holds it for longer than the tries.
constexpr int kHeldTries = 10;
constexpr DWORD kHeldPauseMs = 100;

bool MayBeBrieflyHeld(DWORD code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION;
}

// Tries call (a rename or delete that sets the last error) until it succeeds, fails for another
// reason, or kHeldTries tries are over; on false, code holds the last try's error.
template <typename Call>
bool TriedWhileHeld(Call call, DWORD& code) {
    for (int tried = 1;; ++tried) {
        if (call()) return true;
        code = GetLastError();  // before Sleep or anything else may overwrite it
        if (!MayBeBrieflyHeld(code) || tried == kHeldTries) return false;
        Sleep(kHeldPauseMs);
    }
}

bool Move(const std::wstring& from, const std::wstring& to, DWORD flags, DWORD& code) {
    const std::wstring source = FileCallPath(from), destination = FileCallPath(to);
    return TriedWhileHeld([&] { return MoveFileExW(source.c_str(), destination.c_str(), flags) != 0; }, code);
}

// The result is ignored by every caller, as a clean-up's is.
void Delete(const std::wstring& path) {
    const std::wstring file = FileCallPath(path);
    DWORD code = 0;
    TriedWhileHeld([&] { return DeleteFileW(file.c_str()) != 0; }, code);
}

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(FileCallPath(path).c_str()); }

bool SetAttributes(const std::wstring& path, DWORD attributes) {
    return SetFileAttributesW(FileCallPath(path).c_str(), attributes) != 0;
}

// Takes the read-only attribute off path; returns the attributes it had when it carried it
// (to put back if the move fails), else 0.
DWORD ClearReadOnly(const std::wstring& path) {
    DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return 0;
    if (!SetAttributes(path, attributes & ~FILE_ATTRIBUTE_READONLY)) return 0;
    return attributes;
}

bool IsRunningUpdater(const std::wstring& target) {
    return IsOwnExecutable(LongFullPath(target), LongFullPath(settings.exePath));
}

// The path a call writes into a buffer it is given with its size, which answers the size it needs
// when the buffer is too small (GetFullPathNameW, GetLongPathNameW); empty on failure.
template <typename Call>
std::wstring PathFromCall(Call call) {
    DWORD needed = call(nullptr, 0);
    if (needed == 0) return std::wstring();
    std::wstring path(needed, L'\0');
    DWORD length = call(&path[0], needed);
    if (length == 0 || length >= needed) return std::wstring();
    path.resize(length);
    return path;
}

}  // namespace

std::wstring LongFullPath(const std::wstring& path) {
    std::wstring full = PathFromCall([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
    if (full.empty()) return path;
    if (full.find(L'~') == std::wstring::npos) return full;
    // GetLongPathNameW fails on the whole path as soon as one name is missing, so ever shorter
    // parts are asked until one exists; a missing name has no other name anyway.
    for (size_t end = full.size(); end != std::wstring::npos && end > 0;
         end = full.rfind(L'\\', end - 1)) {
        if (full[end - 1] == L':') break;  // a bare drive ("C:") names no file
        // Beyond MAX_PATH GetLongPathNameW takes only the "\\?\" form, and answers in it.
        std::wstring part = FileCallPath(full.substr(0, end));
        std::wstring resolved = PathFromCall(
            [&](wchar_t* buffer, DWORD size) { return GetLongPathNameW(part.c_str(), buffer, size); });
        if (!resolved.empty()) return WithoutExtendedPrefix(resolved) + full.substr(end);
    }
    return full;
}

namespace {

HANDLE OpenPart(const std::wstring& target, DWORD access, DWORD disposition) {
    // Positions 0 to 3 hold the root of a drive-letter path ("C:\"), which cannot be created.
    for (size_t i = 4; i < target.size(); ++i) {
        if (target[i] == L'\\')
            CreateDirectoryW(FileCallPath(target.substr(0, i), kMaxDirectoryPathLength).c_str(), nullptr);
    }
    std::wstring part = FileCallPath(target + L".part");
    HANDLE file = CreateFileW(part.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    // NB: a download is only ever written into a disk file, never into a device that a name
    // such as "aux.part" may reach.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return nullptr;
    }
    return file;
}

}  // namespace

void* CreatePartFile(const std::wstring& target) { return OpenPart(target, GENERIC_WRITE, CREATE_ALWAYS); }

void* OpenPartFile(const std::wstring& target) {
    return OpenPart(target, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
}

void DiscardPartFile(const std::wstring& target) { Delete(target + L".part"); }

void MakePartDurable(void* handle, const std::wstring& target) {
    // A game file that a power cut leaves empty is found by the next run's check and fetched
    // again; a zero-filled updater cannot start to repair itself. A failed flush changes nothing
    // of what follows: the move still replaces the file, as it did before flushes.
    if (IsRunningUpdater(target)) FlushFileBuffers(static_cast<HANDLE>(handle));
}

bool InstallDownloadedFile(const ManifestEntry& entry, const std::wstring& target,
                           std::string& error, bool* mismatched) {
    std::wstring part = target + L".part";
    std::string hex;
    uint64_t size = 0;
    if (mismatched) *mismatched = false;
    if (!HashFile(part, hex, size) || size != entry.size || hex != entry.sha256) {
        Delete(part);
        if (mismatched) {
            *mismatched = true;
            return false;
        }
        error = "Prüfsumme stimmt nicht: " + entry.path;
        WriteLog("HASH MISMATCH %s", entry.path.c_str());
        return false;
    }
    return InstallCheckedFile(entry, target, error);
}

bool InstallCheckedFile(const ManifestEntry& entry, const std::wstring& target, std::string& error) {
    std::wstring part = target + L".part";
    // Windows refuses to replace a read-only file (error 5) on every run for ever, and a
    // read-only ".old" could not be deleted at the next start; Wine allows both.
    DWORD readOnlyAttributes = ClearReadOnly(target);

    // The running updater cannot be overwritten, but it can be renamed; the next start deletes
    // the ".old" copy. Both are compared as full paths with short names resolved, so a relative
    // or otherwise spelled installation directory, or an alias of the exe, still finds it; it is
    // then replaced under its own name, since an alias leaves with the file it names.
    std::wstring destination = target;
    std::wstring old;
    bool setAside = false;
    std::wstring resolved = LongFullPath(target);
    if (IsOwnExecutable(resolved, LongFullPath(settings.exePath))) {
        destination = resolved;
        old = destination + L".old";
        ClearReadOnly(old);
        Delete(old);
        // Write-through, so that the name is free on disk before the new exe, flushed when its
        // download ended, takes it.
        DWORD ignored = 0;
        setAside = Move(destination, old, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, ignored);
    }

    DWORD code = 0;
    if (!Move(part, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, code)) {
        Delete(part);
        // Put the updater back under its name, or the player is left without one. No
        // replace flag: whatever may have appeared under the name meanwhile is not clobbered.
        DWORD ignored = 0;
        if (setAside) Move(old, destination, 0, ignored);
        if (readOnlyAttributes) SetAttributes(destination, readOnlyAttributes);
        error = LockedFileMessage(entry.path, code);
        return false;
    }
    return true;
}

// updater.state holds one line, the serial of the last fully installed manifest:
//   1234\r\n
bool ReadInstalledSerial(uint64_t& serial) {
    StdioFile state(_wfopen(FileCallPath(StatePath()).c_str(), L"rb"));
    if (!state.file) return false;
    char line[64] = {};
    if (!std::fgets(line, sizeof line, state.file)) line[0] = '\0';
    state.Close();
    serial = ParseDecimal(line, std::strlen(line));
    return true;
}

void WriteInstalledSerial(uint64_t serial) {
    // Written beside the real name and renamed over it: a crash or a full disk while writing
    // must not leave an empty or cut state file, which would read as a lower serial and open
    // the door to a rollback.
    std::wstring path = StatePath();
    std::wstring fresh = path + L".new";
    StdioFile state(_wfopen(FileCallPath(fresh).c_str(), L"wb"));
    if (!state.file) return;
    bool written = std::fprintf(state.file, "%llu\r\n", static_cast<unsigned long long>(serial)) > 0;
    // Flushed before the rename: a rename can reach the disk before the data, and a power cut
    // would then leave an empty state file, which means no rollback check.
    written = written && std::fflush(state.file) == 0 &&
              FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(state.file))));
    if (!state.Close() || !written) {
        Delete(fresh);
        return;
    }
    // Windows refuses a rename over a read-only file, and an installer may ship it so; the new
    // file gets the attribute back, so the player's protection stays.
    DWORD readOnlyAttributes = ClearReadOnly(path);
    DWORD code = 0;
    if (!Move(fresh, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, code)) Delete(fresh);
    if (readOnlyAttributes) SetAttributes(path, readOnlyAttributes);
}
