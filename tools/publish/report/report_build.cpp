// Streams every log once through the run classifier, oldest first.
#include "report/report_build.h"

#include "report/line_order.h"
#include "report/log_reader.h"
#include "report/log_record.h"
#include "report/run_classifier.h"

#include <algorithm>

namespace {

bool Digits(const std::string& text, size_t at, size_t count, int64_t& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The logs in the order of their first lines' times, so that rotated files ("x.2.gz x.1 x") and
// the logs of an origin and its edges are read as they were written, whatever order they came in.
std::vector<std::string> OldestFirst(const std::vector<std::string>& logs) {
    std::vector<std::pair<int64_t, std::string>> dated;
    std::string scratch;
    for (const std::string& log : logs) {
        LogRecord record;
        std::string line = FirstLogLine(log);
        dated.emplace_back(ParseLogRecord(line, record, scratch) ? record.timeMs : 0, log);
    }
    std::stable_sort(dated.begin(), dated.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> sorted;
    for (const auto& each : dated) sorted.push_back(each.second);
    return sorted;
}

}  // namespace

// 1733712000 | 2026-12-09 | 2026-12-09T02:00Z | 2026-12-09T02:00:00Z
bool ParseReportTime(const std::string& text, int64_t& ms) {
    int64_t value = 0;
    if (!text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789") == std::string::npos &&
        Digits(text, 0, text.size(), value)) {
        ms = value * 1000;
        return true;
    }
    int64_t year, month, day, hour = 0, minute = 0, second = 0;
    if (text.size() < 10 || !Digits(text, 0, 4, year) || text[4] != '-' || !Digits(text, 5, 2, month) ||
        text[7] != '-' || !Digits(text, 8, 2, day) || month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    if (text.size() > 10) {
        bool shortForm = text.size() == 17 && text[16] == 'Z';
        bool longForm = text.size() == 20 && text[16] == ':' && text[19] == 'Z' && Digits(text, 17, 2, second);
        if (text[10] != 'T' || !Digits(text, 11, 2, hour) || text[13] != ':' || !Digits(text, 14, 2, minute) ||
            !(shortForm || longForm) || hour > 23 || minute > 59 || second > 60)
            return false;
    }
    ms = ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute) * 60000 + second * 1000;
    return true;
}

double FailedPercent(const ReleaseFigures& release) {
    return release.UpdateRuns() == 0 ? 0.0 : 100.0 * static_cast<double>(release.Failed()) / release.UpdateRuns();
}

bool BuildReport(const ReportInput& input, ReleaseIndex& index, Figures& figures, std::string& error) {
    if (!LoadReleaseIndex(input.serverDir, index, error)) return false;
    ClassifierOptions options;
    options.sinceMs = input.sinceMs;
    options.untilMs = input.untilMs;
    options.keepAddresses = input.keepAddresses;
    options.stageOpenedMs = index.stageIndex >= 0 ? index.releases[static_cast<size_t>(index.stageIndex)].madeMs : 0;
    auto classifier = NewClassifier(index, options);
    LogReadCounts counts;
    std::vector<std::string> notes;
    LineOrder order;
    order.onLine = [&](std::string_view line) { ClassifyLine(*classifier, line); };
    for (const std::string& log : OldestFirst(input.logs)) {
        ReadLogLines(log, [&](std::string_view line) { AddLine(order, line); }, counts, notes);
        FlushLines(order);
    }
    figures = FinishClassifier(*classifier);
    figures.read = counts;
    figures.notes = notes;
    return true;
}
