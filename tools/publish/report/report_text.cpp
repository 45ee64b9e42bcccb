// The report on one screen: a row per serial, the stage's share, where runs stopped, what went unread.
#include "report/report_build.h"
#include "report/report_writers.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

std::string UtcText(int64_t ms) {
    time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm parts;
    char text[32] = "";
    if (gmtime_r(&seconds, &parts) != nullptr) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::string ByteText(uint64_t bytes) {
    const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1000 && unit < 4) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string PercentText(double percent) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", percent);
    return text;
}

namespace {

std::string Row(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Row(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

std::string TreeName(const ReleaseIndex& index, size_t r) {
    return static_cast<int>(r) == index.liveIndex ? "live" : static_cast<int>(r) == index.stageIndex ? "stage" : "kept";
}

// The most frequent entries of counts, "path N, path N" up to limit.
template <typename Map, typename Count>
std::string Ranked(const Map& counts, Count count, size_t limit) {
    std::vector<std::pair<uint64_t, std::string>> ranked;
    for (const auto& each : counts) ranked.emplace_back(count(each.second), each.first);
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::string text;
    for (size_t i = 0; i < ranked.size() && i < limit; ++i)
        text += (i ? ", " : "") + ranked[i].second + " " + std::to_string(ranked[i].first);
    if (ranked.size() > limit) text += ", ... (" + std::to_string(ranked.size() - limit) + " more)";
    return text;
}

}  // namespace

std::string ReportText(const std::string& serverDir, const ReleaseIndex& index, const Figures& figures) {
    std::string text = "report of " + serverDir + ": " + std::to_string(figures.read.lines) + " lines";
    if (figures.lastMs != 0) text += ", " + UtcText(figures.firstMs) + " to " + UtcText(figures.lastMs) + " UTC";
    text += "\n" + Row("%7s %-5s %9s %7s %8s %10s %7s %10s %7s\n", "serial", "tree", "addresses", "runs", "complete",
                       "incomplete", "refused", "up-to-date", "failed");
    std::string stops, missing;
    for (size_t r = 0; r < figures.releases.size(); ++r) {
        const ReleaseFigures& release = figures.releases[r];
        if (release.Runs() == 0 && release.addresses == 0) continue;
        text +=
            Row("%7llu %-5s %9llu %7llu %8llu %10llu %7llu %10llu %6s%%\n",
                static_cast<unsigned long long>(index.releases[r].serial), TreeName(index, r).c_str(),
                static_cast<unsigned long long>(release.addresses), static_cast<unsigned long long>(release.Runs()),
                static_cast<unsigned long long>(release.complete), static_cast<unsigned long long>(release.incomplete),
                static_cast<unsigned long long>(release.refused), static_cast<unsigned long long>(release.upToDate),
                PercentText(FailedPercent(release)).c_str());
        std::string serial = "serial " + std::to_string(index.releases[r].serial) + ": ";
        if (!release.stoppedAt.empty())
            stops += "  " + serial +
                     Ranked(
                         release.stoppedAt, [](const PathCount& c) { return c.runs; }, 4) +
                     "\n";
        if (!release.notFound.empty())
            missing += "  " + serial + "404 " +
                       Ranked(
                           release.notFound, [](uint64_t c) { return c; }, 4) +
                       "\n";
        if (!release.serverErrors.empty())
            missing += "  " + serial + "5xx " +
                       Ranked(
                           release.serverErrors, [](uint64_t c) { return c; }, 4) +
                       "\n";
    }
    if (index.stageIndex >= 0) {
        double share = figures.shareAddresses ? 100.0 * figures.shareOnStage / figures.shareAddresses : 0.0;
        text += "stage: serial " + std::to_string(index.releases[static_cast<size_t>(index.stageIndex)].serial) +
                ", measured share " + PercentText(share) + " % of " + std::to_string(figures.shareAddresses) +
                " addresses since it opened (target " + std::to_string(index.stageShare) + " %)\n";
    } else {
        text += "stage: none open\n";
    }
    if (!figures.adoption.empty()) {
        std::string held;
        for (size_t r = 0; r < index.releases.size(); ++r)
            if (figures.adoption.back()[r] > 0)
                held += (held.empty() ? "" : ", ") + std::string("serial ") + std::to_string(index.releases[r].serial) +
                        " " + std::to_string(figures.adoption.back()[r]);
        text += "addresses known to hold each serial at the end: " + (held.empty() ? "none" : held) + "\n";
    }
    text += "runs stopped at:" + std::string(stops.empty() ? " none\n" : "\n" + stops);
    text += "errors on listed paths:" + std::string(missing.empty() ? " none\n" : "\n" + missing);
    text += "bytes: edge " + ByteText(figures.edgeBytes) + ", origin to players " +
            ByteText(figures.originBytesToPlayers) + ", origin to edges " + ByteText(figures.originBytesToEdges) + "\n";
    text += "lines: " + std::to_string(figures.notJson) + " not JSON, " + std::to_string(figures.read.truncatedLast) +
            " truncated last, " + std::to_string(figures.read.gzipCut) + " gzip cut, " +
            std::to_string(figures.outsideWindow) + " outside the time window, " + std::to_string(figures.otherAgents) +
            " not the updater's, " + std::to_string(figures.outsideRuns) + " outside a run, " +
            std::to_string(figures.unknownSerial) + " of an unknown serial\n";
    for (size_t i = 0; i < figures.notes.size() && i < 3; ++i) text += "note: " + figures.notes[i] + "\n";
    return text;
}
