// Child processes, scratch trees, publishing and Wine runs for the end-to-end tests.
#include "e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

extern char** environ;

pid_t StartProcess(const std::vector<std::string>& argv) {
    std::vector<char*> raw;
    for (const std::string& arg : argv) raw.push_back(const_cast<char*>(arg.c_str()));
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitProcess(pid_t pid, int timeoutMs) {
    if (pid <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int RunProcess(const std::vector<std::string>& argv, int timeoutMs) {
    return WaitProcess(StartProcess(argv), timeoutMs);
}

ScratchTree::ScratchTree() {
    static std::atomic<int> counter{0};
    path = "/tmp/quillor-e2e-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    fs::remove_all(path);
    fs::create_directories(path);
}

ScratchTree::~ScratchTree() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "<missing>";
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

bool Exists(const std::string& path) { return fs::exists(path); }

std::vector<std::string> FilesEndingIn(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> found;
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        std::string name = item.path().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            found.push_back(fs::relative(item.path(), dir).string());
        }
    }
    return found;
}

std::string WinePath(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows) {
        if (c == '/') c = '\\';
    }
    return windows;
}

std::string WinBuildDir() { return QUILLOR_WIN_BUILD; }
std::string UpdaterExe() { return WinBuildDir() + "/Quillor - Updater.exe"; }
std::string FakeGameExe() { return WinBuildDir() + "/fake_game.exe"; }
std::string RotatedUpdaterExe() { return WinBuildDir() + "/Quillor - Updater rotated.exe"; }
std::string RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

// The window tests share this file and have no use for the previous release's exe.
#ifndef QUILLOR_PREVIOUS_EXE
#define QUILLOR_PREVIOUS_EXE ""
#endif
std::string PreviousUpdaterExe() { return QUILLOR_PREVIOUS_EXE; }
std::string UpdaterWithoutDllRuleExe() { return WinBuildDir() + "/Quillor - Updater without DLL rule.exe"; }
std::string PlantedDll() { return WinBuildDir() + "/planted.dll"; }
std::string DevKey(const std::string& name) { return WinBuildDir() + "/devkey/" + name + ".pem"; }

bool Publish(const std::string& releaseDir, const std::string& serverDir, uint64_t serial,
             bool force, const std::string& key, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {QUILLOR_PUBLISH_TOOL, "publish", "--key", key, "--serial",
                                     std::to_string(serial)};
    if (force) argv.push_back("--force");
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(releaseDir);
    argv.push_back(serverDir);
    return RunProcess(argv, 30000) == 0;
}

std::vector<PublishedEntry> PublishedEntries(const std::string& serverDir) {
    std::vector<PublishedEntry> entries;
    std::istringstream text(ReadFile(serverDir + "/manifest.txt"));
    std::string line;
    while (std::getline(text, line)) {
        while (!line.empty() && line.back() == '\r') line.pop_back();
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos) continue;  // the serial line or a blank one
        entries.push_back({line.substr(0, tab1), std::stoull(line.substr(tab1 + 1, tab2 - tab1 - 1)),
                           line.substr(tab2 + 1)});
    }
    return entries;
}

