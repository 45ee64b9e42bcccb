// DLLs come from the system folder only, never from the game folder the updater sits in.
#pragma once

// Makes every later DLL load, the delay-loaded imports and the loads made inside system DLLs,
// search the system folder alone. Call first in the entry point: nothing may load a DLL before.
void RestrictDllSearch();
