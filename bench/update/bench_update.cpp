// Update benchmark: the updater's check and download phases over 2,000 files (1 GiB) against
// sha256sum, curl and the bare CNG / WinINet loops, all in one run; and its peak memory for a
// 1 MiB file against a 1 GiB file (ru_maxrss of the Wine process, from wait4); and the check
// phase over 100,000 small files that are all current (QUILLOR_BENCH_MANY sets the count;
// QUILLOR_BENCH_OTHER_EXE times a second updater exe there and in both phases above, e.g. an
// older build made with the same public key; QUILLOR_BENCH_MANY_ONLY=1 runs only that part).
//   bench_update [WORK_DIR]     (default: ./bench-update-work; removed afterwards)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kWinBuild = QUILLOR_WIN_BUILD;
const std::string kPublish = QUILLOR_PUBLISH_TOOL;
constexpr int kFiles = 2000;
constexpr uint64_t kTotalBytes = 1ull << 30;

struct Outcome {
    int exitCode = -1;
    double seconds = 0;
    long maxRssKiB = 0;
};

// Runs argv to its end (killed by PID after 10 minutes); wall time and the child's peak RSS.
Outcome Run(const std::vector<std::string>& argv) {
    Outcome outcome;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = StartProcess(argv);
    if (pid <= 0) return outcome;
    auto deadline = start + std::chrono::minutes(10);
    int status = 0;
    rusage usage = {};
    for (;;) {
        pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        if (done < 0) return outcome;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            return outcome;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.maxRssKiB = usage.ru_maxrss;
    return outcome;
}

// 2,000 files of uneven sizes (about 5 KiB to 1 MiB) adding up to exactly 1 GiB, random bytes.
std::vector<std::string> MakeRelease(const std::string& dir) {
    std::vector<uint64_t> weights;
    uint64_t weightSum = 0;
    for (int i = 0; i < kFiles; ++i) {
        weights.push_back(1 + (static_cast<uint64_t>(i) * 7919) % 199);
        weightSum += weights.back();
    }
    std::vector<std::string> paths;
    uint64_t state = 0x9E3779B97F4A7C15ull, written = 0;
    std::vector<uint64_t> block(1 << 17);
    for (int i = 0; i < kFiles; ++i) {
        uint64_t size = i + 1 == kFiles ? kTotalBytes - written : kTotalBytes * weights[i] / weightSum;
        char name[32];
        std::snprintf(name, sizeof name, "d%02d/f%04d.bin", i / 100, i);
        paths.push_back(name);
        fs::create_directories(dir + "/" + std::string(name).substr(0, 3));
        std::ofstream file(dir + "/" + name, std::ios::binary);
        for (uint64_t left = size; left > 0;) {
            for (uint64_t& word : block) {
                state ^= state << 13, state ^= state >> 7, state ^= state << 17;
                word = state;
            }
            uint64_t now = std::min<uint64_t>(left, block.size() * 8);
            file.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(now));
            left -= now;
        }
        written += size;
    }
    return paths;
}

int FreePort() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    close(probe);
    return ntohs(address.sin_port);
}

bool Connects(int port) {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return ok;
}

