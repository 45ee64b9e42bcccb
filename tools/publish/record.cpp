// The publish record beside a server tree: which release file state each published file holds.
#include "record.h"

#include "fs_util.h"
#include "update/decimal.h"

#include <cstdio>
#include <vector>

namespace {

const char kHeader[] = "quillor-publish record 1";

bool ParseNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    for (char ch : text)
        if (ch < '0' || ch > '9') return false;
    value = ParseDecimal(text.c_str(), text.size());
    return text.size() < 20 || text <= "18446744073709551615";
}

// Splits line at TABs into exactly count fields, the last one running to the end.
bool SplitFields(const std::string& line, size_t count, std::vector<std::string>& fields) {
    fields.clear();
    size_t start = 0;
    for (size_t i = 0; i + 1 < count; ++i) {
        size_t tab = line.find('\t', start);
        if (tab == std::string::npos) return false;
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(line.substr(start));
    return !fields.back().empty();
}

}  // namespace

std::string RecordPathFor(const std::string& serverDir) { return BesidePath(serverDir, ".publish-record"); }

// Sample:
//   quillor-publish record 1
//   started 1733650000123456789
//   <sha256> TAB 70000 TAB <release mtime ns> TAB <inode> TAB <published mtime ns> TAB data/map.pak
PublishRecord ReadRecord(const std::string& path) {
    PublishRecord record;
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadWholeFile(path, 1ull << 30, bytes, error)) {
        if (PathExists(path)) std::fprintf(stderr, "warning: %s (every file is read afresh)\n", error.c_str());
        return record;
    }
    std::string text(bytes.begin(), bytes.end());
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) return record;  // cut short: not trusted at all
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    uint64_t started = 0;
    if (lines.size() < 2 || lines[0] != kHeader || lines[1].compare(0, 8, "started ") != 0 ||
        !ParseNumber(lines[1].substr(8), started))
        return record;
    PublishRecord parsed;
    parsed.startedNs = static_cast<int64_t>(started);
    std::vector<std::string> fields;
    for (size_t i = 2; i < lines.size(); ++i) {
        uint64_t size = 0, releaseMtime = 0, inode = 0, publishedMtime = 0;
        if (!SplitFields(lines[i], 6, fields) || fields[0].size() != 64 || !ParseNumber(fields[1], size) ||
            !ParseNumber(fields[2], releaseMtime) || !ParseNumber(fields[3], inode) ||
            !ParseNumber(fields[4], publishedMtime))
            return record;
        RecordEntry& entry = parsed.entries[fields[5]];
        entry.sha256 = fields[0];
        entry.size = size;
        entry.releaseMtimeNs = static_cast<int64_t>(releaseMtime);
        entry.published = {size, static_cast<int64_t>(publishedMtime), inode};
    }
    return parsed;
}

std::string RecordText(const PublishRecord& record) {
    std::string text = std::string(kHeader) + "\nstarted " + std::to_string(record.startedNs) + "\n";
    for (const auto& item : record.entries) {
        const RecordEntry& entry = item.second;
        text += entry.sha256 + "\t" + std::to_string(entry.size) + "\t" + std::to_string(entry.releaseMtimeNs) +
                "\t" + std::to_string(entry.published.inode) + "\t" + std::to_string(entry.published.mtimeNs) +
                "\t" + item.first + "\n";
    }
    return text;
}
