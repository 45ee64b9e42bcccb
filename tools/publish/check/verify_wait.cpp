// Checking a server again and again until it serves one release consistently (after a publish).
#include "check/verify_wait.h"

#include "check/verify.h"
#include "core/output.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// The serial from VerifyServer's summary, which starts "serial 42, 3 files, ...".
bool SummarySerial(const std::string& summary, uint64_t& serial) {
    if (summary.compare(0, 7, "serial ") != 0 || summary.size() < 8) return false;
    serial = 0;
    size_t i = 7;
    for (; i < summary.size() && summary[i] >= '0' && summary[i] <= '9'; ++i)
        serial = serial * 10 + static_cast<uint64_t>(summary[i] - '0');
    return i > 7;
}

}  // namespace

bool VerifyUntil(const std::string& keyPath, const std::string& target, const VerifyWait& wait,
                 std::vector<std::string>& problems, std::string& summary) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(wait.seconds);
    FetchLimits limits;
    limits.transferSeconds = wait.transferSeconds;
    if (wait.seconds > 0) limits.deadline = deadline;  // no transfer outlives the wait
    for (;;) {
        problems.clear();
        summary.clear();
        bool ok = VerifyServer(keyPath, target, limits, problems, summary);
        uint64_t served = 0;
        if (ok && wait.expectSerial && (!SummarySerial(summary, served) || served != wait.serial)) {
            problems.push_back("serves serial " + std::to_string(served) + ", expected " +
                               std::to_string(wait.serial));
            ok = false;
        }
        Clock::time_point now = Clock::now();
        if (ok || now >= deadline) return ok;
        auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - now).count();
        std::fprintf(HumanOut(), "not yet (%lld s left): %s%s\n", static_cast<long long>(left),
                     problems.empty() ? "" : problems.front().c_str(), problems.size() > 1 ? " ..." : "");
        std::fflush(HumanOut());
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::seconds(1), deadline - now));
    }
}
