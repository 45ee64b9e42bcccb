// What quillor-publish tells its user: human lines, or with --json one JSON Lines stream on stdout.
#include "core/output.h"

#include "core/problem_codes.h"
#include "update/name_fold.h"

#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

namespace {

struct ResultField {
    std::string key;
    std::string value;  // JSON text; for an array, its items joined by commas
    bool array = false;
};

struct OutputRecord {
    bool json = false;
    bool finished = false;
    std::string command;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::vector<ResultField> fields;
    std::vector<std::string> problems;  // JSON objects
    std::mutex lock;                    // stdout lines and the record, for the progress and server threads
};

OutputRecord& Record() {
    static OutputRecord record;
    return record;
}

ResultField& FieldFor(const std::string& key) {
    for (ResultField& field : Record().fields)
        if (field.key == key) return field;
    Record().fields.push_back(ResultField{key, "", false});
    return Record().fields.back();
}

void SetField(const std::string& key, const std::string& json) {
    std::lock_guard<std::mutex> hold(Record().lock);
    ResultField& field = FieldFor(key);
    field.value = json;
    field.array = false;
}

// The length of the valid UTF-8 sequence at text[i], 0 when the bytes there are not one.
size_t Utf8Length(const std::string& text, size_t i) {
    size_t end = i;
    uint32_t point = 0;
    return DecodeUtf8(text, end, point) ? end - i : 0;
}

}  // namespace

void StartOutput(const std::string& command, bool json) {
    std::lock_guard<std::mutex> hold(Record().lock);
    Record().command = command;
    Record().json = json;
    Record().started = std::chrono::steady_clock::now();
}

bool JsonOutput() { return Record().json; }

const std::string& OutputCommand() { return Record().command; }

FILE* HumanOut() { return Record().json ? stderr : stdout; }

std::string JsonString(const std::string& bytes) {
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        size_t length = Utf8Length(bytes, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c >= 0x20 && length > 0) {
            out.append(bytes, i, length);
            i += length;
            continue;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        ++i;
    }
    return out + "\"";
}

void ResultNumber(const std::string& key, uint64_t value) { SetField(key, std::to_string(value)); }

void ResultText(const std::string& key, const std::string& text) { SetField(key, JsonString(text)); }

void ResultBool(const std::string& key, bool value) { SetField(key, value ? "true" : "false"); }

void ResultJson(const std::string& key, const std::string& json) { SetField(key, json); }

void ResultAppend(const std::string& key, const std::string& json) {
    std::lock_guard<std::mutex> hold(Record().lock);
    ResultField& field = FieldFor(key);
    if (!field.array) field.value.clear();
    field.array = true;
    if (!json.empty()) field.value += (field.value.empty() ? "" : ",") + json;
}

void ReportProblem(const std::string& message, const std::string& code) {
    std::fprintf(stderr, "quillor-publish: %s\n", message.c_str());
    ListProblem(message, code);
}

void ReportWarning(const std::string& message, const std::string& code) {
    std::fprintf(stderr, "warning: %s\n", message.c_str());
    ListProblem(message, code);
}

void ListProblem(const std::string& message, const std::string& code) {
    std::string given = code.empty() ? ProblemCodeFor(OutputCommand(), message) : code;
    std::lock_guard<std::mutex> hold(Record().lock);
    Record().problems.push_back("{\"code\":" + JsonString(given) + ",\"message\":" + JsonString(message) + "}");
}

void ReportReleaseWarning(const std::string& message, const std::string& code) {
    std::fprintf(stderr, "warning: %s\n", message.c_str());
    ResultAppend("warnings", "{\"code\":" + JsonString(code) + ",\"message\":" + JsonString(message) + "}");
}

void EmitJsonLine(const std::string& object) {
    if (!Record().json) return;
    std::lock_guard<std::mutex> hold(Record().lock);
    if (Record().finished) return;
    std::string line = object + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void EmitProgress(const std::string& phase, uint64_t files, uint64_t totalFiles, uint64_t bytes, uint64_t totalBytes,
                  double seconds) {
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", seconds);
    EmitJsonLine("{\"type\":\"progress\",\"command\":" + JsonString(OutputCommand()) + ",\"phase\":" +
                 JsonString(phase) + ",\"files\":" + std::to_string(files) + ",\"total_files\":" +
                 std::to_string(totalFiles) + ",\"bytes\":" + std::to_string(bytes) + ",\"total_bytes\":" +
                 std::to_string(totalBytes) + ",\"seconds\":" + time + "}");
}

int FinishOutput(int exitCode) {
    OutputRecord& record = Record();
    std::lock_guard<std::mutex> hold(record.lock);
    if (record.finished || !record.json) {
        record.finished = true;
        return exitCode;
    }
    record.finished = true;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - record.started);
    std::string line = "{\"type\":\"result\",\"command\":" + JsonString(record.command) + ",\"ok\":" +
                       (exitCode == 0 ? "true" : "false") + ",\"exit\":" + std::to_string(exitCode) +
                       ",\"duration_ms\":" + std::to_string(ms.count());
    for (const ResultField& field : record.fields)
        line += "," + JsonString(field.key) + ":" + (field.array ? "[" + field.value + "]" : field.value);
    line += ",\"problems\":[";
    for (size_t i = 0; i < record.problems.size(); ++i) line += (i ? "," : "") + record.problems[i];
    line += "]}\n";
    std::fflush(stderr);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return exitCode;
}

namespace {
std::string helpTopic;
}

void SetHelpTopic(const std::string& command) { helpTopic = command; }

int Usage(const std::string& message, const std::string& code) {
    ReportProblem(message, code);
    std::fprintf(stderr, "(see quillor-publish help%s%s)\n", helpTopic.empty() ? "" : " ", helpTopic.c_str());
    return 2;
}

int Fail(const std::string& message) {
    ReportProblem(message);
    return 1;
}

int PrintProblems(const std::vector<std::string>& problems) {
    for (const std::string& problem : problems) ReportProblem(problem);
    return 1;
}
