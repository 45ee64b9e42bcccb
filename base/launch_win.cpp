// Starts the game through the shell once the update is done; never waits for it.
#include "base/launch.h"

#include <windows.h>
#include <shellapi.h>

#include "base/log.h"
#include "base/settings.h"

void LaunchGame() {
    std::wstring gamePath = settings.installDir + L"\\" + settings.gameExe;
    // Logged before the attempt: the line is all that is left of a start that fails.
    WriteLog("launching %s", ToUtf8(gamePath).c_str());
    ShellExecuteW(nullptr, L"open", gamePath.c_str(), nullptr, settings.installDir.c_str(),
                  SW_SHOWNORMAL);
}