// quillor-publish serve on a free loopback port; stopped by its PID.
struct Server {
    explicit Server(const std::string& root) {
        port = FreePort();
        pid = StartProcess({kPublish, "serve", "--bind", "127.0.0.1", "--port", std::to_string(port), root});
        for (int i = 0; i < 200 && !Connects(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ~Server() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }
    pid_t pid = -1;
    int port = 0;
};

bool Publish(const std::string& release, const std::string& server, bool blocks = true) {
    std::vector<std::string> argv = {kPublish, "publish", "--key", kWinBuild + "/devkey/quillor-dev.pem",
                                     "--serial", "1", release, server};
    if (!blocks) argv.insert(argv.begin() + 2, "--no-blocks");
    return Run(argv).exitCode == 0;
}

Outcome RunUpdater(const std::string& installDir, const std::string& url,
                   const std::string& exe = kWinBuild + "/Quillor - Updater.exe") {
    fs::create_directories(installDir);
    return Run({kWinBuild + "/wine-run", exe, "/silent", "/dir", WinePath(installDir), "/url", url, "/nolaunch"});
}

// The check phase of an installation of many small files, all current: what a per-entry cost
// (the own-file rule, name resolution) adds up to. Best of three runs per exe, interleaved.
void ManyFilesCheck(const std::string& work) {
    const char* countText = std::getenv("QUILLOR_BENCH_MANY");
    int count = countText != nullptr ? std::atoi(countText) : 100000;
    if (count <= 0) return;
    std::printf("check phase (%d small files, all up to date):\n", count);
    std::string release = work + "/many", install = work + "/install-many";
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "d%03d/f%06d.dat", i / 1000, i);
        if (i % 1000 == 0) fs::create_directories(release + "/" + std::string(name).substr(0, 4));
        std::ofstream(release + "/" + name, std::ios::binary) << "file " << i << "\n";
    }
    if (!Publish(release, work + "/server-many")) return;
    fs::create_directories(install);
    for (const auto& entry : fs::recursive_directory_iterator(release)) {
        fs::path target = install / fs::relative(entry.path(), release);
        if (entry.is_directory()) fs::create_directories(target);
        else fs::create_hard_link(entry.path(), target);
    }
    // The same release without the block-file offer: no walk over the installation.
    if (!Publish(release, work + "/server-many-plain", false)) return;
    Server server(work + "/server-many");
    Server plain(work + "/server-many-plain");
    std::vector<std::pair<std::string, std::string>> exes = {{"this build", kWinBuild + "/Quillor - Updater.exe"},
                                                             {"this build, no offer", kWinBuild + "/Quillor - Updater.exe"}};
    if (const char* other = std::getenv("QUILLOR_BENCH_OTHER_EXE")) exes.emplace_back("QUILLOR_BENCH_OTHER_EXE", other);
    std::vector<double> best(exes.size(), 0);
    for (int round = 0; round < 3; ++round) {
        for (size_t e = 0; e < exes.size(); ++e) {
            Outcome run = RunUpdater(install, (e == 1 ? plain : server).Url(), exes[e].second);
            if (run.exitCode == 0 && (best[e] == 0 || run.seconds < best[e])) best[e] = run.seconds;
        }
    }
    for (size_t e = 0; e < exes.size(); ++e)
        std::printf("  %-24s %7.2f s  %6.1f us per file%s\n", exes[e].first.c_str(), best[e],
                    best[e] * 1e6 / count, best[e] == 0 ? "  (no successful run)" : "");
    if (best[1] > 0) std::printf("  the offer's walk over the installation: %+.2f s\n", best[0] - best[1]);
    if (exes.size() == 3 && best[2] > 0)
        std::printf("  ratio this build / other: %.3f   (target <= 1.10)\n", best[0] / best[2]);
    fs::remove_all(install);
    fs::remove_all(release);
}

std::string LastLogLines(const std::string& installDir) {
    std::ifstream log(installDir + "/updater.log");
    std::string line, plan;
    while (std::getline(log, line)) {
        if (line.find("files need an update") != std::string::npos) plan = line.substr(21);
    }
    return plan;
}

void Report(const char* what, const Outcome& outcome) {
    std::printf("  %-44s %7.2f s  %7.1f MB/s  exit %d\n", what, outcome.seconds,
                outcome.seconds > 0 ? kTotalBytes / outcome.seconds / 1e6 : 0.0, outcome.exitCode);
}

// Both phases once more for this build and the other exe, alternately, best of five each: the
// figures of one run on one machine, so that a change shows against what it replaces.
void CompareBest(const char* phase, const std::string& other, const std::function<Outcome(const std::string&)>& run) {
    const std::string exes[] = {kWinBuild + "/Quillor - Updater.exe", other};
    double best[2] = {0, 0};
    for (int round = 0; round < 5; ++round) {
        for (int e = 0; e < 2; ++e) {
            Outcome outcome = run(exes[e]);
            if (outcome.exitCode == 0 && (best[e] == 0 || outcome.seconds < best[e])) best[e] = outcome.seconds;
        }
    }
    std::printf("  %s, best of 5: this build %.2f s, QUILLOR_BENCH_OTHER_EXE %.2f s, ratio %.3f\n", phase, best[0],
                best[1], best[1] > 0 ? best[0] / best[1] : 0.0);
}

void CompareCheck(const std::string& work, const std::string& url, const std::string& other) {
    CompareBest("check phase", other, [&](const std::string& exe) { return RunUpdater(work + "/install-check", url, exe); });
}

void CompareDownload(const std::string& work, const std::string& url, const std::string& other) {
    CompareBest("download phase", other, [&](const std::string& exe) {
        fs::remove_all(work + "/install-download");
        return RunUpdater(work + "/install-download", url, exe);
    });
}

}  // namespace

