// A manifest's serial line and the block-file offer it may carry after the serial's digits.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The folder beside files/ that holds, per body digest, a hard link to the body and its block file.
constexpr char kPatchFolder[] = "patch";

// "blocks=DIR min=N": this server offers block files for every body of at least min bytes under
// DIR (relative to the base URL). The updater reads only the serial's digits before it.
struct BlocksOffer {
    bool present = false;
    std::string dir;   // 1 to 32 of [a-z0-9-]
    uint64_t min = 0;  // the smallest body size that has a block file
};

// "serial 42" or "serial 42 blocks=patch min=1048576", without the line feed.
std::string SerialLineText(uint64_t serial, const BlocksOffer& offer);

// Reads a serial line as the publisher's readers must: "serial ", the decimal digits (at most
// 20, within 64 bits), then nothing or blank-separated tokens. offer is set when both blocks= and
// min= are well formed; unknown tokens are skipped, so a later marker never makes a release
// unreadable. False when the line is not "serial " and digits, or what follows the digits is not
// a blank.
bool ParseSerialLine(std::string_view line, uint64_t& serial, BlocksOffer& offer);
