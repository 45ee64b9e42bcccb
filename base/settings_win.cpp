// Reads updater.cfg from the install directory.
#include "base/settings.h"

#include <windows.h>
#include <share.h>

#include <cstdio>

#include "base/long_path.h"

void ReadSettingsFile() {
    std::wstring path = settings.installDir + L"\\updater.cfg";
    FILE* file = _wfsopen(FileCallPath(path).c_str(), L"rb", _SH_DENYWR);
    if (!file) return;
    // 512-byte reads: a longer physical line arrives in pieces, each handled as a line.
    char line[512];
    while (std::fgets(line, sizeof line, file)) {
        ApplySettingsLine(std::string(line));  // a NUL ends the piece here
    }
    std::fclose(file);
}
