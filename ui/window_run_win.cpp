// The window run (not built yet): ends the start at once.
#include "ui/window_run.h"

#include "app/log.h"
#include "app/startup.h"

int RunWindow(void*) {
    WriteLog("the launcher window is not available in this build; start with /silent");
    return kExitFailure;
}
