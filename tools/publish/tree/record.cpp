// The publish record beside a server tree: which release file state each published file holds.
#include "tree/record.h"

#include "core/fs_util.h"
#include "update/decimal.h"

#include <cstdio>
#include <vector>

namespace {

const char kHeader[] = "quillor-publish record 1";

bool ParseNumber(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    for (char ch : text)
        if (ch < '0' || ch > '9') return false;
    value = ParseDecimal(text.data(), text.size());
    return text.size() < 20 || text <= "18446744073709551615";
}

// Splits line at TABs into exactly count fields, the last one running to the end.
bool SplitFields(std::string_view line, size_t count, std::string_view* fields) {
    size_t start = 0;
    for (size_t i = 0; i + 1 < count; ++i) {
        size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) return false;
        fields[i] = line.substr(start, tab - start);
        start = tab + 1;
    }
    fields[count - 1] = line.substr(start);
    return !fields[count - 1].empty();
}

}  // namespace

std::string RecordPathFor(const std::string& serverDir) { return BesidePath(serverDir, ".publish-record"); }

// Sample:
//   quillor-publish record 1
//   started 1733650000123456789
//   <sha256> TAB 70000 TAB <release mtime ns> TAB <inode> TAB <published mtime ns> TAB data/map.pak
bool ParseRecord(const std::vector<uint8_t>& bytes, int64_t& startedNs,
                 const std::function<void(const RecordLine&)>& take) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.empty() || text.back() != '\n') return false;  // cut short
    size_t start = 0;
    auto nextLine = [&](std::string_view& line) {
        size_t end = text.find('\n', start);
        line = text.substr(start, end - start);
        start = end + 1;
    };
    std::string_view line;
    nextLine(line);
    if (line != kHeader || start >= text.size()) return false;
    nextLine(line);
    uint64_t started = 0;
    if (line.substr(0, 8) != "started " || !ParseNumber(line.substr(8), started)) return false;
    startedNs = static_cast<int64_t>(started);
    std::string_view fields[6];
    while (start < text.size()) {
        nextLine(line);
        uint64_t size = 0, releaseMtime = 0, inode = 0, publishedMtime = 0;
        if (!SplitFields(line, 6, fields) || fields[0].size() != 64 || !ParseNumber(fields[1], size) ||
            !ParseNumber(fields[2], releaseMtime) || !ParseNumber(fields[3], inode) ||
            !ParseNumber(fields[4], publishedMtime))
            return false;
        take(RecordLine{fields[0], size, static_cast<int64_t>(releaseMtime),
                        FileStamp{size, static_cast<int64_t>(publishedMtime), inode}, fields[5]});
    }
    return true;
}

std::string RecordHeader(int64_t startedNs) {
    return std::string(kHeader) + "\nstarted " + std::to_string(startedNs) + "\n";
}

void AppendRecordLine(std::string& text, const RecordLine& line) {
    text.append(line.sha256) += '\t';
    text += std::to_string(line.size) + "\t" + std::to_string(line.releaseMtimeNs) + "\t" +
            std::to_string(line.published.inode) + "\t" + std::to_string(line.published.mtimeNs) + "\t";
    text.append(line.path) += '\n';
}

PublishRecord ReadRecord(const std::string& path) {
    PublishRecord record;
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadWholeFile(path, 1ull << 30, bytes, error)) {
        if (PathExists(path)) std::fprintf(stderr, "warning: %s (every file is read afresh)\n", error.c_str());
        return record;
    }
    bool whole = ParseRecord(bytes, record.startedNs, [&](const RecordLine& line) {
        record.entries[std::string(line.path)] =
            RecordEntry{std::string(line.sha256), line.size, line.releaseMtimeNs, line.published};
    });
    return whole ? record : PublishRecord();
}

std::string RecordText(const PublishRecord& record) {
    std::string text = RecordHeader(record.startedNs);
    for (const auto& entry : record.entries)
        AppendRecordLine(text, RecordLine{entry.second.sha256, entry.second.size, entry.second.releaseMtimeNs,
                                          entry.second.published, entry.first});
    return text;
}
