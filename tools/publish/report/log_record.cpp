// Reads the access log's JSON lines with one pass over the bytes and no allocation per line.
#include "log_record.h"

#include <cstring>

namespace {

bool ParseUnsigned(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + static_cast<uint64_t>(ch - '0');
    }
    return true;
}

size_t SkipBlanks(std::string_view line, size_t at) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) ++at;
    return at;
}

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Appends the UTF-8 of point (a \uXXXX escape; a lone surrogate becomes U+FFFD).
void AppendUtf8(uint32_t point, std::string& out) {
    if (point >= 0xD800 && point <= 0xDFFF) point = 0xFFFD;
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// A string starting at line[at] == '"': its value (a view of line when it has no escape, else
// of an unescaped copy appended to scratch, whose place start returns) and the index after it.
bool ReadString(std::string_view line, size_t& at, std::string_view& value, std::string& scratch, size_t& start,
                bool& copied) {
    size_t from = ++at;
    const char* quote = static_cast<const char*>(std::memchr(line.data() + at, '"', line.size() - at));
    const char* slash = static_cast<const char*>(std::memchr(line.data() + at, '\\', line.size() - at));
    if (quote == nullptr) return false;
    copied = false;
    if (slash == nullptr || slash > quote) {
        value = line.substr(from, static_cast<size_t>(quote - line.data()) - from);
        at = static_cast<size_t>(quote - line.data()) + 1;
        return true;
    }
    copied = true;
    start = scratch.size();
    for (; at < line.size(); ++at) {
        char ch = line[at];
        if (ch == '"') {
            ++at;
            value = std::string_view(scratch).substr(start);
            return true;
        }
        if (ch != '\\') {
            scratch += ch;
            continue;
        }
        if (++at >= line.size()) return false;
        switch (line[at]) {
            case '"': scratch += '"'; break;
            case '\\': scratch += '\\'; break;
            case '/': scratch += '/'; break;
            case 'b': scratch += '\b'; break;
            case 'f': scratch += '\f'; break;
            case 'n': scratch += '\n'; break;
            case 'r': scratch += '\r'; break;
            case 't': scratch += '\t'; break;
            case 'u': {
                if (at + 4 >= line.size()) return false;
                uint32_t point = 0;
                for (int i = 1; i <= 4; ++i) {
                    int digit = HexDigit(line[at + i]);
                    if (digit < 0) return false;
                    point = point * 16 + static_cast<uint32_t>(digit);
                }
                AppendUtf8(point, scratch);
                at += 4;
                break;
            }
            default: return false;
        }
    }
    return false;
}

}  // namespace

bool ParseLogTime(std::string_view text, int64_t& ms) {
    size_t dot = text.find('.');
    uint64_t whole = 0, fraction = 0;
    if (!ParseUnsigned(text.substr(0, dot), whole)) return false;
    if (dot == std::string_view::npos) {
        if (whole > 9000000000000000ull) return false;
        ms = static_cast<int64_t>(whole);
        return true;
    }
    std::string_view digits = text.substr(dot + 1, 3);
    if (!ParseUnsigned(digits, fraction) || whole > 9000000000000ull) return false;
    for (size_t i = digits.size(); i < 3; ++i) fraction *= 10;
    ms = static_cast<int64_t>(whole * 1000 + fraction);
    return true;
}

// {"msec":1733712000.123,"addr":"203.0.113.7","peer":"203.0.113.7","method":"GET",
//  "uri":"/files/data/a.pak","status":200,"bytes":16384,"completion":"OK","tree":"stage",
//  "etag":"\"6756b2c0-4000\"","agent":"Quillor-Updater/1.0","conn":17,"conn_requests":3,"via_edge":0,
//  "src":"origin"}
// Values are strings, numbers or null; keys outside this set are skipped.
bool ParseLogRecord(std::string_view line, LogRecord& record, std::string& scratch) {
    record = LogRecord();
    scratch.clear();
    scratch.reserve(line.size());  // views into scratch stay valid: it never grows past this
    size_t at = SkipBlanks(line, 0);
    if (at >= line.size() || line[at] != '{') return false;
    bool haveTime = false, haveStatus = false;
    for (++at;;) {
        at = SkipBlanks(line, at);
        if (at < line.size() && line[at] == '}') break;
        std::string_view key, value;
        size_t start = 0;
        bool copied = false;
        if (at >= line.size() || line[at] != '"' || !ReadString(line, at, key, scratch, start, copied)) return false;
        at = SkipBlanks(line, at);
        if (at >= line.size() || line[at] != ':') return false;
        at = SkipBlanks(line, at + 1);
        if (at >= line.size()) return false;
        bool quoted = line[at] == '"';
        if (quoted) {
            if (!ReadString(line, at, value, scratch, start, copied)) return false;
        } else {
            size_t end = at;
            while (end < line.size() && line[end] != ',' && line[end] != '}' && line[end] != ' ') ++end;
            value = line.substr(at, end - at);
            if (value.empty()) return false;
            at = end;
            if (value == "null") value = std::string_view();
        }
        std::string_view* target = nullptr;
        if (key == "msec") {
            if (!ParseLogTime(value, record.timeMs)) return false;
            haveTime = true;
        } else if (key == "status") {
            uint64_t status = 0;
            if (!ParseUnsigned(value, status) || status > 999) return false;
            record.status = static_cast<int>(status);
            haveStatus = true;
        } else if (key == "bytes") {
            if (!value.empty() && !ParseUnsigned(value, record.bytes)) return false;
        } else if (key == "via_edge") {
            record.viaEdge = value == "1";
        } else if (key == "addr") {
            target = &record.address;
        } else if (key == "peer") {
            target = &record.peer;
        } else if (key == "method") {
            target = &record.method;
        } else if (key == "uri") {
            target = &record.uri;
        } else if (key == "completion") {
            target = &record.completion;
        } else if (key == "tree") {
            target = &record.tree;
        } else if (key == "etag") {
            target = &record.etag;
        } else if (key == "agent") {
            target = &record.agent;
        } else if (key == "src") {
            target = &record.source;
        }
        if (target != nullptr) *target = value;
        at = SkipBlanks(line, at);
        if (at < line.size() && line[at] == ',') {
            ++at;
            continue;
        }
        if (at < line.size() && line[at] == '}') break;
        return false;
    }
    if (SkipBlanks(line, at + 1) != line.size()) return false;
    return haveTime && haveStatus && !record.address.empty() && !record.uri.empty();
}
