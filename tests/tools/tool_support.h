// Test support for quillor-publish: temp folders, running the tool, a raw HTTP client.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include <openssl/evp.h>

#include "../loopback_port.h"

// A fresh folder under /tmp, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct CommandResult {
    int exitCode = -1;  // -1: did not end within the time-out (then killed)
    std::string out;
    std::string err;
};

// Runs argv[0] with its arguments in a process group of its own, waiting at most timeoutSeconds
// (then the group is killed).
CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds = 120);

// Runs quillor-publish with args.
CommandResult RunTool(const std::vector<std::string>& args, int timeoutSeconds = 120);

// A key pair k.pem/k.pub.pem and an empty release rel/data in dir, which nginx's workers can
// read; the start of every simulated site. False when keygen fails.
bool PrepareSiteFolder(const TempDir& dir);

// Runs quillor-publish under strace, following every thread and child: calls is the list traced
// ("rename,renameat2"), each of injections one "-e inject=" value ("rename:signal=KILL:when=3",
// "renameat2:error=EINVAL"). The trace goes to logPath, or nowhere when that is empty.
CommandResult RunToolTraced(const std::string& calls, const std::vector<std::string>& injections,
                            const std::vector<std::string>& args, const std::string& logPath = "",
                            int timeoutSeconds = 60);

// Which occurrence (1, 2, ...) of call in one process of a trace that RunToolTraced wrote is the
// first whose line holds needle; 0 when none does.
int OccurrenceIn(const std::string& logPath, const std::string& call, const std::string& needle);

// A process started in the background with stdout and stderr going to logPath.
struct BackgroundProcess {
    pid_t pid = -1;
    std::string logPath;
};
// stderr goes to errPath instead when that is not empty.
BackgroundProcess StartBackground(const std::vector<std::string>& argv, const std::string& logPath,
                                  const std::string& errPath = "");

// Waits at most timeoutSeconds for the process to end by itself; its exit code, or -1 when it did
// not (then it is killed).
int WaitBackground(BackgroundProcess& process, int timeoutSeconds);

// Sends SIGTERM and waits at most timeoutSeconds (then SIGKILL); returns the exit code, or -1
// when the process did not end by itself.
int StopBackground(BackgroundProcess& process, int timeoutSeconds = 10);

// Waits (bounded) until the file at path contains needle; returns its whole text then, or "".
std::string WaitForText(const std::string& path, const std::string& needle, int timeoutSeconds = 10);

struct HttpReply {
    int status = 0;  // 0: no answer
    std::string body;
    std::string headers;  // the status line and the header lines as received, each ending in CR LF
};

// One request over a raw socket to 127.0.0.1:port, target sent byte for byte as given; headers
// ("Name: value\r\n" lines) are added to the request. It comes from the loopback address from
// (any of 127.0.0.0/8, bound before connecting) when that is not empty.
// With maxBytes, the socket is reset once that much of the answer came, as a player that dies does.
HttpReply RawHttp(int port, const std::string& method, const std::string& target, int timeoutSeconds = 10,
                  const std::string& headers = "", const std::string& from = "", size_t maxBytes = SIZE_MAX);

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

// Generates an RSA key with openssl: bits and exponent as given; also writes path + ".pub.pem".
void MakeOpensslKey(const std::string& path, int bits, int exponent = 65537);

// Sets every file below dir to a modification time an hour ago, as a build leaves its output
// some time before it is published (files younger than a second are never trusted unread).
void AgeTree(const std::string& dir);

// Changes the first byte of path and puts its modification time back, as a tool that keeps times would.
void AlterKeepingTimes(const std::string& path);

// The names in the folder dir, sorted ("." and ".." left out; none when it cannot be read).
std::vector<std::string> Names(const std::string& dir);

// The inode number of path (0 when it cannot be read).
unsigned long InodeOf(const std::string& path);

// Waits (bounded) until the process pid has ended (gone, or a zombie nobody reaped yet).
bool ProcessEnded(pid_t pid, int timeoutSeconds = 5);
// The process ID written as text into the file at path (0 when there is none).
pid_t PidInFile(const std::string& path);

