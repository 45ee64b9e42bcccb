// What the end-to-end tests need around the updater: child processes with bounded waits, scratch
// trees, publishing with quillor-publish, running the exe under Wine and reading its log, and a
// squid forward proxy set as the Wine prefix's system proxy.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../loopback_port.h"

// Starts argv[0] (a path, or a name looked up in PATH) with these arguments (stdout and stderr
// to /dev/null); -1 when it cannot.
pid_t StartProcess(const std::vector<std::string>& argv);
// Waits at most timeoutMs for pid; on time-out the process is killed by its PID and -1 returned.
int WaitProcess(pid_t pid, int timeoutMs);
// Start and wait; the exit code, or -1.
int RunProcess(const std::vector<std::string>& argv, int timeoutMs);

// A fresh directory under /tmp, removed with its contents by the destructor.
struct ScratchTree {
    ScratchTree();
    ~ScratchTree();
    ScratchTree(const ScratchTree&) = delete;
    ScratchTree& operator=(const ScratchTree&) = delete;
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// size bytes that do not compress and repeat no block, the same for the same seed.
std::string RandomBytes(size_t size, uint32_t seed);
// Writes bytes to path, creating its parent directories.
void WriteFile(const std::string& path, const std::string& bytes);
// Whole file, or "<missing>".
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Relative paths of every file below dir whose name ends in suffix.
std::vector<std::string> FilesEndingIn(const std::string& dir, const std::string& suffix);

// A Linux path as Wine sees it: "Z:" and backslashes.
std::string WinePath(const std::string& path);

// Paths of the build trees, taken from the build's compile definitions.
std::string WinBuildDir();
std::string UpdaterExe();
std::string FakeGameExe();
// The test-only updater that trusts DevKey("quillor-rotated") and has the base path /rotated.
std::string RotatedUpdaterExe();
// The previous release's exe (cmake/previous-exe.sh), with this tree's key; "" when this clone
// lacks that release's commit and so it was not built.
std::string PreviousUpdaterExe();
// The updater built without its DLL rule (ordinary imports, no search restriction), and the DLL
// that leaves NAME.loaded beside itself and ends the process with kPlantedExitCode when loaded.
std::string UpdaterWithoutDllRuleExe();
std::string PlantedDll();
constexpr int kPlantedExitCode = 77;
// A development private key of the Windows build tree: "quillor-dev" or "quillor-rotated".
std::string DevKey(const std::string& name);

// quillor-publish publish --key KEY --serial N [--force] [extra] releaseDir serverDir; true on
// exit code 0. force lets a lower serial replace a published one (to stage a rollback).
bool Publish(const std::string& releaseDir, const std::string& serverDir, uint64_t serial,
             bool force = false, const std::string& key = DevKey("quillor-dev"),
             const std::vector<std::string>& extra = {});

// One manifest line of a published tree.
struct PublishedEntry {
    std::string sha256;
    uint64_t size = 0;
    std::string path;
};
// The file lines of serverDir/manifest.txt in their order.
std::vector<PublishedEntry> PublishedEntries(const std::string& serverDir);

// Runs the updater exe under Wine with these arguments; the exit code, or -1 on time-out.
int RunUpdater(const std::vector<std::string>& args, const std::string& exe = UpdaterExe(),
               int timeoutMs = 60000);
// Sets (or, given nullptr, removes) a variable of this process, which the Wine runs inherit, for
// the life of the object. wine-run adds a WINEDLLOVERRIDES set here to its own.
struct ScopedEnvironment {
    ScopedEnvironment(const char* name, const char* value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    std::string name, saved;
    bool wasSet = false;
};
// The same with Wine's trace of the file calls (WINEDEBUG=trace+file, or the channels given) written
// to tracePath, to see the very paths the calls were given.
int RunUpdaterTracingFiles(const std::vector<std::string>& args, const std::string& exe,
                           const std::string& tracePath, const char* channels = "trace+file");
// Starts it without waiting (for the interruption test).
pid_t StartUpdater(const std::vector<std::string>& args, const std::string& exe = UpdaterExe());

// The sleeper helper holding path as a virus scanner does (read sharing only: no rename, no delete
// meanwhile) from the constructor until Release() or the end of the scope; stopped by its PID.
struct FileHold {
    explicit FileHold(const std::string& path);  // held is true once the helper holds the file
    ~FileHold();
    FileHold(const FileHold&) = delete;
    FileHold& operator=(const FileHold&) = delete;
    void Release();
    ScratchTree signals;
    pid_t pid = -1;
    bool held = false;
};

// The log's lines without their "DD.MM.YYYY hh:mm:ss  " stamps; a line with a malformed stamp
// is kept whole behind "BAD STAMP: ".
std::vector<std::string> LogLines(const std::string& installDir);

// Starts a persistent wineserver for the build tree's prefix (it ends by itself soon after the
// last run).
void StartWineServer();

// A squid forward proxy on 127.0.0.1 and a free port: own configuration, memory cache and access
// log in a scratch tree, no daemon; stopped by its PID. port is 0 when it did not come up.
struct ForwardProxy {
    ForwardProxy();
    ~ForwardProxy();
    ForwardProxy(const ForwardProxy&) = delete;
    ForwardProxy& operator=(const ForwardProxy&) = delete;
    std::string AccessLog() const;
    // The result codes squid logged for url ("TCP_MISS", "TCP_MEM_HIT", ...) in their order,
    // read again (bounded) until there are at least expected: squid logs after answering.
    std::vector<std::string> ResultCodes(const std::string& url, size_t expected) const;
    ScratchTree dir;
    int port = 0;
    pid_t pid = -1;
};

// Whether squid fetched the answer from the origin (a miss, or a revalidation the origin
// answered) rather than handing out what its cache held.
bool WentToOrigin(const std::string& resultCode);

// Makes 127.0.0.1:proxyPort the system proxy of the build tree's Wine prefix (HKCU Internet
// Settings) for every host but those in bypass ("a;b"), and puts the previous values back when it
// ends. applied is false when the registry could not be changed.
struct SystemProxySetting {
    SystemProxySetting(int proxyPort, const std::string& bypass);
    ~SystemProxySetting();
    SystemProxySetting(const SystemProxySetting&) = delete;
    SystemProxySetting& operator=(const SystemProxySetting&) = delete;
    ScratchTree dir;
    bool saved = false;
    bool applied = false;
};

// Adds a DER certificate to the Root store of the build tree's Wine prefix, so this prefix alone
// trusts the CA, and removes it again at the end of the scope. added is false when it could not.
struct TrustedRootCertificate {
    explicit TrustedRootCertificate(const std::string& derPath);
    ~TrustedRootCertificate();
    TrustedRootCertificate(const TrustedRootCertificate&) = delete;
    TrustedRootCertificate& operator=(const TrustedRootCertificate&) = delete;
    // The helper's exit code: 0 removed, 3 not there; later calls do nothing and return 3.
    int Remove();
    std::string der;
    bool added = false;
};
