// Fuzzes the two command-line passes against the grammar: exact switches, values, last one wins.
#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "base/log.h"
#include "base/settings.h"
#include "fuzz_check.h"

namespace {

// Input bytes: arguments separated by NUL; a byte 0x01 takes the next two bytes as one UTF-16
// unit, every other byte is one unit of its own.
std::vector<std::wstring> SplitArguments(const uint8_t* data, size_t size) {
    std::vector<std::wstring> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else if (data[i] == 1 && i + 2 < size) {
            args.back() += static_cast<wchar_t>(data[i + 1] << 8 | data[i + 2]);
            i += 2;
        } else {
            args.back() += static_cast<wchar_t>(data[i]);
        }
    }
    return args;
}

UpdaterSettings Apply(const std::vector<std::wstring>& args) {
    UpdaterSettings result = DefaultSettings();
    ApplyDirPass(args, result);
    ApplySwitchPass(args, result);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::wstring> args = SplitArguments(data, size);
    UpdaterSettings result = Apply(args);

    // The grammar, pass by pass: each pass skips only the values of its own switches.
    UpdaterSettings expected = DefaultSettings();
    for (size_t i = 1; i < args.size(); ++i)
        if (args[i] == L"/dir" && i + 1 < args.size()) expected.installDir = args[++i];
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"/silent") expected.silent = true;
        if (args[i] == L"/nolaunch") expected.noLaunch = true;
        if (args[i] == L"/url" && i + 1 < args.size()) expected.baseUrl = ToUtf8(args[++i]);
    }
    FUZZ_REQUIRE(result.installDir == expected.installDir);
    FUZZ_REQUIRE(result.silent == expected.silent && result.noLaunch == expected.noLaunch);
    std::string url = expected.baseUrl;
    if (url != DefaultSettings().baseUrl) {
        size_t keep = url.find_last_not_of('/');
        url.resize(keep == std::string::npos ? 0 : keep + 1);
    }
    FUZZ_REQUIRE(result.baseUrl == url);
    FUZZ_REQUIRE(result.baseUrl.empty() || result.baseUrl.back() != '/');
    FUZZ_REQUIRE(result.gameExe == DefaultSettings().gameExe);

    // The program's own path is never looked at, even when it spells a switch.
    for (const wchar_t* program : {L"/dir", L"/silent", L"/url"}) {
        std::vector<std::wstring> renamed = args;
        renamed[0] = program;
        UpdaterSettings again = Apply(renamed);
        FUZZ_REQUIRE(again.installDir == result.installDir && again.baseUrl == result.baseUrl &&
                     again.silent == result.silent && again.noLaunch == result.noLaunch);
    }
    return 0;
}
