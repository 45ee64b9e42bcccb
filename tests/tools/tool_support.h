// Test support for quillor-publish: temp folders, running the tool, a raw HTTP client.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

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

// A free loopback TCP port, found by binding to port 0.
int FreeLoopbackPort();

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

// Generates an RSA key with openssl: bits and exponent as given; also writes path + ".pub.pem".
void MakeOpensslKey(const std::string& path, int bits, int exponent = 65537);

// Sets every file below dir to a modification time an hour ago, as a build leaves its output
// some time before it is published (files younger than a second are never trusted unread).
void AgeTree(const std::string& dir);

// The inode number of path (0 when it cannot be read).
unsigned long InodeOf(const std::string& path);
