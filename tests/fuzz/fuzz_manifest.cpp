// Fuzzes the manifest parser: what it accepts, where accepted paths can lead, and what it reports.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "update/decimal.h"
#include "update/manifest.h"

namespace {

constexpr uint64_t kPreset = 0x5eed5eed5eed5eedull;

// The lines the parser sees: split at LF, trailing CRs dropped, empty lines skipped.
std::vector<std::string> NonEmptyLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t position = 0;
    while (position < text.size()) {
        size_t lineFeed = text.find('\n', position);
        size_t end = lineFeed == std::string::npos ? text.size() : lineFeed;
        std::string line = text.substr(position, end - position);
        position = end + 1;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

bool IsDeviceSegment(std::string name) {
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    static const char* const kFixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* fixed : kFixed)
        if (name == fixed) return true;
    if (name.compare(0, 3, "COM") != 0 && name.compare(0, 3, "LPT") != 0) return false;
    std::string rest = name.substr(3);
    return (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9') || rest == "\xC2\xB9" ||
           rest == "\xC2\xB2" || rest == "\xC2\xB3";
}

// An accepted path, resolved below an installation directory, stays inside it and names no
// device, stream, drive or wildcard.
void CheckAcceptedPath(const std::string& path) {
    FUZZ_REQUIRE(!path.empty() && path[0] != '/');
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        FUZZ_REQUIRE(c >= 0x20 && c != '\\' && c != ':' && c != '"' && c != '<' && c != '>' &&
                     c != '|' && c != '*' && c != '?');
    }
    int depth = 0;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string segment = path.substr(start, end - start);
        FUZZ_REQUIRE(!IsDeviceSegment(segment));
        FUZZ_REQUIRE(!IsWindowsDeviceName(segment));
        if (segment == "..") --depth;
        else if (!segment.empty() && segment != ".") ++depth;
        FUZZ_REQUIRE(depth >= 0);
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> text(data, data + size);
    uint64_t serial = kPreset;
    std::vector<ManifestEntry> entries;
    std::string error;
    bool ok = ParseManifest(text, serial, entries, error);

    std::vector<std::string> lines = NonEmptyLines(std::string(text.begin(), text.end()));
    FUZZ_REQUIRE(ok == error.empty());
    if (lines.empty()) {
        FUZZ_REQUIRE(ok && serial == kPreset && entries.empty());
        return 0;
    }
    const std::string& first = lines[0];
    if (first.compare(0, 7, "serial ") != 0) {
        FUZZ_REQUIRE(!ok && error == "Manifest ohne Seriennummer");
        FUZZ_REQUIRE(serial == kPreset && entries.empty());
        return 0;
    }
    FUZZ_REQUIRE(serial == ParseDecimal(first.data() + 7, first.size() - 7));
    // Entry k comes from file line k, unchanged; a failure stops at the line after the last entry.
    FUZZ_REQUIRE(entries.size() <= lines.size() - 1);
    FUZZ_REQUIRE(ok ? entries.size() == lines.size() - 1 : entries.size() < lines.size() - 1);
    for (size_t k = 0; k < entries.size(); ++k) {
        const ManifestEntry& entry = entries[k];
        const std::string& line = lines[k + 1];
        size_t firstTab = line.find('\t');
        size_t secondTab = line.find('\t', firstTab + 1);
        FUZZ_REQUIRE(entry.sha256.size() == 64 && entry.sha256 == line.substr(0, firstTab));
        FUZZ_REQUIRE(entry.path == line.substr(secondTab + 1));
        FUZZ_REQUIRE(entry.size == ParseDecimal(line.data() + firstTab + 1, secondTab - firstTab - 1));
        FUZZ_REQUIRE(IsSafeManifestPath(entry.path));
        CheckAcceptedPath(entry.path);
    }
    if (!ok) {
        const std::string& failing = lines[entries.size() + 1];
        size_t firstTab = failing.find('\t');
        bool twoTabs = firstTab != std::string::npos && failing.find('\t', firstTab + 1) != std::string::npos;
        if (!twoTabs) {
            FUZZ_REQUIRE(error == "Manifest-Zeile fehlerhaft");
        } else {
            std::string path = failing.substr(failing.find('\t', firstTab + 1) + 1);
            FUZZ_REQUIRE(error == "Unsicherer Eintrag im Manifest: " + path);
            FUZZ_REQUIRE(firstTab != 64 || !IsSafeManifestPath(path));
        }
    }
    // The path rule on its own: whatever it accepts is safe by the same measure.
    std::string raw(text.begin(), text.end());
    if (IsSafeManifestPath(raw)) CheckAcceptedPath(raw);
    return 0;
}
