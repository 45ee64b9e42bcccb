// Writes the bench's access log twice: in the site's JSON form and in nginx's combined form.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

bool ParseCount(const char* text, uint64_t& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return end != text && *end == '\0';
}

}  // namespace

// make_logs JSON_OUT COMBINED_OUT LINES ADDRESSES ETAG MANIFEST_BYTES PATH:BYTES...
// Each run of an address: manifest.txt (answered with ETAG), manifest.sig, then every PATH.
int main(int argc, char** argv) {
    uint64_t lines = 0, addresses = 0, manifestBytes = 0;
    if (argc < 8 || !ParseCount(argv[3], lines) || !ParseCount(argv[4], addresses) || addresses == 0 ||
        !ParseCount(argv[6], manifestBytes)) {
        std::fprintf(stderr, "usage: make_logs JSON_OUT COMBINED_OUT LINES ADDRESSES ETAG MANIFEST_BYTES PATH:BYTES...\n");
        return 2;
    }
    struct Request {
        std::string uri;
        uint64_t bytes;
        std::string etag;
    };
    std::vector<Request> run = {{"/manifest.txt", manifestBytes, argv[5]}, {"/manifest.sig", 256, ""}};
    for (int i = 7; i < argc; ++i) {
        std::string file = argv[i];
        size_t colon = file.rfind(':');
        uint64_t bytes = 0;
        if (colon == std::string::npos || !ParseCount(file.c_str() + colon + 1, bytes)) return 2;
        run.push_back({"/files/" + file.substr(0, colon), bytes, ""});
    }
    FILE* json = std::fopen(argv[1], "w");
    FILE* combined = std::fopen(argv[2], "w");
    if (json == nullptr || combined == nullptr) return 1;
    const int64_t startMs = 1765245600000;  // 2025-12-09T02:00:00Z
    char address[32], when[64], line[1024];
    for (uint64_t n = 0; n < lines; ++n) {
        uint64_t runIndex = n / run.size();
        const Request& request = run[n % run.size()];
        uint64_t player = (runIndex * 2654435761u) % addresses;  // runs of an address spread over the log
        std::snprintf(address, sizeof address, "10.%u.%u.%u", static_cast<unsigned>(player >> 16 & 255),
                      static_cast<unsigned>(player >> 8 & 255), static_cast<unsigned>(player & 255));
        int64_t ms = startMs + static_cast<int64_t>(n);
        int length = std::snprintf(
            line, sizeof line,
            "{\"msec\":%lld.%03lld,\"addr\":\"%s\",\"peer\":\"%s\",\"method\":\"GET\",\"uri\":\"%s\",\"status\":200,"
            "\"bytes\":%llu,\"completion\":\"OK\",\"tree\":\"live\",\"etag\":\"%s%s%s\",\"agent\":\"Quillor-Updater/1.0\","
            "\"conn\":%llu,\"conn_requests\":1,\"via_edge\":0,\"src\":\"origin\"}\n",
            static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000), address, address, request.uri.c_str(),
            static_cast<unsigned long long>(request.bytes), request.etag.empty() ? "" : "\\\"", request.etag.c_str(),
            request.etag.empty() ? "" : "\\\"", static_cast<unsigned long long>(n + 1));
        std::fwrite(line, 1, static_cast<size_t>(length), json);
        time_t seconds = static_cast<time_t>(ms / 1000);
        struct tm parts;
        gmtime_r(&seconds, &parts);
        strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S +0000", &parts);
        length = std::snprintf(line, sizeof line, "%s - - [%s] \"GET %s HTTP/1.1\" 200 %llu \"-\" \"Quillor-Updater/1.0\"\n",
                               address, when, request.uri.c_str(), static_cast<unsigned long long>(request.bytes));
        std::fwrite(line, 1, static_cast<size_t>(length), combined);
    }
    return std::fclose(json) == 0 && std::fclose(combined) == 0 ? 0 : 1;
}
