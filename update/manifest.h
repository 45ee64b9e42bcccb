// The manifest: a serial line, then one "digest TAB size TAB path" line per file.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ManifestEntry {
    std::string sha256;  // 64 bytes as written
    uint64_t size = 0;
    std::string path;    // UTF-8, "/"-separated, relative to installDir
};

struct Manifest {
    uint64_t serial = 0;
    std::vector<ManifestEntry> entries;
};

// Parses manifest bytes; on false error holds one of the three German messages and entries
// holds the lines accepted before the failing one. serial is written only by the serial line.
bool ParseManifest(const std::vector<uint8_t>& text, uint64_t& serial,
                   std::vector<ManifestEntry>& entries, std::string& error);

// What the serial line offers beyond the serial: block files in a folder beside files/.
struct PatchOffer {
    bool offered = false;
    std::string dir;       // 1 to 32 of [a-z0-9-]
    uint64_t minBody = 0;  // bodies of at least this size have a block file
};

// Reads the marker from the manifest's first non-empty line ("serial 42 blocks=patch min=N").
// Anything short of a well-formed blocks= and min= offers nothing; unknown tokens are ignored.
PatchOffer ReadPatchOffer(const std::vector<uint8_t>& text);

// "Unsicherer Eintrag im Manifest: " + path, also used by the run for the updater's own files.
std::string UnsafeEntryMessage(const std::string& path);

// The path checks of a file line: true when the updater accepts path as a target.
bool IsSafeManifestPath(const std::string& path);

// True when Windows maps the file name (one path segment, UTF-8) to a device: CON, PRN, AUX,
// NUL, CONIN$, CONOUT$, COM0-COM9, LPT0-LPT9 and COM/LPT with a superscript 1, 2 or 3, in any
// letter case, with or without an extension and trailing blanks. Shared with the publisher.
bool IsWindowsDeviceName(std::string_view name);
