// The walk over the installation directory for the old copies of moved files and unused partial downloads.
#include <windows.h>

#include <algorithm>

#include "base/log.h"
#include "base/long_path.h"
#include "base/settings.h"
#include "update/local_scan.h"

namespace {

// Far beyond any game (100,000 files are large), so a directory that is not one still ends soon.
constexpr uint32_t kMaxScannedNames = 2000000;

struct FindHandle {
    explicit FindHandle(HANDLE h) : handle(h) {}
    ~FindHandle() {
        if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    HANDLE handle;
};

}  // namespace

std::vector<LocalSource> ScanInstallation(const LocalScanRules& rules) {
    std::vector<LocalSource> sources;
    std::vector<std::wstring> folders{std::wstring()};  // relative, each ending in "\" but the root
    uint32_t seen = 0;
    while (!folders.empty() && seen < kMaxScannedNames) {
        const std::wstring folder = std::move(folders.back());
        folders.pop_back();
        WIN32_FIND_DATAW found;
        FindHandle find(FindFirstFileExW(FileCallPath(settings.installDir + L"\\" + folder + L"*").c_str(),
                                         FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                         FIND_FIRST_EX_LARGE_FETCH));
        if (find.handle == INVALID_HANDLE_VALUE) continue;
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            // NB: a junction or link may lead out of the installation, or back into it for ever.
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
            const std::wstring relative = folder + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                folders.push_back(relative + L"\\");
                continue;
            }
            const uint64_t size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            const bool partName = name.size() > 5 && _wcsicmp(name.c_str() + name.size() - 5, L".part") == 0;
            if (!MayMatterToLocalScan(rules, partName, size)) continue;
            const std::wstring full = settings.installDir + L"\\" + relative;
            switch (RoleOfLocalFile(rules, ToUtf8(relative), size)) {
                case LocalFileRole::Source:
                    sources.push_back({full, size});
                    break;
                case LocalFileRole::UnusedPartial:
                    if (DeleteFileW(FileCallPath(full).c_str())) {
                        std::string shown = ToUtf8(relative);
                        std::replace(shown.begin(), shown.end(), '\\', '/');
                        WriteLog("removed unused partial download %s", shown.c_str());
                    }
                    break;
                case LocalFileRole::Ignore:
                    break;
            }
        } while (++seen < kMaxScannedNames && FindNextFileW(find.handle, &found));
    }
    std::stable_sort(sources.begin(), sources.end(),
                     [](const LocalSource& x, const LocalSource& y) { return x.size < y.size; });
    return sources;
}
