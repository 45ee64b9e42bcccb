// Starts the game through the shell once the update is done; never waits for it.
#include "app/launch.h"

#include <windows.h>
#include <shellapi.h>

#include "app/log.h"
#include "app/settings.h"

void LaunchGame() {
    std::wstring gamePath = settings.installDir + L"\\" + settings.gameExe;
    // Logged before the attempt: the line is all that is left of a start that fails.
    WriteLog("launching %s", ToUtf8(gamePath).c_str());
    ShellExecuteW(nullptr, L"open", gamePath.c_str(), nullptr, settings.installDir.c_str(),
                  SW_SHOWNORMAL);
}
