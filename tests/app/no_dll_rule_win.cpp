// The control updater of the planted-DLL test: the DLL rule left out, as before it existed.
#include <windows.h>

#include "app/dll_search.h"

void RestrictDllSearch() {}

void* LoadSystemDll(const wchar_t* file) { return LoadLibraryW(file); }
