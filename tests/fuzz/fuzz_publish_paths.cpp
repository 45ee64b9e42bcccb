// Fuzzes the publisher's release path rules: what they let through is safe for the updater,
// distinct on Windows, and reachable through the publisher's own server.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "path_rules.h"
#include "request_path.h"
#include "update/http.h"
#include "update/manifest.h"
#include "update/update_plan.h"

namespace {

std::vector<std::string> Segments(const std::string& path) {
    std::vector<std::string> segments;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        segments.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return segments;
        start = end + 1;
    }
}

void CheckAcceptedPath(const std::string& path) {
    FUZZ_REQUIRE(IsSafeManifestPath(path) && IsValidUtf8(path));
    for (const std::string& name : Segments(path)) {
        FUZZ_REQUIRE(!IsWindowsDeviceName(name));
        FUZZ_REQUIRE(name.empty() || (name.back() != '.' && name.back() != ' '));
    }
    FUZZ_REQUIRE(!IsUpdaterStateOrDownloadName(path));
    // The file URL the updater asks for is one the publisher's server maps back to this path.
    std::vector<std::string> names;
    TargetVerdict verdict = SplitRequestTarget("/files/" + UrlEncodePath(path), names);
    std::vector<std::string> expected = Segments(path);
    expected.insert(expected.begin(), "files");
    FUZZ_REQUIRE(verdict == TargetVerdict::File && names == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> paths;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        paths.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::vector<std::string> problems;
    CheckReleasePaths(paths, problems);

    std::set<std::string> folded;
    for (const std::string& path : paths) {
        std::string key = FoldCaseForNtfs(path);
        FUZZ_REQUIRE(FoldCaseForNtfs(key) == key);
        FUZZ_REQUIRE(!IsValidUtf8(path) || IsValidUtf8(key));
        std::string upper = path;
        for (char& c : upper)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        FUZZ_REQUIRE(FoldCaseForNtfs(upper) == key);
        std::vector<std::string> alone;
        CheckReleasePaths({path}, alone);
        if (alone.empty()) CheckAcceptedPath(path);
        else FUZZ_REQUIRE(!problems.empty());
        folded.insert(key);
    }
    if (!problems.empty()) return 0;
    // An accepted release names each file once on Windows, and no file is also a folder.
    FUZZ_REQUIRE(folded.size() == paths.size());
    for (const std::string& key : folded)
        for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1))
            FUZZ_REQUIRE(folded.count(key.substr(0, slash)) == 0);
    return 0;
}
