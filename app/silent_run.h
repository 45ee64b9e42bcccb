// The run mode without a window: the update on the main thread, the result as exit code.
#pragma once

int RunSilent();