int main(int argc, char** argv) {
    std::string work = fs::absolute(argc > 1 ? argv[1] : "bench-update-work").string();
    fs::remove_all(work);
    fs::create_directories(work);
    setenv("WINEPREFIX", (kWinBuild + "/wine").c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    Run({"wineserver", "-p30"});

    if (const char* only = std::getenv("QUILLOR_BENCH_MANY_ONLY"); only && std::string(only) == "1") {
        ManyFilesCheck(work);
        fs::remove_all(work);
        return 0;
    }
    const char* otherExe = std::getenv("QUILLOR_BENCH_OTHER_EXE");
    const std::string otherPath = otherExe ? otherExe : "";
    const std::string* other = otherExe ? &otherPath : nullptr;
    std::printf("preparing 2,000 files, 1 GiB, in %s ...\n", work.c_str());
    std::vector<std::string> paths = MakeRelease(work + "/release");
    if (!Publish(work + "/release", work + "/server")) {
        std::fprintf(stderr, "bench_update: quillor-publish failed\n");
        return 1;
    }
    std::ofstream(work + "/list.txt") << [&] {
        std::string text;
        for (const std::string& path : paths) text += path + "\n";
        return text;
    }();
    fs::create_directories(work + "/install-check");
    for (const std::string& path : paths) {  // an up-to-date installation, sharing the release's bytes
        fs::create_directories(fs::path(work + "/install-check/" + path).parent_path());
        fs::create_hard_link(work + "/release/" + path, work + "/install-check/" + path);
    }
    Server server(work + "/server");

    std::printf("check phase (all 2,000 files up to date):\n");
    std::vector<std::string> sha256sum = {"sha256sum"};
    for (const std::string& path : paths) sha256sum.push_back(work + "/release/" + path);
    Outcome native = Run(sha256sum);
    Outcome bareHash = Run({kWinBuild + "/wine-run", kWinBuild + "/bench_update.exe", "hash",
                            WinePath(work + "/release"), WinePath(work + "/list.txt")});
    Outcome check = RunUpdater(work + "/install-check", server.Url());
    Report("sha256sum (native)", native);
    Report("bare CNG loop (Wine)", bareHash);
    Report("updater, whole run (Wine)", check);
    if (other) CompareCheck(work, server.Url(), *other);
    std::printf("  updater log: %s\n", LastLogLines(work + "/install-check").c_str());
    std::printf("  ratio check / bare CNG loop:  %.2f   (target >= 0.95)\n", bareHash.seconds / check.seconds);
    std::printf("  ratio check / sha256sum:      %.2f\n", native.seconds / check.seconds);

    std::printf("download phase (all 2,000 files missing):\n");
    std::string curlConfig;
    for (const std::string& path : paths) {
        curlConfig += "url = \"" + server.Url() + "/files/" + path + "\"\noutput = \"" + work + "/curl/" + path + "\"\n";
    }
    std::ofstream(work + "/curl.cfg") << curlConfig;
    Outcome curl = Run({"curl", "-s", "-f", "--create-dirs", "-K", work + "/curl.cfg"});
    fs::create_directories(work + "/wininet");
    Outcome bareFetch = Run({kWinBuild + "/wine-run", kWinBuild + "/bench_update.exe", "fetch", server.Url(),
                             WinePath(work + "/list.txt"), WinePath(work + "/wininet")});
    Outcome download = RunUpdater(work + "/install-download", server.Url());
    Report("curl (native, no hashing)", curl);
    Report("bare WinINet loop + CNG hashing (Wine)", bareFetch);
    Report("updater, whole run (Wine)", download);
    if (other) CompareDownload(work, server.Url(), *other);
    std::printf("  updater log: %s\n", LastLogLines(work + "/install-download").c_str());
    std::printf("  ratio download / bare WinINet + hashing: %.2f   (target >= 0.8)\n",
                bareFetch.seconds / download.seconds);
    std::printf("  ratio download / curl:                   %.2f\n", curl.seconds / download.seconds);
    fs::remove_all(work + "/curl");
    fs::remove_all(work + "/wininet");
    fs::remove_all(work + "/install-download");

    std::printf("peak memory of the updater's Wine process (ru_maxrss from wait4):\n");
    for (uint64_t size : {1ull << 20, 1ull << 30}) {
        std::string tag = size == (1ull << 20) ? "1mib" : "1gib";
        std::string release = work + "/release-" + tag;
        fs::create_directories(release);
        std::ofstream(release + "/one.bin", std::ios::binary).put('Q');
        fs::resize_file(release + "/one.bin", size);  // the bytes' values do not matter here
        if (!Publish(release, work + "/server-" + tag)) return 1;
        Server single(work + "/server-" + tag);
        Outcome fetched = RunUpdater(work + "/install-" + tag, single.Url());
        Outcome checked = RunUpdater(work + "/install-" + tag, single.Url());
        std::printf("  one %s file: download run %6ld KiB (exit %d), check run %6ld KiB (exit %d)\n",
                    tag == "1mib" ? "1 MiB" : "1 GiB", fetched.maxRssKiB, fetched.exitCode,
                    checked.maxRssKiB, checked.exitCode);
    }
    ManyFilesCheck(work);
    fs::remove_all(work);
    return 0;
}
