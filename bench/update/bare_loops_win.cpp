// The update benchmark's yardsticks: a bare CNG hashing loop and a bare WinINet download loop
// followed by that hashing, over a list of files, with none of the updater's own logic.
//   bench_update.exe hash ROOT LIST          hash ROOT\path for every path in LIST
//   bench_update.exe fetch BASEURL LIST OUT  GET BASEURL/files/path into OUT\fNNNNN, then hash it
// LIST holds one "/"-separated path per line (plain ASCII). Prints the bytes and milliseconds.
#include <windows.h>
#include <bcrypt.h>
#include <wininet.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> ReadList(const char* listPath) {
    std::vector<std::string> paths;
    std::ifstream list(listPath);
    std::string line;
    while (std::getline(list, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) paths.push_back(line);
    }
    return paths;
}

std::string WindowsPath(const std::string& root, const std::string& path) {
    std::string full = root + "\\" + path;
    for (char& c : full) {
        if (c == '/') c = '\\';
    }
    return full;
}

// The same loop as the updater's file digest: 1 MiB ReadFile chunks into one CNG hash.
unsigned long long HashOne(const std::string& path, std::vector<unsigned char>& buffer) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    unsigned long long total = 0;
    DWORD got = 0;
    while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
        BCryptHashData(hash, buffer.data(), got, 0);
        total += got;
    }
    CloseHandle(file);
    unsigned char digest[32];
    BCryptFinishHash(hash, digest, sizeof digest, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return total;
}

bool FetchOne(HINTERNET session, const std::string& url, const std::string& target,
              std::vector<unsigned char>& chunk) {
    HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI, 0);
    if (!request) return false;
    HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE;
    DWORD got = 0;
    while (ok && InternetReadFile(request, chunk.data(), static_cast<DWORD>(chunk.size()), &got) && got > 0) {
        DWORD written = 0;
        ok = WriteFile(file, chunk.data(), got, &written, nullptr) && written == got;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    InternetCloseHandle(request);
    return ok;
}

double Milliseconds(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_update hash ROOT LIST | fetch BASEURL LIST OUT\n");
        return 2;
    }
    std::string mode = argv[1];
    std::vector<std::string> paths = ReadList(argv[3]);
    std::vector<unsigned char> buffer(1 << 20);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    unsigned long long bytes = 0;
    if (mode == "hash") {
        for (const std::string& path : paths) bytes += HashOne(WindowsPath(argv[2], path), buffer);
    } else if (mode == "fetch" && argc >= 5) {
        HINTERNET session = InternetOpenA("Quillor-Updater/1.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        std::vector<unsigned char> chunk(65536);
        for (size_t i = 0; i < paths.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "f%05u", static_cast<unsigned>(i));
            std::string target = WindowsPath(argv[4], name);
            if (!FetchOne(session, std::string(argv[2]) + "/files/" + paths[i], target, chunk)) {
                std::fprintf(stderr, "fetch failed: %s\n", paths[i].c_str());
                return 1;
            }
            bytes += HashOne(target, buffer);
        }
    } else {
        return 2;
    }
    std::printf("%s: %u files, %llu bytes, %.0f ms\n", mode.c_str(), static_cast<unsigned>(paths.size()),
                bytes, Milliseconds(start));
    return 0;
}
