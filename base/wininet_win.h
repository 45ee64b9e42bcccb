// WinINet's declarations for the updater's own code, whose calls the exe itself answers.
#pragma once
#include <windows.h>
// NB: wininet.h declares its functions dllimport, so that every call would go through a slot of
// the exe's import table and the loader would look for wininet.dll in the game folder first.
// Declared plainly, the calls reach app/system_dlls_win.cpp, which loads it from System32 alone.
#pragma push_macro("DECLSPEC_IMPORT")
#undef DECLSPEC_IMPORT
#define DECLSPEC_IMPORT
#include <wininet.h>
#pragma pop_macro("DECLSPEC_IMPORT")
