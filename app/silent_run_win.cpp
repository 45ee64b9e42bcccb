// The run mode without a window: the update on the main thread, the result as exit code.
#include "app/silent_run.h"

#include "base/exit_code.h"
#include "base/launch.h"
#include "base/log.h"
#include "base/settings.h"
#include "update/status.h"
#include "update/update_run.h"

int RunSilent() {
    if (!RunUpdate()) {
        WriteLog("FAILED: %s", updateStatus.errorText.c_str());
        return kExitFailure;
    }
    if (!settings.noLaunch) LaunchGame();
    return kExitSuccess;
}
