// Stands in for the game in tests: records its working directory and arguments, then exits.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0],
                            length, nullptr, nullptr);
    }
    return result;
}

}  // namespace

// Writes "fake_game_record.txt" beside its own exe (not into the working directory, which is
// what is being checked): line 1 the working directory, then one line per argument after argv[0].
int main() {
    wchar_t own[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring recordPath(own);
    recordPath = recordPath.substr(0, recordPath.rfind(L'\\') + 1) + L"fake_game_record.txt";

    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::string record = Utf8(cwd) + "\n";
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; argv && i < count; ++i) record += Utf8(argv[i]) + "\n";
    if (argv) LocalFree(argv);

    // Written under a temporary name and renamed, so a reader never sees half a record.
    std::wstring temp = recordPath + L".tmp";
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
    return MoveFileExW(temp.c_str(), recordPath.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
