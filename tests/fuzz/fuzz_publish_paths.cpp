// Fuzzes the publisher's release path rules against a reading of Windows names of the target's own:
// what they let through is safe for the updater, installs under the name it is served under, and
// is reachable through the publisher's own server; a release is refused exactly when it clashes.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/path_rules.h"
#include "fuzz_check.h"
#include "serve/request_path.h"
#include "update/http.h"
#include "update/manifest.h"
#include "windows_names.h"

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

void CheckAcceptedPath(const std::string& path, const WindowsNames& names) {
    FUZZ_REQUIRE(IsSafeManifestPath(path) && IsValidUtf8(path));
    FUZZ_REQUIRE(!OracleNamesDevice(path));
    FUZZ_REQUIRE(!OracleIsOwnStateOrDownload(names));
    // Windows keeps every name whole: none dropped, split or cut short.
    std::vector<std::string> segments = Segments(path);
    FUZZ_REQUIRE(names.size() == segments.size());
    for (size_t k = 0; k < names.size(); ++k)
        FUZZ_REQUIRE(names[k] == OracleUpcase(segments[k]));
    // The file URL the updater asks for is one the publisher's server maps back to this path.
    std::vector<std::string> served;
    TargetVerdict verdict = SplitRequestTarget("/files/" + UrlEncodePath(path), served);
    segments.insert(segments.begin(), "files");
    FUZZ_REQUIRE(verdict == TargetVerdict::File && served == segments);
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

    std::set<WindowsNames> files;
    bool eachAccepted = true;
    for (const std::string& path : paths) {
        std::vector<std::string> alone;
        CheckReleasePaths({path}, alone);
        WindowsNames names = OracleWindowsNames(path);
        if (alone.empty()) CheckAcceptedPath(path, names);
        eachAccepted = eachAccepted && alone.empty();
        files.insert(names);
    }
    if (!eachAccepted) {
        FUZZ_REQUIRE(!problems.empty());
        return 0;
    }
    // Paths accepted one by one make a release that is refused exactly when two of them name the
    // same file on Windows, or one names a folder of another.
    bool clash = files.size() != paths.size();
    for (const WindowsNames& file : files)
        for (size_t length = 1; length < file.size(); ++length)
            clash = clash || files.count(WindowsNames(file.begin(), file.begin() + length)) != 0;
    FUZZ_REQUIRE(problems.empty() == !clash);
    return 0;
}
