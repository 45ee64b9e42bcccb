// The two passes over the arguments; each pass skips only the values of its own switches.
#include "app/command_line.h"

#include "base/log.h"
#include "base/settings.h"

void ApplyDirPass(const std::vector<std::wstring>& args, UpdaterSettings& target) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"/dir" && i + 1 < args.size()) {
            target.installDir = args[++i];
        }
    }
}

void ApplySwitchPass(const std::vector<std::wstring>& args, UpdaterSettings& target) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg == L"/silent") {
            target.silent = true;
        } else if (arg == L"/nolaunch") {
            target.noLaunch = true;
        } else if (arg == L"/url" && i + 1 < args.size()) {
            target.baseUrl = ToUtf8(args[++i]);
            StripTrailingSlashes(target.baseUrl);
        }
    }
}
