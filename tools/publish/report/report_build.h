// Reads a site's releases and its logs into figures: what report, its writers and the health gate share.
#pragma once
#include "report/figures.h"
#include "report/release_index.h"

#include <string>
#include <vector>

struct ReportInput {
    std::string serverDir;
    std::vector<std::string> logs;
    int64_t sinceMs = INT64_MIN, untilMs = INT64_MAX;  // lines from since up to, not including, until
    bool keepAddresses = false;
};

// False with a message only when the site's history cannot be read; log trouble is counted.
bool BuildReport(const ReportInput& input, ReleaseIndex& index, Figures& figures, std::string& error);

// "1733712000" (seconds since 1970), "2026-12-09T02:00:00Z", "2026-12-09T02:00Z" or "2026-12-09"
// (UTC) into milliseconds; false for anything else.
bool ParseReportTime(const std::string& text, int64_t& ms);

// The failed share in per cent of runs that had something to do (0 without such runs).
double FailedPercent(const ReleaseFigures& release);
