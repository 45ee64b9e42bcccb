// The history's text: entry names, the info file, messages, and manifests read line by line.
#pragma once
#include "release/history.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// "SERIAL-RRRRRRRRCCCCCCCC": 8 random hex digits and 8 that check them and the serial, so that a
// hand-made name never passes IsEntryName.
std::string EntryName(uint64_t serial);
// Whether name is an EntryName followed by suffix ("", ".pending", ".gone").
bool IsEntryName(const std::string& name, const std::string& suffix);

// The info file of an entry, and its strict reading (false for anything else).
std::string InfoText(const KeptRelease& release);
bool ParseInfo(const std::string& text, KeptRelease& release);

// One file line of a manifest as the publisher writes it: "sha256 TAB size TAB path".
struct ManifestLine {
    std::string_view sha, path;
    uint64_t size = 0;
};

// The file lines of manifest, pointing into it (lines without two tabs, the serial line among
// them, are skipped); serial, when not null, gets the serial line's number.
std::vector<ManifestLine> ManifestLines(const std::vector<uint8_t>& manifest, uint64_t* serial = nullptr);
