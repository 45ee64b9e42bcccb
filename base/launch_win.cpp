// Starts the game through the shell once the update is done; never waits for it.
#include "base/launch.h"

#include <windows.h>
#include <shellapi.h>

#include "base/log.h"
#include "base/long_path.h"
#include "base/settings.h"

namespace {

bool FitsMaxPath(const std::wstring& path) { return !NeedsExtendedForm(path, kMaxPathLength); }

// The 8.3 form of a path of any length, "" where the volume keeps no short names or it is still
// too long for MAX_PATH. Asked in the "\\?\" form, which Windows needs beyond MAX_PATH, then as
// it is, which Wine needs.
std::wstring ShortForm(const std::wstring& path) {
    for (const std::wstring& asked : {FileCallPath(path), path}) {
        DWORD needed = GetShortPathNameW(asked.c_str(), nullptr, 0);
        if (needed == 0) continue;
        std::wstring shortPath(needed, L'\0');
        DWORD length = GetShortPathNameW(asked.c_str(), &shortPath[0], needed);
        if (length == 0 || length >= needed) continue;
        shortPath = WithoutExtendedPrefix(shortPath.substr(0, length));
        // A current directory must leave room for the backslash Windows adds to it.
        if (!NeedsExtendedForm(shortPath, kMaxPathLength - 1)) return shortPath;
    }
    return std::wstring();
}

// The shell takes no "\\?\" path, and fails on a longer plain one. So a game beyond MAX_PATH is
// handed to it by its short name, where the volume keeps 8.3 names; otherwise CreateProcessW takes
// the program in the "\\?\" form (the working directory then needs long paths to be enabled).
void StartDeepGame(const std::wstring& gamePath) {
    std::wstring shortGame = ShortForm(gamePath), shortDir = ShortForm(settings.installDir);
    if (!shortGame.empty() && !shortDir.empty()) {
        ShellExecuteW(nullptr, L"open", shortGame.c_str(), nullptr, shortDir.c_str(), SW_SHOWNORMAL);
        return;
    }
    std::wstring program = FileCallPath(gamePath);
    std::wstring commandLine = L"\"" + WithoutExtendedPrefix(program) + L"\"";
    std::wstring directory = shortDir.empty() ? settings.installDir : shortDir;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

}  // namespace

void LaunchGame() {
    std::wstring gamePath = settings.installDir + L"\\" + settings.gameExe;
    // Logged before the attempt: the line is all that is left of a start that fails.
    WriteLog("launching %s", ToUtf8(gamePath).c_str());
    if (!FitsMaxPath(gamePath) || gamePath.compare(0, 4, L"\\\\?\\") == 0) {
        StartDeepGame(gamePath);
        return;
    }
    ShellExecuteW(nullptr, L"open", gamePath.c_str(), nullptr, settings.installDir.c_str(),
                  SW_SHOWNORMAL);
}
