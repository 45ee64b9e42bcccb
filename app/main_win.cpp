// Entry point: the DLL search rule, the lock, then start-up, then one run mode whose result is the exit code.
#include <windows.h>

#include "app/dll_search.h"
#include "app/silent_run.h"
#include "app/startup.h"
#include "base/settings.h"
#include "ui/window_run.h"
#include "update/status.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    RestrictDllSearch();
    InitStatusLock();
    RunStartup(GetCommandLineW(), OwnModulePath());
    if (settings.silent) return RunSilent();
    return RunWindow(instance);
}
