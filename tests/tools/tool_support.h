// Test support for quillor-publish: temp folders, running the tool, a raw HTTP client.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

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

// Runs argv[0] with its arguments, waiting at most timeoutSeconds.
CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds = 120);

// Runs quillor-publish with args.
CommandResult RunTool(const std::vector<std::string>& args, int timeoutSeconds = 120);

// A process started in the background with stdout and stderr going to logPath.
struct BackgroundProcess {
    pid_t pid = -1;
    std::string logPath;
};
BackgroundProcess StartBackground(const std::vector<std::string>& argv, const std::string& logPath);

// Sends SIGTERM and waits at most timeoutSeconds (then SIGKILL); returns the exit code, or -1
// when the process did not end by itself.
int StopBackground(BackgroundProcess& process, int timeoutSeconds = 10);

// Waits (bounded) until the file at path contains needle; returns its whole text then, or "".
std::string WaitForText(const std::string& path, const std::string& needle, int timeoutSeconds = 10);

struct HttpReply {
    int status = 0;  // 0: no answer
    std::string body;
};

// One request over a raw socket to 127.0.0.1:port, target sent byte for byte as given.
HttpReply RawHttp(int port, const std::string& method, const std::string& target, int timeoutSeconds = 10);

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

// Generates an RSA key with openssl: bits and exponent as given; also writes path + ".pub.pem".
void MakeOpensslKey(const std::string& path, int bits, int exponent = 65537);

// Sets every file below dir to a modification time an hour ago, as a build leaves its output
// some time before it is published (files younger than a second are never trusted unread).
void AgeTree(const std::string& dir);

// The inode number of path (0 when it cannot be read).
unsigned long InodeOf(const std::string& path);

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

// The shipped nginx site with root and port replaced and each (from, to) of edits applied, in
// a minimal main configuration; its files and the access log ("STATUS BYTES URI" per line,
// BYTES the body bytes sent) go to dir + "/nginx". "" when a replaced text is missing.
std::string NginxConfig(const std::string& dir, const std::string& root, int port,
                        const std::vector<std::pair<std::string, std::string>>& edits = {},
                        const OriginTls* tls = nullptr, int plainPort = 0);
std::string OriginAccessLog(const std::string& dir);
// How often line stands whole in the access log, read again (bounded) until it is expected:
// nginx logs a request just after answering it.
int OriginLines(const std::string& dir, const std::string& line, int expected);

// Start and wait (bounded) until the server answers; false when it did not come up.
bool StartOrigin(const std::string& dir, const std::string& root, WebServer& server,
                 const std::vector<std::pair<std::string, std::string>>& edits = {},
                 const OriginTls* tls = nullptr);
bool StartEdge(const std::string& dir, int originPort, WebServer& server);
// Stops the server and its children by PID, bounded.
void StopWebServer(WebServer& server);
