// A progress line on the terminal (files, bytes, rate, time left), and progress events with --json.
#include "core/progress.h"

#include "core/output.h"

#include <chrono>
#include <cstdio>
#include <unistd.h>

ProgressMeter::ProgressMeter(const std::string& label, uint64_t totalFiles, uint64_t totalBytes)
    : label_(label), totalFiles_(totalFiles), totalBytes_(totalBytes) {
    terminal_ = isatty(STDERR_FILENO) != 0;
    if (!terminal_ && !JsonOutput()) return;
    ticker_ = std::thread([this]() {
        auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> hold(lock_);
        auto seconds = [start]() {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        while (!wake_.wait_for(hold, std::chrono::milliseconds(250), [this]() { return stop_; })) Draw(seconds());
        // The last event says where the phase ended, however short it was.
        EmitProgress(PhaseName(), files.load(), totalFiles_, bytes.load(), totalBytes_, seconds());
    });
}

// With --json the events name what the phase does rather than the command drawing the line.
std::string ProgressMeter::PhaseName() const {
    return label_ == "publish" ? "copy" : label_ == "verify" ? "check" : label_ == "diff" ? "hash" : label_;
}

ProgressMeter::~ProgressMeter() {
    if (!ticker_.joinable()) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    ticker_.join();
    if (!terminal_) return;
    std::fputs("\r\033[K", stderr);  // the summary line that follows starts on a clean line
    std::fflush(stderr);
}

void ProgressMeter::Draw(double seconds) {
    EmitProgress(PhaseName(), files.load(), totalFiles_, bytes.load(), totalBytes_, seconds);
    if (!terminal_) return;
    const double mib = 1024.0 * 1024.0;
    double done = static_cast<double>(bytes.load());
    double rate = seconds > 0 ? done / seconds : 0;
    char left[32] = "?";
    if (rate > 0) std::snprintf(left, sizeof left, "%.0f s", (static_cast<double>(totalBytes_) - done) / rate);
    std::fprintf(stderr, "\r\033[K%s: %llu/%llu files, %.1f/%.1f MiB, %.1f MiB/s, %s left", label_.c_str(),
                 static_cast<unsigned long long>(files.load()), static_cast<unsigned long long>(totalFiles_),
                 done / mib, static_cast<double>(totalBytes_) / mib, rate / mib, left);
    std::fflush(stderr);
}
