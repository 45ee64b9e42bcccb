// The history's text: entry names, the info file, messages, and manifests read line by line.
#include "release/history_text.h"

#include "core/cli_args.h"
#include "core/fs_util.h"
#include "core/serial_line.h"
#include "release/publish.h"
#include "update/name_fold.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <sys/random.h>
#include <unistd.h>

namespace {

const char kInfoHeader[] = "quillor-publish release 1";
const char kHex[] = "0123456789abcdef";

std::string EntryCheck(const std::string& serial, const std::string& random) {
    return CheckHex(serial + "\n" + random + "\nquillor-publish history");
}

}  // namespace

std::string EntryName(uint64_t serial) {
    uint8_t bytes[4] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        uint32_t fallback = static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(clock());
        std::memcpy(bytes, &fallback, sizeof bytes);
    }
    std::string random;
    for (uint8_t byte : bytes) random += std::string{kHex[byte >> 4], kHex[byte & 15]};
    return std::to_string(serial) + "-" + random + EntryCheck(std::to_string(serial), random);
}

bool IsEntryName(const std::string& name, const std::string& suffix) {
    size_t dash = name.find('-');
    if (dash == std::string::npos || dash == 0 || name.size() != dash + 17 + suffix.size() ||
        name.compare(dash + 17, std::string::npos, suffix) != 0)
        return false;
    uint64_t ignored = 0;
    std::string serial = name.substr(0, dash), random = name.substr(dash + 1, 8);
    return ParseSerialArgument(serial, ignored) && random.find_first_not_of(kHex) == std::string::npos &&
           name.compare(dash + 9, 8, EntryCheck(serial, random)) == 0;
}

// Sample:
//   quillor-publish release 1
//   serial 3
//   made 1765221234123456789
//   manifest 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08
//   files 2000
//   bytes 123456789
//   from 2 download 4567          ("from none download N" for a first release, "from unknown" when not known)
//   message Fixed the map loader  (optional)
std::string InfoText(const KeptRelease& release) {
    std::string text = std::string(kInfoHeader) + "\nserial " + std::to_string(release.serial) + "\nmade " +
                       std::to_string(release.madeNs) + "\nmanifest " + release.digest + "\nfiles " +
                       std::to_string(release.files) + "\nbytes " + std::to_string(release.bytes) + "\nfrom ";
    if (!release.downloadKnown) text += "unknown";
    else text += (release.fromKnown ? std::to_string(release.fromSerial) : "none") + " download " +
                 std::to_string(release.download);
    text += "\n";
    if (!release.message.empty()) text += "message " + release.message + "\n";
    return text;
}

bool ParseInfo(const std::string& text, KeptRelease& release) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    auto value = [&](size_t index, const char* key, std::string& out) {
        size_t length = std::strlen(key);
        if (index >= lines.size() || lines[index].compare(0, length, key) != 0) return false;
        out = lines[index].substr(length);
        return true;
    };
    std::string serial, made, files, bytes, from, message;
    if (lines.size() < 7 || lines.size() > 8 || lines[0] != kInfoHeader || !value(1, "serial ", serial) ||
        !value(2, "made ", made) || !value(3, "manifest ", release.digest) || !value(4, "files ", files) ||
        !value(5, "bytes ", bytes) || !value(6, "from ", from) ||
        (lines.size() == 8 && !value(7, "message ", message)))
        return false;
    uint64_t madeValue = 0;
    std::string ignored;
    if (!ParseSerialArgument(serial, release.serial) || !ParseSerialArgument(made, madeValue) ||
        !ParseSerialArgument(files, release.files) || !ParseSerialArgument(bytes, release.bytes) ||
        release.digest.size() != 64 || release.digest.find_first_not_of(kHex) != std::string::npos ||
        !CheckMessage(message, ignored))
        return false;
    release.madeNs = static_cast<int64_t>(madeValue);
    release.message = message;
    release.fromKnown = release.downloadKnown = false;
    release.download = 0;
    if (from == "unknown") return true;
    size_t blank = from.find(" download ");
    if (blank == std::string::npos || !ParseSerialArgument(from.substr(blank + 10), release.download)) return false;
    release.downloadKnown = true;
    if (from.compare(0, blank, "none") == 0) return true;
    release.fromKnown = true;
    return ParseSerialArgument(from.substr(0, blank), release.fromSerial);
}

std::vector<ManifestLine> ManifestLines(const std::vector<uint8_t>& manifest, uint64_t* serial) {
    std::vector<ManifestLine> lines;
    lines.reserve(static_cast<size_t>(std::count(manifest.begin(), manifest.end(), static_cast<uint8_t>('\n'))));
    std::string_view text(reinterpret_cast<const char*>(manifest.data()), manifest.size());
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        size_t tab = line.find('\t'), second = tab == std::string_view::npos ? tab : line.find('\t', tab + 1);
        if (second == std::string_view::npos) {
            BlocksOffer ignored;
            if (serial != nullptr) ParseSerialLine(line, *serial, ignored);
            continue;
        }
        ManifestLine parsed{line.substr(0, tab), line.substr(second + 1)};
        ParseSerialArgument(std::string(line.substr(tab + 1, second - tab - 1)), parsed.size);
        lines.push_back(parsed);
    }
    return lines;
}

bool CheckMessage(const std::string& text, std::string& error) {
    if (text.size() > kMessageLimit) {
        error = "the message is " + std::to_string(text.size()) + " bytes; at most " + std::to_string(kMessageLimit);
        return false;
    }
    for (size_t i = 0; i < text.size();) {
        uint32_t point = 0;
        // C1 controls (U+0080 to U+009F) are line breaks or escapes to some terminals too.
        if (!DecodeUtf8(text, i, point) || point < 0x20 || (point >= 0x7f && point < 0xa0)) {
            error = "the message must be one line of UTF-8 text without control characters";
            return false;
        }
    }
    return true;
}

void ManifestTotals(const std::vector<uint8_t>& manifest, uint64_t& serial, uint64_t& files, uint64_t& bytes) {
    serial = files = bytes = 0;
    for (const ManifestLine& line : ManifestLines(manifest, &serial)) {
        ++files;
        bytes += line.size;
    }
}

uint64_t DownloadBetween(const std::vector<uint8_t>& newManifest, const std::vector<uint8_t>& oldManifest,
                         std::vector<std::string>* lines) {
    std::vector<ManifestLine> now = ManifestLines(newManifest), before = ManifestLines(oldManifest);
    uint64_t download = 0;
    auto note = [&](const char* kind, const ManifestLine& line, uint64_t size) {
        if (lines != nullptr) {
            char head[40];
            std::snprintf(head, sizeof head, "%-8s %14llu  ", kind, static_cast<unsigned long long>(size));
            lines->push_back(head + std::string(line.path));
        }
    };
    size_t i = 0, k = 0;
    while (i < now.size() || k < before.size()) {
        int order = i == now.size() ? 1 : k == before.size() ? -1 : now[i].path.compare(before[k].path);
        if (order < 0) {
            download += now[i].size;
            note("added", now[i], now[i].size);
            ++i;
        } else if (order > 0) {
            note("removed", before[k], 0);
            ++k;
        } else {
            if (now[i].sha != before[k].sha || now[i].size != before[k].size) {
                download += now[i].size;
                note("changed", now[i], now[i].size);
            }
            ++i;
            ++k;
        }
    }
    return download;
}
