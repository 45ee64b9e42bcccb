// The update run: manifest, signature, rollback check, check phase, downloads, state file.
#pragma once
#include <cstdint>

// True when every planned file is installed and the serial recorded; false with errorText set.
bool RunUpdate();

// The worker thread's procedure: RunUpdate, then publishes the result through finished.
unsigned long __stdcall UpdateWorkerProc(void* parameter);
