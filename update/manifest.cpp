// Turns the verified manifest bytes into the release serial and the list of files to check.
#include "update/manifest.h"

#include <algorithm>
#include <utility>

#include "update/decimal.h"

namespace {

constexpr char kSerialPrefix[] = "serial ";
constexpr size_t kSerialPrefixLength = sizeof kSerialPrefix - 1;
constexpr size_t kDigestLength = 64;

// Bytes a Windows file name must not hold (below 0x20 is refused separately).
bool IsReservedPathByte(unsigned char c) {
    return c == '"' || c == '<' || c == '>' || c == '|' || c == '*' || c == '?';
}

bool ParseFileLine(std::string_view line, std::vector<ManifestEntry>& entries, std::string& error) {
    size_t firstTab = line.find('\t');
    size_t secondTab = firstTab == std::string_view::npos ? std::string_view::npos
                                                          : line.find('\t', firstTab + 1);
    if (secondTab == std::string_view::npos) {
        error = "Manifest-Zeile fehlerhaft";
        return false;
    }
    ManifestEntry entry;
    entry.sha256 = std::string(line.substr(0, firstTab));
    entry.size = ParseDecimal(line.data() + firstTab + 1, secondTab - firstTab - 1);
    // The path runs to the end of the line: a further TAB stays in it and makes it unsafe.
    entry.path = std::string(line.substr(secondTab + 1));
    if (entry.sha256.size() != kDigestLength || !IsSafeManifestPath(entry.path)) {
        error = UnsafeEntryMessage(entry.path);
        return false;
    }
    entries.push_back(std::move(entry));
    return true;
}

}  // namespace

std::string UnsafeEntryMessage(const std::string& path) {
    return "Unsicherer Eintrag im Manifest: " + path;
}

bool IsWindowsDeviceName(std::string_view name) {
    // Every device name starts with AU, NU, CO, LP or PR: most names leave here, unscanned.
    if (name.size() < 3) return false;
    const char second = static_cast<char>(name[1] | 0x20);
    switch (name[0] | 0x20) {
        case 'a': case 'n': if (second != 'u') return false; break;
        case 'c': if (second != 'o') return false; break;
        case 'l': if (second != 'p') return false; break;
        case 'p': if (second != 'r') return false; break;
        default: return false;
    }
    // Windows ignores everything from the first dot, and trailing blanks, for device names.
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (name.size() < 3 || name.size() > 7) return false;
    std::string upper(name);
    for (char& ch : upper)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" ||
        upper == "CONIN$" || upper == "CONOUT$")
        return true;
    std::string_view stem = std::string_view(upper).substr(0, 3);
    std::string_view rest = std::string_view(upper).substr(3);
    if (stem != "COM" && stem != "LPT") return false;
    if (rest.size() == 1) return rest[0] >= '0' && rest[0] <= '9';
    // Superscript one, two and three in UTF-8: C2 B9, C2 B2, C2 B3.
    return rest == "\xC2\xB9" || rest == "\xC2\xB2" || rest == "\xC2\xB3";
}

// NB: every rule here keeps a signed but careless manifest from writing outside installDir or
// into a device, stream or wildcard name; do not relax one without replacing what it guards.
bool IsSafeManifestPath(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    if (path.find("..") != std::string::npos) return false;
    if (path.find('\\') != std::string::npos) return false;
    if (path.find(':') != std::string::npos) return false;
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || IsReservedPathByte(c)) return false;
    }
    // NB: a device segment (aux, nul.txt, x/COM1) would make hashing or installing open a device.
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        if (IsWindowsDeviceName(std::string_view(path).substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

// Sample (TAB between the fields, LF or CR LF line ends, blank lines ignored):
//   serial 42
//   9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08<TAB>4<TAB>bin/game.exe
//   e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855<TAB>0<TAB>data/Grüße.txt
bool ParseManifest(const std::vector<uint8_t>& text, uint64_t& serial,
                   std::vector<ManifestEntry>& entries, std::string& error) {
    // Read in place: the manifest runs to megabytes and every command parses it.
    const std::string_view all(reinterpret_cast<const char*>(text.data()), text.size());
    bool serialExpected = true;
    size_t position = 0;
    while (position < all.size()) {
        size_t lineFeed = all.find('\n', position);
        size_t end = lineFeed == std::string_view::npos ? all.size() : lineFeed;
        std::string_view line = all.substr(position, end - position);
        position = lineFeed == std::string_view::npos ? all.size() : lineFeed + 1;
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;

        if (serialExpected) {
            serialExpected = false;
            if (line.compare(0, kSerialPrefixLength, kSerialPrefix) != 0) {
                error = "Manifest ohne Seriennummer";
                return false;
            }
            serial = ParseDecimal(line.data() + kSerialPrefixLength,
                                  line.size() - kSerialPrefixLength);
            continue;
        }
        if (!ParseFileLine(line, entries, error)) return false;
    }
    return true;
}

namespace {

bool ParsePatchDir(std::string_view value, std::string& dir) {
    if (value.empty() || value.size() > 32) return false;
    for (char ch : value)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-')) return false;
    dir = std::string(value);
    return true;
}

// Plain digits only, and few enough that they cannot pass 64 bits.
bool ParseExactDecimal(std::string_view value, uint64_t& number) {
    if (value.empty() || value.size() > 19) return false;
    number = 0;
    for (char ch : value) {
        if (ch < '0' || ch > '9') return false;
        number = number * 10 + static_cast<uint64_t>(ch - '0');
    }
    return true;
}

}  // namespace

// Sample: "serial 42 blocks=patch min=1048576" (single blanks; the tokens in any order; a manifest
// without them, as every older one, runs as before). An older updater reads only the digits.
PatchOffer ReadPatchOffer(const std::vector<uint8_t>& text) {
    const std::string_view all(reinterpret_cast<const char*>(text.data()), text.size());
    std::string_view line;
    for (size_t position = 0; position < all.size() && line.empty();) {
        size_t lineFeed = all.find('\n', position);
        size_t end = lineFeed == std::string_view::npos ? all.size() : lineFeed;
        line = all.substr(position, end - position);
        position = end + 1;
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    PatchOffer none;
    if (line.compare(0, kSerialPrefixLength, kSerialPrefix) != 0) return none;
    line.remove_prefix(kSerialPrefixLength);
    size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
    if (digits == 0) return none;
    line.remove_prefix(digits);
    PatchOffer offer;
    bool haveDir = false, haveMin = false;
    while (!line.empty()) {
        if (line[0] != ' ') return none;
        line.remove_prefix(1);
        std::string_view token = line.substr(0, line.find(' '));
        line.remove_prefix(token.size());
        if (token.compare(0, 7, "blocks=") == 0) {
            if (haveDir || !ParsePatchDir(token.substr(7), offer.dir)) return none;
            haveDir = true;
        } else if (token.compare(0, 4, "min=") == 0) {
            if (haveMin || !ParseExactDecimal(token.substr(4), offer.minBody)) return none;
            haveMin = true;
        } else if (token.empty()) {
            return none;
        }
    }
    offer.offered = haveDir && haveMin;
    return offer.offered ? offer : none;
}
