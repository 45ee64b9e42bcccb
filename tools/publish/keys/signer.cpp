// Signing through an outside command (a hardware token, a key service) and reading passphrases.
#include "keys/signer.h"

#include "core/fs_util.h"
#include "keys/crypto.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <dirent.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kOutputLimit = 64u << 10;

// The signer's standard input and output as seen from here, and what became of it.
struct SignerIo {
    int toChild = -1;
    int fromChild = -1;
    size_t sent = 0;
    bool exited = false;  // a zombie now, not reaped yet, so its group ID cannot be reused
    siginfo_t exit{};
};

enum class Outcome { Ended, TimedOut, Failed };

// stdin when it is our controlling terminal and we hold it, else -1: only then is there a
// terminal to lend the signer (for a PIN prompt, and so that Ctrl+C reaches it).
int OwnTerminal() {
    return isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp() ? STDIN_FILENO : -1;
}

// A group that is not in the foreground gets SIGTTOU from tcsetpgrp; blocked, the call just works.
void GiveTerminal(int terminal, pid_t group) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    tcsetpgrp(terminal, group);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Writes what the pipe takes of the message; a signer that stopped reading gets no more, and
// its exit status tells whether that was wrong.
void Feed(SignerIo& io, const std::vector<uint8_t>& message, short revents) {
    ssize_t done = 0;
    if (revents & POLLOUT) done = write(io.toChild, message.data() + io.sent, message.size() - io.sent);
    if (done > 0) io.sent += static_cast<size_t>(done);
    if (!(revents & POLLOUT) || (done < 0 && errno != EAGAIN && errno != EINTR)) io.sent = message.size();
    if (io.sent == message.size()) CloseFd(io.toChild);
}

// Takes what the pipe holds now (it is non-blocking); the output has ended at end of file. False
// when it grows past its limit.
bool Collect(SignerIo& io, std::vector<uint8_t>& output, std::string& error) {
    char buffer[4096];
    for (;;) {
        ssize_t got = read(io.fromChild, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return true;
        if (got <= 0) {
            CloseFd(io.fromChild);
            return true;
        }
        output.insert(output.end(), buffer, buffer + got);
        if (output.size() > kOutputLimit) {
            error = "the sign command wrote more than 64 KiB; a signature is 256 bytes";
            return false;
        }
    }
}

// Feeds the message, collects the output and watches for the exit in one poll loop, so that no
// stage of the signer (reading, answering, exiting) can hold us past the deadline. Ended: it has
// exited and its output has ended, or it exited 0 having written a whole signature while a
// stray child still holds the pipe, or it failed (nothing more to wait for).
Outcome Exchange(pid_t pid, const std::vector<uint8_t>& message, Clock::time_point deadline, SignerIo& io,
                 std::vector<uint8_t>& output, std::string& error) {
    // Without pidfd_open (kernels before 5.3) the exit is looked for every 50 ms instead.
    int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    Outcome outcome = Outcome::TimedOut;
    for (;;) {
        if (!io.exited) {
            io.exit.si_pid = 0;
            io.exited = waitid(P_PID, static_cast<id_t>(pid), &io.exit, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                        io.exit.si_pid == pid;
        }
        // All the command wrote before it exited is in the pipe by now; a stray child's later
        // bytes are not waited for.
        if (io.exited && io.fromChild >= 0 && !Collect(io, output, error)) {
            outcome = Outcome::Failed;
            break;
        }
        bool cleanExit = io.exited && io.exit.si_code == CLD_EXITED && io.exit.si_status == 0;
        if (io.exited && (io.fromChild < 0 || !cleanExit || output.size() >= kSignatureSize)) {
            outcome = Outcome::Ended;
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd fds[3];
        nfds_t count = 0;
        if (io.fromChild >= 0) fds[count++] = {io.fromChild, POLLIN, 0};
        if (io.toChild >= 0) fds[count++] = {io.toChild, POLLOUT, 0};
        if (pidFd >= 0 && !io.exited) fds[count++] = {pidFd, POLLIN, 0};
        if (pidFd < 0 && !io.exited && left > 50) left = 50;
        int ready = poll(fds, count, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            error = ErrnoText("poll");
            outcome = Outcome::Failed;
            break;
        }
        for (nfds_t i = 0; ready > 0 && i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == io.toChild) Feed(io, message, fds[i].revents);
            if (fds[i].fd == io.fromChild && !Collect(io, output, error)) outcome = Outcome::Failed;
        }
        if (outcome == Outcome::Failed) break;
    }
    if (pidFd >= 0) close(pidFd);
    return outcome;
}

// Starts command in a process group of its own (the foreground group while it runs, when we hold
// the terminal), its standard input and output on the two pipes; -1 with errno on failure.
pid_t StartSigner(const std::string& command, int terminal, int input[2], int output[2]) {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (terminal >= 0) GiveTerminal(terminal, getpid());
        signal(SIGPIPE, SIG_DFL);
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid > 0) {
        // Both sides set the group, so neither the kill nor the terminal can go to the wrong one.
        setpgid(pid, pid);
        if (terminal >= 0) GiveTerminal(terminal, pid);
    }
    return pid;
}

// The children of this process, zombies included, from /proc ("PID (NAME) STATE PPID ...").
std::vector<pid_t> OwnChildren() {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return children;
    const pid_t self = getpid();
    while (struct dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        std::vector<uint8_t> stat;
        std::string ignored;
        if (!ReadWholeFile(std::string("/proc/") + entry->d_name + "/stat", 4096, stat, ignored)) continue;
        std::string text(stat.begin(), stat.end());
        size_t close = text.rfind(')');
        long parent = 0;
        if (close != std::string::npos && std::sscanf(text.c_str() + close + 1, " %*c %ld", &parent) == 1 &&
            parent == self)
            children.push_back(static_cast<pid_t>(std::atol(entry->d_name)));
    }
    closedir(proc);
    return children;
}

// The publisher is the subreaper of what the sign command starts, so whatever left its group (setsid,
// a double fork) comes to us when its parent ends: killed and reaped here, round by round, until no
// child is left. Nothing then holds our output or outlives the publish.
void KillWhatTheSignerLeft() {
    for (int round = 0; round < 1000; ++round) {
        std::vector<pid_t> children = OwnChildren();
        if (children.empty()) return;
        for (pid_t child : children) kill(child, SIGKILL);
        for (pid_t child : children)
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
    }
}

}  // namespace

