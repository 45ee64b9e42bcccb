// Start-up steps 1 to 8: settings from defaults, updater.cfg and the command line, in order.
#include "app/startup.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "app/command_line.h"
#include "base/settings.h"

std::wstring DirectoryOfExe(const std::wstring& exePath) {
    size_t slash = exePath.rfind(L'\\');
    return slash == std::wstring::npos ? exePath : exePath.substr(0, slash);
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
    DeleteFileW((exePath + L".old").c_str());

    std::vector<std::wstring> args = SplitCommandLine(commandLine);
    ApplyDirPass(args, settings);
    settings.logPath = settings.installDir + L"\\updater.log";
    ReadSettingsFile();
    ApplySwitchPass(args, settings);
    NormalizeBaseUrl();
}
