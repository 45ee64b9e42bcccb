// Process start-up: fills settings in the fixed order, then hands over to a run mode.
#pragma once
#include <string>

// Start-up steps 1 to 8 for the given raw command line and own module path. Resets settings
// first, so tests can call it repeatedly in one process.
void RunStartup(const wchar_t* commandLine, const std::wstring& exePath);

// installDir for an exePath: everything before its last backslash, or all of it without one.
std::wstring DirectoryOfExe(const std::wstring& exePath);

// The running exe's path, however long (GetModuleFileNameW cuts at the buffer it is given), in
// the plain form even when Windows reports the "\\?\" one.
std::wstring OwnModulePath();
