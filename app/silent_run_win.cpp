// The silent run (not built yet).
#include "app/silent_run.h"

#include "app/startup.h"

int RunSilent() { return kExitFailure; }
