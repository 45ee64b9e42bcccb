// Entry point: the lock first, then start-up, then one run mode whose result is the exit code.
#include <windows.h>

#include "app/log.h"
#include "app/settings.h"
#include "app/startup.h"
#include "update/status.h"

// The hand-over of start-up step 9. The run modes are not built yet, so every start ends here.
static int RunSelectedMode(HINSTANCE) {
    WriteLog("no run mode available in this build");
    return kExitFailure;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    InitStatusLock();
    wchar_t modulePath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    RunStartup(GetCommandLineW(), modulePath);
    return RunSelectedMode(instance);
}
