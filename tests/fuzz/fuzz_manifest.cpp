// Fuzzes the manifest parser: what it accepts, where accepted paths can lead, and what it reports.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "update/decimal.h"
#include "update/manifest.h"
#include "update/update_plan.h"
#include "windows_names.h"

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

// The installations each accepted entry is checked in: the usual one, one whose folder is spelled
// unlike its exe path with the exe a folder down, and one whose exe lives elsewhere.
struct Layout {
    const char* installDir;
    const char* exePath;
};
constexpr Layout kLayouts[] = {
    {"C:\\Spiele\\Quillor", "C:\\Spiele\\Quillor\\Quillor - Updater.exe"},
    {"c:/spiele/QUILLOR/", "C:\\Spiele\\Quillor\\Bin\\\xC3\x9C" "berpr\xC3\xBC" "fer.exe"},
    {"D:\\Quillor", "E:\\Werkzeug\\Quillor - Updater.exe"},
};

// An accepted path, resolved below an installation directory, stays inside it and names no
// device, stream, drive or wildcard; the own-file rule agrees with Windows on it everywhere.
void CheckAcceptedPath(const std::string& path) {
    FUZZ_REQUIRE(!path.empty() && path[0] != '/');
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        FUZZ_REQUIRE(c >= 0x20 && c != '\\' && c != ':' && c != '"' && c != '<' && c != '>' &&
                     c != '|' && c != '*' && c != '?');
    }
    FUZZ_REQUIRE(!OracleNamesDevice(path));
    WindowsNames names = OracleWindowsNames(path);
    FUZZ_REQUIRE(names.empty() || names[0] != "..");
    // The relative path the run resolves short names from names the same file.
    FUZZ_REQUIRE(OracleWindowsNames(WindowsRelativePath(path)) == names);
    static const std::vector<std::pair<OwnFileNames, OracleInstallation>> installations = [] {
        std::vector<std::pair<OwnFileNames, OracleInstallation>> resolved;
        for (const Layout& layout : kLayouts)
            resolved.emplace_back(OwnFileNamesOf(layout.installDir, layout.exePath),
                                  OracleInstallationOf(layout.installDir, layout.exePath));
        return resolved;
    }();
    for (size_t k = 0; k < installations.size(); ++k) {
        const bool own = OracleIsOwnFile(names, installations[k].second);
        FUZZ_REQUIRE(IsUpdaterWorkingFile(path, installations[k].first) == own);
        // The same rule on the full path, as the run applies it to names the file system resolved.
        std::string full = std::string(kLayouts[k].installDir) + "\\" + WindowsRelativePath(path);
        FUZZ_REQUIRE(IsUpdaterWorkingPath(full, installations[k].first) == own);
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
    // The check phase's total never wraps around, whatever sizes a manifest claims.
    UpdatePlan plan;
    unsigned __int128 total = 0;
    for (size_t k = 0; k < entries.size(); ++k) {
        AddToPlan(plan, static_cast<uint32_t>(k), entries[k].size);
        total += entries[k].size;
    }
    FUZZ_REQUIRE(plan.totalBytes == (total > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(total)));
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
    // The path rule on its own: whatever it accepts is safe by the same measure; and the device
    // rule name by name, both ways.
    std::string raw(text.begin(), text.end());
    if (IsSafeManifestPath(raw)) CheckAcceptedPath(raw);
    for (size_t start = 0; start <= raw.size();) {
        size_t end = std::min(raw.find('/', start), raw.size());
        std::string name = raw.substr(start, end - start);
        if (name.find('\\') == std::string::npos)
            FUZZ_REQUIRE(IsWindowsDeviceName(name) == OracleIsDeviceName(name));
        start = end + 1;
    }
    return 0;
}
