// The updater's two-pass command-line grammar: exact, case-sensitive switches.
#pragma once
#include <string>
#include <vector>

struct UpdaterSettings;

// Pass 1: each "/dir" followed by another argument sets installDir (args[0] is the program).
void ApplyDirPass(const std::vector<std::wstring>& args, UpdaterSettings& target);

// Pass 2: "/silent", "/nolaunch" and "/url" VALUE; a "/url" value loses its trailing slashes.
void ApplySwitchPass(const std::vector<std::wstring>& args, UpdaterSettings& target);
