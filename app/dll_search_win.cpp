// DLLs from the system folder only: the search rule at start-up and the delay-load hooks.
#include "app/dll_search.h"

#include <windows.h>
#include <delayimp.h>

#include "base/exit_code.h"
#include "base/log.h"

namespace {

// Every delay-loaded import comes from System32 even if something reached it before
// RestrictDllSearch, since the helper's own LoadLibraryA would follow the process's search order.
FARPROC WINAPI LoadFromSystemFolder(unsigned notify, PDelayLoadInfo info) {
    if (notify != dliNotePreLoadLibrary) return nullptr;
    return reinterpret_cast<FARPROC>(LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

// Without the hook the helper raises an exception nobody catches. These are system DLLs, so a
// missing one or a missing function means a broken system: say so in the log and end.
FARPROC WINAPI EndOnMissingSystemDll(unsigned notify, PDelayLoadInfo info) {
    const DWORD error = info->dwLastError;
    if (notify == dliFailLoadLib) {
        WriteLog("cannot load the system DLL %s (error %lu)", info->szDll, error);
    } else if (info->dlp.fImportByName) {
        WriteLog("the system DLL %s has no %s (error %lu)", info->szDll, info->dlp.szProcName, error);
    } else {
        WriteLog("the system DLL %s has no ordinal %lu (error %lu)", info->szDll, info->dlp.dwOrdinal, error);
    }
    TerminateProcess(GetCurrentProcess(), kExitFailure);
    return nullptr;
}

}  // namespace

// mingw's delay-load helper reads these two; defining them here keeps the library's empty ones out.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;
PfnDliHook __pfnDliFailureHook2 = EndOnMissingSystemDll;
// Ends the table of dlltool's delay-load descriptors (.text$2), which the linker sorts just before
// it; aligned no more than they are, so that no gap opens. cmake/delay-directory.sh names the table.
__attribute__((section(".text$2z"), used, aligned(4))) const ImgDelayDescr quillorDelayTableEnd = {};
}

void RestrictDllSearch() {
    // NB: keep this the first call of the process: the statically imported system DLLs are
    // KnownDLLs, but what they load later by name (and the delay-loaded ones) would otherwise be
    // looked for in the exe's folder first, which the game, its mods and the updater fill.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The current directory leaves the search too, for any LoadLibrary with a search of its own.
    SetDllDirectoryW(L"");
    // A use of the table's end, so that --gc-sections keeps it.
    asm volatile("" : : "r"(&quillorDelayTableEnd));
}
