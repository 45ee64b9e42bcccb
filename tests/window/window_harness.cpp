// Xvfb, xdotool, screenshots and the window probe for the window tests.
#include "window_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "e2e_support.h"

extern char** environ;

namespace {

bool PathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// PIDs of processes whose environment names this display and this build tree's Wine prefix.
std::vector<pid_t> WineProcessesOn(int display) {
    const std::string wantDisplay = "DISPLAY=:" + std::to_string(display);
    const std::string wantPrefix = "WINEPREFIX=" + WinBuildDir() + "/wine";
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        if (pid <= 0) continue;
        std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
        std::string variable;
        bool onDisplay = false, inPrefix = false;
        while (std::getline(file, variable, '\0')) {
            onDisplay = onDisplay || variable == wantDisplay;
            inPrefix = inPrefix || variable == wantPrefix;
        }
        if (onDisplay && inPrefix) found.push_back(pid);
    }
    closedir(proc);
    return found;
}

}  // namespace

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool VirtualScreen::Start(int width, int height) {
    std::mt19937 random(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(NowMs()));
    const std::string size = std::to_string(width) + "x" + std::to_string(height) + "x24";
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int candidate = 90 + static_cast<int>(random() % 800);
        const std::string number = std::to_string(candidate);
        if (PathExists("/tmp/.X" + number + "-lock") || PathExists("/tmp/.X11-unix/X" + number)) {
            continue;
        }
        pid_ = StartProcess({"/usr/bin/Xvfb", ":" + number, "-screen", "0", size, "-nolisten",
                             "tcp"});
        const long long deadline = NowMs() + 10000;
        while (NowMs() < deadline && !PathExists("/tmp/.X11-unix/X" + number)) SleepMs(20);
        // Another server may have taken the number at the same moment: then ours has exited.
        int status = 0;
        const pid_t ended = pid_ > 0 ? waitpid(pid_, &status, WNOHANG) : -1;
        if (ended == 0 && PathExists("/tmp/.X11-unix/X" + number)) {
            display = candidate;
            setenv("DISPLAY", (":" + number).c_str(), 1);
            return true;
        }
        if (ended == pid_) pid_ = -1;  // already reaped
        Stop();
    }
    return false;
}

void VirtualScreen::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (WaitProcess(pid_, 5000) == -1) kill(pid_, SIGKILL);
    }
    pid_ = -1;
    if (display < 0) return;
    // Wine's desktop process belongs to one display; the next screen must get a fresh one.
    const long long deadline = NowMs() + 10000;
    while (NowMs() < deadline && !WineProcessesOn(display).empty()) SleepMs(50);
    for (pid_t left : WineProcessesOn(display)) kill(left, SIGKILL);
    display = -1;
}

std::string Capture(const std::vector<std::string>& argv, int timeoutMs) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "";
    std::vector<char*> raw;
    for (const std::string& arg : argv) raw.push_back(const_cast<char*>(arg.c_str()));
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string output;
    const long long deadline = NowMs() + timeoutMs;
    pollfd readable = {pipeFds[0], POLLIN, 0};
    while (pid > 0 && NowMs() < deadline) {
        if (poll(&readable, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got <= 0) break;
        output.append(buffer, static_cast<size_t>(got));
    }
    close(pipeFds[0]);
    const long long left = deadline - NowMs();
    if (WaitProcess(pid, static_cast<int>(left > 100 ? left : 100)) != 0) return "";
    return output;
}

bool Xdotool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, 10000) == 0;
}

std::string WaitForWindow(int timeoutMs) {
    const long long deadline = NowMs() + timeoutMs;
    do {
        std::istringstream ids(Capture({"/usr/bin/xdotool", "search", "--onlyvisible", "--name",
                                        "^Quillor - Updater$"},
                                       5000));
        std::string id;
        if (ids >> id) return id;
        SleepMs(20);
    } while (NowMs() < deadline);
    return "";
}

WindowBox XGeometry(const std::string& windowId) {
    std::istringstream lines(
        Capture({"/usr/bin/xdotool", "getwindowgeometry", "--shell", windowId}, 5000));
    WindowBox box;
    std::string line;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals);
        const int value = static_cast<int>(std::strtol(line.c_str() + equals + 1, nullptr, 10));
        if (key == "X") box.x = value;
        if (key == "Y") box.y = value;
        if (key == "WIDTH") box.width = value;
        if (key == "HEIGHT") box.height = value;
    }
    return box;
}

ProbedWindow ProbeWindow() {
    std::istringstream fields(
        Capture({WinBuildDir() + "/wine-run", WinBuildDir() + "/window_probe.exe"}, 20000));
    ProbedWindow probe;
    fields >> probe.left >> probe.top >> probe.width >> probe.height >> std::hex >> probe.style >>
        probe.exStyle >> probe.classStyle;
    probe.found = !fields.fail();
    return probe;
}

std::string GrabPixels(int x, int y, int width, int height) {
    const std::string crop = std::to_string(width) + "x" + std::to_string(height) + "+" +
                             std::to_string(x) + "+" + std::to_string(y);
    return Capture({"/usr/bin/import", "-silent", "-window", "root", "-crop", crop, "-depth", "8",
                    "rgb:-"},
                   10000);
}

// The probe's output, fields of an object line separated by tabs (an empty value and action here):
//   window 478 303 964 474
//   4  43  push button  Beenden    100000  focusable  1282 322 108 24  Drücken
//   read in 62 ms
//   pressed 00000000
AccessibleReading ReadAccessible(const std::vector<std::string>& options, int timeoutMs) {
    std::vector<std::string> argv = {WinBuildDir() + "/wine-run",
                                     WinBuildDir() + "/accessible_probe.exe"};
    argv.insert(argv.end(), options.begin(), options.end());
    std::istringstream lines(Capture(argv, timeoutMs));
    AccessibleReading reading;
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "window") {
            WindowBox& w = reading.window;
            words >> w.x >> w.y >> w.width >> w.height;
            reading.found = !words.fail();
            continue;
        }
        if (first == "pressed") {
            words >> reading.pressed;
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream columns(line);
        std::string field;
        while (std::getline(columns, field, '\t')) fields.push_back(field);
        if (fields.size() < 8) continue;  // an empty last field (no action) leaves eight
        AccessiblePart part;
        part.id = std::atoi(fields[0].c_str());
        part.role = std::strtol(fields[1].c_str(), nullptr, 10);
        part.roleText = fields[2];
        part.name = fields[3];
        part.value = fields[4];
        part.state = std::strtoul(fields[5].c_str(), nullptr, 16);
        part.stateTexts = fields[6];
        std::istringstream place(fields[7]);
        place >> part.place.x >> part.place.y >> part.place.width >> part.place.height;
        part.action = fields.size() > 8 ? fields[8] : "";
        reading.parts.push_back(part);
    }
    return reading;
}

std::string SpokenLine(const AccessiblePart& part) {
    std::string line = part.roleText + " \"" + part.name + "\"";
    if (!part.value.empty() && part.value != part.name) line += " " + part.value;
    if (!part.stateTexts.empty()) line += " (" + part.stateTexts + ")";
    if (!part.action.empty()) line += ", action " + part.action;
    return line;
}
