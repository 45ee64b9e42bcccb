// Fuzzes updater.cfg lines and base URL normalisation against the settings file rules.
#include <cstdint>
#include <string>

#include "base/log.h"
#include "base/settings.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    settings = DefaultSettings();
    std::string expectedUrl = settings.baseUrl;
    std::wstring expectedGame = settings.gameExe;
    const std::string file(reinterpret_cast<const char*>(data), size);
    // The reader hands over pieces of at most 511 bytes, each ending at the first LF.
    for (size_t position = 0; position < file.size();) {
        size_t lineFeed = file.find('\n', position);
        size_t length = lineFeed == std::string::npos ? file.size() - position : lineFeed - position + 1;
        if (length > 511) length = 511;
        std::string line = file.substr(position, length);
        position += length;
        ApplySettingsLine(line);

        std::string value = line.substr(0, line.find('\0'));
        size_t keep = value.find_last_not_of("\r\n ");
        value.resize(keep == std::string::npos ? 0 : keep + 1);
        if (value.rfind("url=", 0) == 0 && value.size() > 4) {
            expectedUrl = value.substr(4);
            keep = expectedUrl.find_last_not_of('/');
            expectedUrl.resize(keep == std::string::npos ? 0 : keep + 1);
        } else if (value.rfind("game=", 0) == 0 && value.size() > 5) {
            expectedGame = ToWide(value.substr(5));
        }
        FUZZ_REQUIRE(settings.baseUrl == expectedUrl && settings.gameExe == expectedGame);
    }
    // Only the two keys reach the record.
    FUZZ_REQUIRE(settings.installDir.empty() && !settings.silent && !settings.noLaunch);

    NormalizeBaseUrl();
    const std::string& url = settings.baseUrl;
    FUZZ_REQUIRE(url.find("://") != std::string::npos);
    FUZZ_REQUIRE(url[0] != ' ' && url[0] != '\t');
    FUZZ_REQUIRE(url.back() != '/' || url == "http://");
    size_t blanks = expectedUrl.find_first_not_of(" \t");
    std::string trimmed = blanks == std::string::npos ? std::string() : expectedUrl.substr(blanks);
    FUZZ_REQUIRE(url == trimmed || url == "http://" + trimmed);
    return 0;
}
