// Times HttpGet into a file against a bare WinINet read loop on the same URL.
// Usage: http_bench.exe URL OUTFILE [ROUNDS]; prints one line per run and the best of each.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "update/http.h"
#include "update/status.h"

namespace {

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

HANDLE CreateOutput(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

enum class Mode { HttpGet, Bare, BareTimeout };
const char* const kModeNames[] = {"HttpGet", "bare", "bare-rto"};

// Opens the request the way HttpGet does: connection, request, receive time-out, send.
HINTERNET OpenWithTimeout(HINTERNET session, const std::string& url, HINTERNET* connection) {
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = 1;
    if (!InternetCrackUrlA(url.c_str(), 0, 0, &parts)) return nullptr;
    std::string host(parts.lpszHostName, parts.dwHostNameLength);
    std::string path(parts.lpszUrlPath, parts.dwUrlPathLength);
    *connection = InternetConnectA(session, host.c_str(), parts.nPort, nullptr, nullptr,
                                   INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestA(*connection, "GET", path.c_str(), nullptr, nullptr, nullptr,
                                         0x84000200, 0);
    DWORD timeout = 20000;
    InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    if (!HttpSendRequestA(request, nullptr, 0, nullptr, 0)) return nullptr;
    return request;
}

// The reference: what any WinINet download does at the least, 64 KiB reads each written out.
// With withTimeout the request is opened as HttpGet opens it, to show what that costs alone.
bool BareLoop(const std::string& url, HANDLE file, uint64_t* bytes, bool withTimeout = false) {
    static HINTERNET session = InternetOpenA("bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection = nullptr;
    HINTERNET request = withTimeout ? OpenWithTimeout(session, url, &connection)
                                    : InternetOpenUrlA(session, url.c_str(), nullptr, 0, 0x84000200, 0);
    if (!request) return false;
    std::vector<char> buffer(65536);
    *bytes = 0;
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, buffer.data(), 65536, &got)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), got, &written, nullptr) || written != got) {
            ok = false;
            break;
        }
        *bytes += got;
    }
    InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    return ok;
}

// Runs one timed transfer; returns MB/s (10^6 bytes per second), 0 on failure.
double TimeOne(Mode mode, const std::string& url, const std::wstring& out, uint64_t total) {
    HANDLE file = CreateOutput(out);
    if (file == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER start, end;
    uint64_t bytes = 0;
    std::string error;
    QueryPerformanceCounter(&start);
    bool ok = mode == Mode::HttpGet ? HttpGet(url, nullptr, file, &bytes, 0, total, error)
                                    : BareLoop(url, file, &bytes, mode == Mode::BareTimeout);
    QueryPerformanceCounter(&end);
    CloseHandle(file);
    if (!ok || bytes != total) {
        std::fprintf(stderr, "%s failed: %s\n", kModeNames[static_cast<int>(mode)], error.c_str());
        return 0;
    }
    double seconds = Seconds(start, end);
    std::printf("%-8s %llu bytes in %.3f s = %.1f MB/s\n", kModeNames[static_cast<int>(mode)],
                static_cast<unsigned long long>(bytes), seconds, bytes / seconds / 1e6);
    return bytes / seconds / 1e6;
}

double Median(const std::vector<double>& sorted) {
    size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: http_bench URL OUTFILE [ROUNDS]\n");
        return 2;
    }
    InitStatusLock();
    std::string url = argv[1];
    int wideLength = MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, &out[0], wideLength);
    out.resize(static_cast<size_t>(wideLength) - 1);
    int rounds = 0;
    for (const char* c = argc > 3 ? argv[3] : "3"; *c >= '0' && *c <= '9' && rounds < 1000; ++c) {
        rounds = rounds * 10 + (*c - '0');
    }
    rounds = std::max(1, rounds);

    uint64_t total = 0;  // a warm-up transfer learns the size and warms the server's cache
    HANDLE file = CreateOutput(out);
    bool warm = file != INVALID_HANDLE_VALUE && BareLoop(url, file, &total);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!warm || total == 0) {
        std::fprintf(stderr, "warm-up download failed\n");
        return 1;
    }
    std::vector<double> rates[3];
    std::vector<double> roundRatios;  // HttpGet / bare within one round: robust to load drift
    for (int round = 0; round < rounds; ++round) {  // interleaved, so drift hits all alike
        for (int mode = 0; mode < 3; ++mode) {
            rates[mode].push_back(TimeOne(static_cast<Mode>(mode), url, out, total));
        }
        if (rates[1].back() > 0) roundRatios.push_back(rates[0].back() / rates[1].back());
    }
    std::sort(roundRatios.begin(), roundRatios.end());
    DeleteFileW(out.c_str());
    for (std::vector<double>& r : rates) std::sort(r.begin(), r.end());
    for (int mode = 0; mode < 3; ++mode) {
        if (rates[mode].front() == 0) return 1;
        std::printf("best %s %.1f MB/s\n", kModeNames[mode], rates[mode].back());
        std::printf("median %s %.1f MB/s\n", kModeNames[mode], Median(rates[mode]));
    }
    std::printf("median of per-round HttpGet/bare ratios %.3f\n", Median(roundRatios));
    return 0;
}
