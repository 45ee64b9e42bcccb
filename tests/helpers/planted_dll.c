/* A DLL the planted-DLL test puts in the game folder under a system DLL's name. Loading it leaves
   NAME.loaded beside it, holding the loading program's path, and ends the process with 77. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t marker[MAX_PATH + 8];
    DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        lstrcpyW(marker + length, L".loaded");
        HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            char program[MAX_PATH];
            DWORD size = GetModuleFileNameA(NULL, program, MAX_PATH), written = 0;
            WriteFile(file, program, size < MAX_PATH ? size : 0, &written, NULL);
            CloseHandle(file);
        }
    }
    /* Whatever the program imports from the real DLL is missing here; end before it is called. */
    TerminateProcess(GetCurrentProcess(), 77);
    return FALSE;
}
