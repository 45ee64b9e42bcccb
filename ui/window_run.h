// The default run mode: the launcher window with the update on a worker thread.
#pragma once

// Never returns normally: ends the process with exit code 0 or 2. instance is the HINSTANCE.
int RunWindow(void* instance);
