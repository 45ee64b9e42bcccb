// Brings a downloaded ".part" file into place, and keeps the installed serial in updater.state.
#include "update/file_replace.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "base/log.h"
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

// Takes the read-only attribute off path; returns the attributes it had when it carried it
// (to put back if the move fails), else 0.
DWORD ClearReadOnly(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return 0;
    if (!SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return 0;
    return attributes;
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
        std::wstring part = full.substr(0, end);
        std::wstring resolved = PathFromCall(
            [&](wchar_t* buffer, DWORD size) { return GetLongPathNameW(part.c_str(), buffer, size); });
        if (!resolved.empty()) return resolved + full.substr(end);
    }
    return full;
}

void* CreatePartFile(const std::wstring& target) {
    // Positions 0 to 3 hold the root of a drive-letter path ("C:\"), which cannot be created.
    for (size_t i = 4; i < target.size(); ++i) {
        if (target[i] == L'\\') CreateDirectoryW(target.substr(0, i).c_str(), nullptr);
    }
    std::wstring part = target + L".part";
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    // NB: a download is only ever written into a disk file, never into a device that a name
    // such as "aux.part" may reach.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return nullptr;
    }
    return file;
}

void DiscardPartFile(const std::wstring& target) {
    DeleteFileW((target + L".part").c_str());
}

bool InstallDownloadedFile(const ManifestEntry& entry, const std::wstring& target,
                           std::string& error) {
    std::wstring part = target + L".part";
    std::string hex;
    uint64_t size = 0;
    if (!HashFile(part, hex, size) || size != entry.size || hex != entry.sha256) {
        DeleteFileW(part.c_str());
        error = "Prüfsumme stimmt nicht: " + entry.path;
        WriteLog("HASH MISMATCH %s", entry.path.c_str());
        return false;
    }

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
        DeleteFileW(old.c_str());
        setAside = MoveFileExW(destination.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    }

    if (!MoveFileExW(part.c_str(), destination.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD code = GetLastError();  // before any other call can overwrite it
        DeleteFileW(part.c_str());
        // Put the updater back under its name, or the player is left without one. No
        // replace flag: whatever may have appeared under the name meanwhile is not clobbered.
        if (setAside) MoveFileExW(old.c_str(), destination.c_str(), 0);
        if (readOnlyAttributes) SetFileAttributesW(destination.c_str(), readOnlyAttributes);
        error = LockedFileMessage(entry.path, code);
        return false;
    }
    return true;
}

// updater.state holds one line, the serial of the last fully installed manifest:
//   1234\r\n
bool ReadInstalledSerial(uint64_t& serial) {
    StdioFile state(_wfopen(StatePath().c_str(), L"rb"));
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
    StdioFile state(_wfopen(fresh.c_str(), L"wb"));
    if (!state.file) return;
    bool written = std::fprintf(state.file, "%llu\r\n", static_cast<unsigned long long>(serial)) > 0;
    if (!state.Close() || !written ||
        !MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(fresh.c_str());
    }
}
