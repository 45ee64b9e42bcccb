// Asks the file system for the short (8.3) name of a path and writes it, in UTF-8, to a file:
//   short_name.exe PATH OUT      exit 0 when OUT holds the name, 1 otherwise
#include <windows.h>
#include <shellapi.h>

#include <string>

int main() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv || count != 3) return 1;
    wchar_t shortPath[32768] = {};
    DWORD length = GetShortPathNameW(argv[1], shortPath, 32768);
    int bytes = length > 0 && length < 32768
                    ? WideCharToMultiByte(CP_UTF8, 0, shortPath, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr)
                    : 0;
    std::string name(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, shortPath, static_cast<int>(length), &name[0], bytes, nullptr,
                            nullptr);
    }
    HANDLE out = bytes > 0 ? CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr)
                           : INVALID_HANDLE_VALUE;
    LocalFree(argv);
    if (out == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    bool ok = WriteFile(out, name.data(), static_cast<DWORD>(name.size()), &written, nullptr) &&
              written == name.size();
    CloseHandle(out);
    return ok ? 0 : 1;
}