static std::vector<std::string> WineCommand(const std::vector<std::string>& args, const std::string& exe) {
    std::vector<std::string> argv = {WinBuildDir() + "/wine-run", exe};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

int RunUpdater(const std::vector<std::string>& args, const std::string& exe, int timeoutMs) {
    return RunProcess(WineCommand(args, exe), timeoutMs);
}

ScopedEnvironment::ScopedEnvironment(const char* variable, const char* value) : name(variable) {
    const char* old = getenv(variable);
    wasSet = old != nullptr;
    if (wasSet) saved = old;
    if (value) {
        setenv(variable, value, 1);
    } else {
        unsetenv(variable);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (wasSet) {
        setenv(name.c_str(), saved.c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
}

pid_t StartUpdater(const std::vector<std::string>& args, const std::string& exe) {
    return StartProcess(WineCommand(args, exe));
}

int RunUpdaterTracingFiles(const std::vector<std::string>& args, const std::string& exe,
                           const std::string& tracePath, const char* channels) {
    // wine-run fixes WINEDEBUG; its last line names the loader, which is run here directly.
    std::string runner = ReadFile(WinBuildDir() + "/wine-run"), loader = "wine";
    size_t exec = runner.rfind("exec ");
    if (exec != std::string::npos) loader = runner.substr(exec + 5, runner.find(' ', exec + 5) - exec - 5);
    ScopedEnvironment debug("WINEDEBUG", channels);
    ScopedEnvironment overrides("WINEDLLOVERRIDES", "mscoree,mshtml=");
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>\"$TRACE\"", "sh", loader, exe};
    argv.insert(argv.end(), args.begin(), args.end());
    ScopedEnvironment trace("TRACE", tracePath.c_str());
    return RunProcess(argv, 120000);
}

FileHold::FileHold(const std::string& path) {
    pid = StartProcess(WineCommand({"hold", WinePath(path), WinePath(signals / "ready"), WinePath(signals / "release")},
                                   WinBuildDir() + "/sleeper.exe"));
    for (int waited = 0; pid > 0 && waited < 30000 && !held; waited += 10) {
        held = Exists(signals / "ready");
        if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

FileHold::~FileHold() { Release(); }

void FileHold::Release() {
    if (pid <= 0) return;
    WriteFile(signals / "release", "");
    WaitProcess(pid, 10000);  // killed by its PID if it does not end by itself
    pid = -1;
}

static bool IsStamp(const std::string& line) {
    const char* shape = "00.00.0000 00:00:00  ";
    if (line.size() < 21) return false;
    for (size_t i = 0; i < 21; ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == '0' ? !digit : line[i] != shape[i]) return false;
    }
    return true;
}

std::vector<std::string> LogLines(const std::string& installDir) {
    std::string text = ReadFile(installDir + "/updater.log");
    std::vector<std::string> lines;
    if (text == "<missing>") return lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back("NO CRLF: " + text.substr(start));
            break;
        }
        std::string line = text.substr(start, end - start);
        lines.push_back(IsStamp(line) ? line.substr(21) : "BAD STAMP: " + line);
        start = end + 2;
    }
    return lines;
}

void StartWineServer() {
    setenv("WINEPREFIX", (WinBuildDir() + "/wine").c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    // Stays up 30 s after its last client; fails harmlessly when one is already running.
    RunProcess({"/usr/bin/wineserver", "-p30"}, 10000);
}

static bool Accepts(int port) {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool open = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0) close(probe);
    return open;
}

ForwardProxy::ForwardProxy() {
    int wanted = FreeLoopbackPort();
    // squid drops root for its own user, which must be able to write its logs here.
    chmod(dir.path.c_str(), 0777);
    WriteFile(dir / "squid.conf",
              "http_port 127.0.0.1:" + std::to_string(wanted) + "\n"
              "visible_hostname quillor-e2e\n"
              "pid_filename " + (dir / "squid.pid") + "\n"
              "cache_log " + (dir / "cache.log") + "\n"
              "access_log stdio:" + (dir / "access.log") + " squid\n"
              "cache_store_log none\n"
              "coredump_dir " + dir.path + "\n"
              "netdb_filename none\n"
              "pinger_enable off\n"
              "max_filedescriptors 256\n"
              "cache_mem 16 MB\n"
              "acl loopback src 127.0.0.0/8\n"
              "http_access allow loopback\n"
              "http_access deny all\n");
    pid = StartProcess({"/usr/sbin/squid", "-N", "-f", dir / "squid.conf"});
    for (int tries = 0; pid > 0 && tries < 150; ++tries) {  // at most 15 s
        if (Accepts(wanted)) {
            port = wanted;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

ForwardProxy::~ForwardProxy() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);  // its cache lives in memory only; nothing to shut down cleanly
    WaitProcess(pid, 5000);
}

std::string ForwardProxy::AccessLog() const { return ReadFile(dir / "access.log"); }

// squid's native format: "TIME ELAPSED CLIENT CODE/STATUS BYTES METHOD URL USER HIERARCHY TYPE".
std::vector<std::string> ForwardProxy::ResultCodes(const std::string& url, size_t expected) const {
    std::vector<std::string> codes;
    for (int tries = 0; tries < 100 && codes.size() < expected; ++tries) {
        if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        codes.clear();
        std::istringstream log(AccessLog());
        std::string line;
        while (std::getline(log, line)) {
            std::istringstream fields(line);
            std::string time, elapsed, client, codeStatus, bytes, method, lineUrl;
            fields >> time >> elapsed >> client >> codeStatus >> bytes >> method >> lineUrl;
            if (lineUrl == url) codes.push_back(codeStatus.substr(0, codeStatus.find('/')));
        }
    }
    return codes;
}

bool WentToOrigin(const std::string& resultCode) {
    for (const char* fetched : {"TCP_MISS", "TCP_CLIENT_REFRESH_MISS", "TCP_REFRESH_MODIFIED",
                                "TCP_REFRESH_UNMODIFIED", "TCP_SWAPFAIL_MISS"}) {
        if (resultCode == fetched) return true;
    }
    return false;
}

namespace {
const char kInternetSettings[] =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

int RunReg(const std::vector<std::string>& args) { return RunProcess(WineCommand(args, "reg"), 30000); }

void WriteRegFile(const std::string& path, const std::string& values) {
    WriteFile(path, std::string("REGEDIT4\r\n\r\n[") + kInternetSettings + "]\r\n" + values);
}
}  // namespace

SystemProxySetting::SystemProxySetting(int proxyPort, const std::string& bypass) {
    saved = RunReg({"export", kInternetSettings, WinePath(dir / "saved.reg"), "/y"}) == 0;
    WriteRegFile(dir / "proxy.reg", "\"ProxyEnable\"=dword:00000001\r\n"
                                    "\"ProxyServer\"=\"127.0.0.1:" + std::to_string(proxyPort) + "\"\r\n"
                                    "\"ProxyOverride\"=\"" + bypass + "\"\r\n");
    applied = RunReg({"import", WinePath(dir / "proxy.reg")}) == 0;
}

SystemProxySetting::~SystemProxySetting() {
    WriteRegFile(dir / "unset.reg", "\"ProxyEnable\"=-\r\n\"ProxyServer\"=-\r\n\"ProxyOverride\"=-\r\n");
    RunReg({"import", WinePath(dir / "unset.reg")});
    if (saved) RunReg({"import", WinePath(dir / "saved.reg")});
}

static int RunRootCertificateHelper(const std::string& action, const std::string& der) {
    return RunProcess(WineCommand({action, WinePath(der)}, WinBuildDir() + "/root_certificate.exe"), 30000);
}

TrustedRootCertificate::TrustedRootCertificate(const std::string& derPath) : der(derPath) {
    // Once, in a fresh prefix under load, the next process did not find the CA the helper had
    // just added (12045): a new process must see it before a test relies on it.
    for (int attempt = 0; attempt < 3 && !added; ++attempt)
        added = RunRootCertificateHelper("add", der) == 0 && RunRootCertificateHelper("check", der) == 0;
}

TrustedRootCertificate::~TrustedRootCertificate() { Remove(); }

int TrustedRootCertificate::Remove() {
    if (!added) return 3;
    added = false;
    return RunRootCertificateHelper("remove", der);
}