// nginx (origin, the shipped site) or varnishd (edge, the shipped VCL) on a free loopback port;
// stopped by PID at the end of its scope at the latest.
struct WebServer {
    WebServer() = default;
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;
    BackgroundProcess process;
    std::vector<pid_t> children;  // varnishd's worker process, stopped with it
    int port = 0;
    int plainPort = 0;  // a TLS origin's plain-http redirect port, 0 without one
};

// With openssl, in dir: a CA of its own, made new on each call and trusted nowhere
// (NAME-ca.pem, and NAME-ca.der for a Windows root store), and a server certificate it signed
// for altName, e.g. "DNS:localhost" (NAME.pem, NAME.key). False when openssl fails.
bool MakeTestCertificates(const std::string& dir, const std::string& name, const std::string& altName);

// An origin served over TLS with dir/NAME.pem and dir/NAME.key. With redirectStatus, a
// plain-http server on WebServer::plainPort answers every request with that status and
// "Location: https://localhost:PORT$request_uri"; its access log is dir/nginx/plain.log.
struct OriginTls {
    std::string name;
    int redirectStatus = 0;
};

// "quillor-publish site" for root, listening on 127.0.0.1:port, with extra arguments ("--edge",
// "127.0.0.1"); "" (and a test failure) when it refuses.
std::string NginxSite(const std::string& root, int port, const std::vector<std::string>& extra = {});
// A minimal main configuration around site, its files and the access log ("STATUS BYTES URI" per
// line, BYTES the body bytes sent) in dir + "/nginx"; the log format quillor_user puts the user
// name in front.
std::string NginxMainConfig(const std::string& dir, const std::string& site);
// nginx -t of dir + "/nginx/nginx.conf".
CommandResult NginxTest(const std::string& dir);
// The site of "quillor-publish site" for root on port, trusting an edge on 127.0.0.1, with each
// (from, to) of edits applied, in NginxMainConfig; "" when a replaced text is missing.
std::string NginxConfig(const std::string& dir, const std::string& root, int port,
                        const std::vector<std::pair<std::string, std::string>>& edits = {},
                        const OriginTls* tls = nullptr, int plainPort = 0);
std::string OriginAccessLog(const std::string& dir);
// How often line stands whole in the access log (or another log in dir + "/nginx"), read again
// (bounded) until it is expected: nginx logs a request just after answering it.
int OriginLines(const std::string& dir, const std::string& line, int expected,
                const std::string& log = "access.log");

// Start and wait (bounded) until the server answers; false when it did not come up.
bool StartOrigin(const std::string& dir, const std::string& root, WebServer& server,
                 const std::vector<std::pair<std::string, std::string>>& edits = {},
                 const OriginTls* tls = nullptr);
bool StartEdge(const std::string& dir, int originPort, WebServer& server);
// Stops the server and its children by PID, bounded.
void StopWebServer(WebServer& server);

// A fault a player plants in its next run (then it is cleared): it dies after the signature; it
// dies after the first bytes of its first file; it finds its last file's digest wrong.
enum class SimFault { kNone, kStopAfterSignature, kCutFirstBody, kRefuseLastFile };

// A player of the staged-release simulation: its own loopback address, and the serial and file
// digests it has installed.
struct SimPlayer {
    std::string address;
    uint64_t serial = 0;
    std::map<std::string, std::string> installed;  // path -> SHA-256
    SimFault fault = SimFault::kNone;
};

// What one run of a player saw, checked as the updater checks.
struct SimRun {
    uint64_t served = 0;     // serial of the manifest it got (0: none)
    bool decrease = false;   // served below the installed serial: refused
    bool refused = false;    // no answer, a bad signature, or a body unlike this run's manifest
    uint64_t bodyBytes = 0;  // every body it received
    int files = 0;           // files it asked for
    bool afterSignature = false;  // it stopped with the signature (refused, or a planted fault)
    std::string stoppedAt;   // the request path where it stopped, "" when it did not
};

// One updater run from player.address against 127.0.0.1:port: manifest and signature (checked
// with key), then each file whose digest differs from the installed one, checked by size and
// SHA-256 against this run's manifest and installed at once; the new serial counts only when all
// passed.
SimRun RunSimPlayer(SimPlayer& player, int port, EVP_PKEY* key);

// Runs every player once, at most workers at a time; the runs in player order.
std::vector<SimRun> RunSimRound(std::vector<SimPlayer>& players, int port, EVP_PKEY* key, int workers = 16);
