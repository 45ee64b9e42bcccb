// Test support for quillor-publish: temp folders, running the tool, a raw HTTP client.
#include "tool_support.h"

#include "fs_util.h"
#include "update/decimal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TempDir::TempDir() {
    char pattern[] = "/tmp/quillor-publish-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    std::string ignored;
    if (!path_.empty()) RemoveTree(path_, ignored);
}

static pid_t Spawn(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        int err = errPath == outPath ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Waits for pid at most timeoutSeconds; -1 when it is still running.
static int WaitBounded(pid_t pid, int timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0 || std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds) {
    TempDir logs;
    CommandResult result;
    pid_t pid = Spawn(argv, logs / "out", logs / "err");
    result.exitCode = WaitBounded(pid, timeoutSeconds);
    if (result.exitCode == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    result.out = ReadFileText(logs / "out");
    result.err = ReadFileText(logs / "err");
    return result;
}

CommandResult RunTool(const std::vector<std::string>& args, int timeoutSeconds) {
    std::vector<std::string> argv = {QUILLOR_PUBLISH_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, timeoutSeconds);
}

BackgroundProcess StartBackground(const std::vector<std::string>& argv, const std::string& logPath) {
    BackgroundProcess process;
    process.logPath = logPath;
    process.pid = Spawn(argv, logPath, logPath);
    return process;
}

int StopBackground(BackgroundProcess& process, int timeoutSeconds) {
    if (process.pid <= 0) return -1;
    kill(process.pid, SIGTERM);
    int code = WaitBounded(process.pid, timeoutSeconds);
    if (code == -1) {
        kill(process.pid, SIGKILL);
        waitpid(process.pid, nullptr, 0);
    }
    process.pid = -1;
    return code;
}

std::string WaitForText(const std::string& path, const std::string& needle, int timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = ReadFileText(path);
        if (text.find(needle) != std::string::npos) return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::string();
}

HttpReply RawHttp(int port, const std::string& method, const std::string& target, int timeoutSeconds) {
    HttpReply reply;
    UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval timeout{timeoutSeconds, 0};
    setsockopt(sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(sock.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return reply;
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "User-Agent: Quillor-Updater/1.0\r\nConnection: close\r\n\r\n";
    if (!WriteAll(sock.Get(), request.data(), request.size())) return reply;
    std::string raw;
    char buffer[65536];
    for (ssize_t got; (got = recv(sock.Get(), buffer, sizeof buffer, 0)) > 0;) raw.append(buffer, got);
    size_t headerEnd = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || headerEnd == std::string::npos) return reply;
    reply.status = static_cast<int>(ParseDecimal(raw.c_str() + 9, 3));
    reply.body = raw.substr(headerEnd + 4);
    return reply;
}

int FreeLoopbackPort() {
    UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(sock.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(sock.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void MakeOpensslKey(const std::string& path, int bits, int exponent) {
    CommandResult made = RunCommand({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                                     "rsa_keygen_bits:" + std::to_string(bits), "-pkeyopt",
                                     "rsa_keygen_pubexp:" + std::to_string(exponent), "-out", path});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    CommandResult pub = RunCommand({"openssl", "pkey", "-in", path, "-pubout", "-out", path + ".pub.pem"});
    ASSERT_EQ(pub.exitCode, 0) << pub.err;
}

void AgeTree(const std::string& dir) {
    CommandResult aged = RunCommand({"find", dir, "-type", "f", "-exec", "touch", "-d", "1 hour ago", "{}", "+"});
    ASSERT_EQ(aged.exitCode, 0) << aged.err;
}

unsigned long InodeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<unsigned long>(st.st_ino) : 0;
}
