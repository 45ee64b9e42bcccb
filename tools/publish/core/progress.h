// A progress line on the terminal (files, bytes, rate, time left), and progress events with --json.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Redraws one line on stderr four times a second while it lives, and clears it at the end.
// Workers on any thread add to files and bytes.
class ProgressMeter {
public:
    ProgressMeter(const std::string& label, uint64_t totalFiles, uint64_t totalBytes);
    ~ProgressMeter();
    ProgressMeter(const ProgressMeter&) = delete;
    ProgressMeter& operator=(const ProgressMeter&) = delete;

    std::atomic<uint64_t> files{0};
    std::atomic<uint64_t> bytes{0};

private:
    void Draw(double seconds);
    std::string PhaseName() const;

    std::string label_;
    uint64_t totalFiles_;
    uint64_t totalBytes_;
    bool terminal_ = false;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread ticker_;
};
