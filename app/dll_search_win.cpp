// DLLs from the system folder only: the search rule at start-up and the loader of the system DLLs.
#include "app/dll_search.h"

#include <windows.h>

void RestrictDllSearch() {
    // NB: keep this the first call of the process: the statically imported system DLLs are
    // KnownDLLs, but what they load later by name would otherwise be looked for in the exe's
    // folder first, which the game, its mods and the updater fill.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The current directory leaves the search too, for any LoadLibrary with a search of its own.
    SetDllDirectoryW(L"");
}

void* LoadSystemDll(const wchar_t* file) {
    // NB: System32 alone, even if something reached this before RestrictDllSearch.
    return LoadLibraryExW(file, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}
