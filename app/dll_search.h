// DLLs come from the system folder only, never from the game folder the updater sits in.
#pragma once

// Makes every later DLL load, and the loads made inside system DLLs, search the system folder
// alone. Call first in the entry point: nothing may load a DLL before.
void RestrictDllSearch();

// Loads a system DLL that is no KnownDLL (app/system_dlls.inc) by file name; its module handle,
// or null with the system error code in GetLastError.
void* LoadSystemDll(const wchar_t* file);
