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
// what is being checked): line 1 the working directory in its long form (a game started from
// beyond MAX_PATH may get its short one), then one line per argument after argv[0]. Paths of any
// length: the exe may live in an installation deeper than MAX_PATH.
int main() {
    std::wstring own(32768, L'\0');
    own.resize(GetModuleFileNameW(nullptr, &own[0], static_cast<DWORD>(own.size())));
    std::wstring recordPath = own.substr(0, own.rfind(L'\\') + 1) + L"fake_game_record.txt";
    if (recordPath.size() >= 260 && recordPath.compare(0, 4, L"\\\\?\\") != 0) recordPath = L"\\\\?\\" + recordPath;

    std::wstring cwd(32768, L'\0');
    cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), &cwd[0]));
    std::wstring longCwd(32768, L'\0');
    DWORD longLength = GetLongPathNameW(cwd.c_str(), &longCwd[0], static_cast<DWORD>(longCwd.size()));
    if (longLength > 0 && longLength < longCwd.size()) cwd = longCwd.substr(0, longLength);
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
