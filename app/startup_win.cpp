// Start-up steps 1 to 8: settings from defaults, updater.cfg and the command line, in order.
#include "app/startup.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "app/command_line.h"
#include "base/long_path.h"
#include "base/settings.h"

std::wstring DirectoryOfExe(const std::wstring& exePath) {
    size_t slash = exePath.rfind(L'\\');
    return slash == std::wstring::npos ? exePath : exePath.substr(0, slash);
}

std::wstring OwnModulePath() {
    // A path of 32,767 characters is the longest Windows has; a full buffer may be a cut one.
    for (DWORD size = MAX_PATH; size <= 65536; size *= 2) {
        std::wstring path(size, L'\0');
        DWORD length = GetModuleFileNameW(nullptr, &path[0], size);
        if (length == 0) return std::wstring();
        if (length < size) {
            path.resize(length);
            return WithoutExtendedPrefix(path);
        }
    }
    return std::wstring();
}

static std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine) {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &count);
    if (!argv) return args;  // a failed split means no arguments
    for (int i = 0; i < count; ++i) args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}

void RunStartup(const wchar_t* commandLine, const std::wstring& exePath) {
    settings = DefaultSettings();
    settings.exePath = exePath;
    settings.installDir = DirectoryOfExe(exePath);

    // The copy a self-update set aside last time; missing or locked changes nothing.
    DeleteFileW(FileCallPath(exePath + L".old").c_str());

    std::vector<std::wstring> args = SplitCommandLine(commandLine);
    ApplyDirPass(args, settings);
    settings.logPath = settings.installDir + L"\\updater.log";
    ReadSettingsFile();
    ApplySwitchPass(args, settings);
    NormalizeBaseUrl();
}
