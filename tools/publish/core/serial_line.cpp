// A manifest's serial line and the block-file offer it may carry after the serial's digits.
#include "core/serial_line.h"

namespace {

bool ParseDigits(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        uint64_t digit = static_cast<uint64_t>(ch - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool IsFolderName(std::string_view name) {
    if (name.empty() || name.size() > 32) return false;
    for (char ch : name)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-')) return false;
    return true;
}

}  // namespace

std::string SerialLineText(uint64_t serial, const BlocksOffer& offer) {
    std::string line = "serial " + std::to_string(serial);
    if (offer.present) line += " blocks=" + offer.dir + " min=" + std::to_string(offer.min);
    return line;
}

// Sample: "serial 42 blocks=patch min=1048576" (a trailing CR, as a CR LF line leaves it, is no token)
bool ParseSerialLine(std::string_view line, uint64_t& serial, BlocksOffer& offer) {
    offer = BlocksOffer();
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.compare(0, 7, "serial ") != 0) return false;
    line.remove_prefix(7);
    size_t end = line.find(' ');
    if (!ParseDigits(line.substr(0, end), serial)) return false;
    bool haveDir = false, haveMin = false;
    std::string dir;
    uint64_t min = 0;
    while (end != std::string_view::npos) {
        line.remove_prefix(end + 1);
        end = line.find(' ');
        std::string_view token = line.substr(0, end);
        if (token.compare(0, 7, "blocks=") == 0) {
            haveDir = IsFolderName(token.substr(7));
            if (haveDir) dir = std::string(token.substr(7));
        } else if (token.compare(0, 4, "min=") == 0) {
            haveMin = ParseDigits(token.substr(4), min);
        }
    }
    if (haveDir && haveMin) {
        offer.present = true;
        offer.dir = dir;
        offer.min = min;
    }
    return true;
}
