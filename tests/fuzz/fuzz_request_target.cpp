// Fuzzes the publisher server's request-target rule: no target leads outside the served tree.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "serve/request_path.h"
#include "update/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string target(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> names;
    TargetVerdict verdict = SplitRequestTarget(target, names);
    if (target.empty() || target[0] != '/') FUZZ_REQUIRE(verdict == TargetVerdict::BadRequest);
    if (verdict != TargetVerdict::File) return 0;
    FUZZ_REQUIRE(!names.empty());
    // Each name is opened on its own below the root, so one that is empty, "." or "..", or that
    // holds a separator or a NUL, could reach outside it or somewhere else than asked.
    for (const std::string& name : names) {
        FUZZ_REQUIRE(!name.empty() && name != "." && name != "..");
        FUZZ_REQUIRE(name.find_first_of(std::string("/\\\0", 3)) == std::string::npos);
    }
    // Encoding the names again, as the updater does, leads to the same file.
    std::string again;
    for (const std::string& name : names) again += "/" + UrlEncodePath(name);
    std::vector<std::string> namesAgain;
    FUZZ_REQUIRE(SplitRequestTarget(again + "?x", namesAgain) == TargetVerdict::File && namesAgain == names);
    return 0;
}
