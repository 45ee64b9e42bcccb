// Reads the access log's JSON lines with one pass over the bytes and no allocation per line.
#include "report/log_record.h"

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
    if (quote == nullptr) return false;
    const char* slash =
        static_cast<const char*>(std::memchr(line.data() + at, '\\', static_cast<size_t>(quote - line.data()) - at));
    copied = false;
    if (slash == nullptr) {
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

enum class Key {
    kOther,
    kMsec,
    kStatus,
    kBytes,
    kViaEdge,
    kAddr,
    kPeer,
    kMethod,
    kUri,
    kCompletion,
    kTree,
    kEtag,
    kAgent,
    kSource
};

// One comparison at most per key: the keys differ in length or first letter.
Key KeyOf(std::string_view key) {
    auto is = [&](const char* name, Key which) { return key == name ? which : Key::kOther; };
    switch (key.size()) {
        case 3: return key[0] == 'u' ? is("uri", Key::kUri) : is("src", Key::kSource);
        case 4:
            switch (key[0]) {
                case 'm': return is("msec", Key::kMsec);
                case 'a': return is("addr", Key::kAddr);
                case 'p': return is("peer", Key::kPeer);
                case 't': return is("tree", Key::kTree);
                case 'e': return is("etag", Key::kEtag);
                default: return Key::kOther;
            }
        case 5: return key[0] == 'b' ? is("bytes", Key::kBytes) : is("agent", Key::kAgent);
        case 6: return key[0] == 's' ? is("status", Key::kStatus) : is("method", Key::kMethod);
        case 8: return is("via_edge", Key::kViaEdge);
        case 10: return is("completion", Key::kCompletion);
        default: return Key::kOther;
    }
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
        switch (KeyOf(key)) {
            case Key::kMsec:
                if (!ParseLogTime(value, record.timeMs)) return false;
                haveTime = true;
                break;
            case Key::kStatus: {
                uint64_t status = 0;
                if (!ParseUnsigned(value, status) || status > 999) return false;
                record.status = static_cast<int>(status);
                haveStatus = true;
                break;
            }
            case Key::kBytes:
                if (!value.empty() && !ParseUnsigned(value, record.bytes)) return false;
                break;
            case Key::kViaEdge: record.viaEdge = value == "1"; break;
            case Key::kAddr: target = &record.address; break;
            case Key::kPeer: target = &record.peer; break;
            case Key::kMethod: target = &record.method; break;
            case Key::kUri: target = &record.uri; break;
            case Key::kCompletion: target = &record.completion; break;
            case Key::kTree: target = &record.tree; break;
            case Key::kEtag: target = &record.etag; break;
            case Key::kAgent: target = &record.agent; break;
            case Key::kSource: target = &record.source; break;
            case Key::kOther: break;
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
