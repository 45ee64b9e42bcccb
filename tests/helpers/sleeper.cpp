// A process that stays alive, so tests can act on a running executable, or that holds a file as a
// virus scanner does; it ends when it is terminated, or by itself after a minute at most.
//   sleeper.exe                           just stays alive
//   sleeper.exe hold PATH READY RELEASE   opens PATH with read sharing only (no rename, no delete
//                                         meanwhile), creates READY, and lets go once RELEASE
//                                         exists; exit 0, or 1 when PATH cannot be opened
#include <windows.h>
#include <shellapi.h>

namespace {

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

int Hold(const wchar_t* path, const wchar_t* ready, const wchar_t* release) {
    HANDLE held = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    for (int waited = 0; waited < 60000 && !Exists(release); waited += 5) Sleep(5);
    CloseHandle(held);
    return 0;
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv && count == 5 && lstrcmpW(argv[1], L"hold") == 0) return Hold(argv[2], argv[3], argv[4]);
    Sleep(60000);
    return 0;
}
