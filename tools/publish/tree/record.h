// The publish record beside a server tree: which release file state each published file holds.
#pragma once
#include "tree/copy_engine.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// One published file: its digest and size, the release file's modification time when it was
// read, and the stamp of the published copy (inode and modification time) at that moment.
struct RecordLine {
    std::string_view sha256;
    uint64_t size = 0;
    int64_t releaseMtimeNs = 0;
    FileStamp published;
    std::string_view path;
};

// The record's name for a server folder: "SERVER_DIR.publish-record", beside the tree so that no
// web server ever hands it out.
std::string RecordPathFor(const std::string& serverDir);

// Parses a record's bytes, calling take for each file line in order (the views point into bytes).
// False for a malformed or cut-short record, which is then not trusted at all (take may have been
// called for the lines before the fault: the caller drops what it took).
bool ParseRecord(const std::vector<uint8_t>& bytes, int64_t& startedNs,
                 const std::function<void(const RecordLine&)>& take);

// The record's first lines, then one AppendRecordLine per file in path order.
std::string RecordHeader(int64_t startedNs);
void AppendRecordLine(std::string& text, const RecordLine& line);

// A whole record held by path, for the few callers that look files up one by one (recovery's
// check of a candidate tree, a revert's kept record); a publish streams through ParseRecord.
struct RecordEntry {
    std::string sha256;
    uint64_t size = 0;
    int64_t releaseMtimeNs = 0;
    FileStamp published;
};

struct PublishRecord {
    int64_t startedNs = 0;  // when the publish that wrote it began
    std::map<std::string, RecordEntry> entries;
};

// Reads a record; a missing or malformed one gives an empty record (everything is then read
// afresh), and one that exists but cannot be read says so on stderr.
PublishRecord ReadRecord(const std::string& path);

std::string RecordText(const PublishRecord& record);
