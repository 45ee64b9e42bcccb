// Signing through an outside command (a hardware token, a key service) and reading passphrases.
#include "signer.h"

#include "fs_util.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Feeds the message and collects the output in one poll loop, so a signer that answers before it
// has read everything cannot block us, nor we it.
bool Exchange(int toChild, int fromChild, const std::vector<uint8_t>& message, int timeoutSeconds,
              std::vector<uint8_t>& output, std::string& error) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    size_t sent = 0;
    for (;;) {
        pollfd fds[2] = {{fromChild, POLLIN, 0}, {toChild, POLLOUT, 0}};
        nfds_t count = toChild >= 0 ? 2 : 1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = "the sign command took longer than " + std::to_string(timeoutSeconds) + " s";
            return false;
        }
        int ready = poll(fds, count, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            error = ErrnoText("poll");
            return false;
        }
        if (count == 2 && fds[1].revents != 0) {
            ssize_t done = 0;
            if (fds[1].revents & POLLOUT) done = write(toChild, message.data() + sent, message.size() - sent);
            if (done > 0) sent += static_cast<size_t>(done);
            bool stoppedReading = !(fds[1].revents & POLLOUT) || (done < 0 && errno != EAGAIN && errno != EINTR);
            if (stoppedReading) sent = message.size();  // its exit status tells whether that was wrong
            if (sent == message.size()) {
                close(toChild);
                toChild = -1;
            }
        }
        if (fds[0].revents != 0) {
            char buffer[4096];
            ssize_t got = read(fromChild, buffer, sizeof buffer);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) break;
            output.insert(output.end(), buffer, buffer + got);
            if (output.size() > (64u << 10)) {
                error = "the sign command wrote more than 64 KiB; a signature is 256 bytes";
                return false;
            }
        }
    }
    if (toChild >= 0) close(toChild);
    return true;
}

}  // namespace

bool RunSignCommand(const std::string& command, const std::vector<uint8_t>& message, int timeoutSeconds,
                    std::vector<uint8_t>& signature, std::string& error) {
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
    pid_t pid = fork();
    if (pid == 0) {
        // Its own group, so a time-out stops a whole pipeline; not on a terminal, where a token may
        // ask for its PIN and Ctrl+C must reach it.
        if (!isatty(STDIN_FILENO)) setpgid(0, 0);
        dup2(input[0], 0);
        dup2(output[1], 1);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    if (pid < 0) {
        error = ErrnoText("fork");
        close(input[1]);
        close(output[0]);
        return false;
    }
    fcntl(input[1], F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);  // a signer that exits early must not kill the publisher
    signature.clear();
    bool exchanged = Exchange(input[1], output[0], message, timeoutSeconds, signature, error);
    close(output[0]);
    if (!exchanged) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!exchanged) return false;
    if (WIFSIGNALED(status)) {
        error = "the sign command was killed by signal " + std::to_string(WTERMSIG(status));
        return false;
    }
    if (WEXITSTATUS(status) != 0) {
        error = "the sign command failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
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