bool RunSignCommand(const std::string& command, const std::vector<uint8_t>& message, int timeoutSeconds,
                    std::vector<uint8_t>& signature, std::string& error) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        error = ErrnoText("pipe");
        return false;
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        error = ErrnoText("pipe");
        close(input[0]);
        close(input[1]);
        return false;
    }
    signal(SIGPIPE, SIG_IGN);  // a signer that exits early must not kill the publisher
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    int terminal = OwnTerminal();
    termios settings{};
    bool restoreSettings = terminal >= 0 && tcgetattr(terminal, &settings) == 0;
    pid_t pid = StartSigner(command, terminal, input, output);
    int startErrno = errno;
    close(input[0]);
    close(output[1]);
    SignerIo io;
    io.toChild = input[1];
    io.fromChild = output[0];
    if (pid < 0) {
        errno = startErrno;
        error = ErrnoText("fork");
        CloseFd(io.toChild);
        CloseFd(io.fromChild);
        return false;
    }
    fcntl(io.toChild, F_SETFL, O_NONBLOCK);
    fcntl(io.fromChild, F_SETFL, O_NONBLOCK);
    signature.clear();
    Outcome outcome = Exchange(pid, message, deadline, io, signature, error);
    bool outputEnded = io.fromChild < 0;
    CloseFd(io.toChild);
    CloseFd(io.fromChild);
    // Nothing the command started outlives it: a stray that kept the pipe, or a signer that hangs.
    kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    KillWhatTheSignerLeft();
    if (terminal >= 0) GiveTerminal(terminal, getpgrp());
    // A signer stopped while it asked for a PIN would leave the terminal without echo.
    if (restoreSettings) tcsetattr(terminal, TCSADRAIN, &settings);
    if (outcome == Outcome::Failed) return false;
    if (outcome == Outcome::TimedOut) {
        // Its output ended with a whole signature: that has arrived; the check with the public key decides.
        if (outputEnded && signature.size() == kSignatureSize) {
            std::fprintf(stderr, "warning: the sign command closed its output but did not exit within %d s; "
                                 "stopped it, its signature is checked as usual\n", timeoutSeconds);
            return true;
        }
        error = "the sign command took longer than " + std::to_string(timeoutSeconds) + " s";
        return false;
    }
    if (io.exit.si_code != CLD_EXITED) {
        error = "the sign command was killed by signal " + std::to_string(io.exit.si_status);
        return false;
    }
    if (io.exit.si_status != 0) {
        error = "the sign command failed (exit status " + std::to_string(io.exit.si_status) + ")";
        return false;
    }
    return true;
}

bool ReadPassphraseFile(const std::string& path, std::string& passphrase, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, 4096, bytes, error)) return false;
    passphrase.assign(bytes.begin(), bytes.end());
    passphrase = passphrase.substr(0, passphrase.find('\n'));
    if (!passphrase.empty() && passphrase.back() == '\r') passphrase.pop_back();
    if (passphrase.empty()) {
        error = path + ": holds no passphrase on its first line";
        return false;
    }
    return true;
}

bool ReadPassphraseEnv(const std::string& name, std::string& passphrase, std::string& error) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0') {
        error = "the environment variable " + name + " is not set or empty";
        return false;
    }
    passphrase = value;
    return true;
}
