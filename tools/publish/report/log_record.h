// One line of the JSON access logs that the site (nginx) and its edges (varnishncsa -j) write.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The fields the report reads; every view points into the line or into scratch.
struct LogRecord {
    int64_t timeMs = 0;
    std::string_view address;  // the player ("addr")
    std::string_view peer;     // the connection's own address ("peer"): an edge's when they differ
    std::string_view method, uri, completion, tree, etag, agent, source;
    bool viaEdge = false;  // "via_edge":1, an origin line of a request a trusted edge made
    int status = 0;
    uint64_t bytes = 0;
};

// Parses one flat JSON object. False for anything that is not one, or lacks msec, addr, uri or
// status. scratch holds unescaped values (it is reused; the views die with the next call).
bool ParseLogRecord(std::string_view line, LogRecord& record, std::string& scratch);

// "1733712000.123" (seconds with a fraction, nginx's $msec) or "1733712000123" (whole
// milliseconds, varnishncsa's %{msec}t) into milliseconds; false for anything else.
bool ParseLogTime(std::string_view text, int64_t& ms);
