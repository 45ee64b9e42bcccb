// The publish record beside a server tree: which release file state each published file holds.
#pragma once
#include "copy_engine.h"

#include <cstdint>
#include <map>
#include <string>

// One published file: its digest and size, the release file's modification time when it was
// read, and the stamp of the published copy (inode and modification time) at that moment.
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

// The record's name for a server folder: "SERVER_DIR.publish-record", beside the tree so that no
// web server ever hands it out.
std::string RecordPathFor(const std::string& serverDir);

// Reads a record; a missing or malformed one gives an empty record (everything is then read afresh).
PublishRecord ReadRecord(const std::string& path);

std::string RecordText(const PublishRecord& record);
