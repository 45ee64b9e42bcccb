// Streams every log once through the run classifier, all of them merged by time.
#include "report/report_build.h"

#include "report/line_order.h"
#include "report/log_reader.h"
#include "report/log_record.h"
#include "report/run_classifier.h"

#include <algorithm>
#include <memory>

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

// One log being read: its lines in time order as they come out of its reorder window.
struct Source {
    std::string path;
    LogStream stream;
    LineOrder order;
    bool open = false;
    uint64_t copiedLines = 0;

    // Reads until its earliest line may go on or the log has ended; false when it has no line left.
    bool Fill() {
        std::string_view line;
        while (!LineReady(order) && !order.ended) {
            if (open && stream.Next(line))
                AddLine(order, line);
            else
                order.ended = true;
        }
        return LineReady(order);
    }
};

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
        text[7] != '-' || !Digits(text, 8, 2, day) || month < 1 || month > 12 || day < 1)
        return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap)) return false;  // 2026-02-30 is no date
    if (text.size() > 10) {
        bool shortForm = text.size() == 17 && text[16] == 'Z';
        bool longForm = text.size() == 20 && text[16] == ':' && text[19] == 'Z' && Digits(text, 17, 2, second);
        if (text[10] != 'T' || !Digits(text, 11, 2, hour) || text[13] != ':' || !Digits(text, 14, 2, minute) ||
            !(shortForm || longForm) || hour > 23 || minute > 59 || second > 59)
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
    // Every log is opened once and read once; the same file given again (by name, a hard link or
    // a copy's rotation) is read once. The logs of an origin and its edges cover the same hours,
    // and rotated files follow each other: all are merged by time, line by line.
    std::vector<std::unique_ptr<Source>> sources;
    std::vector<std::pair<dev_t, ino_t>> seen;
    for (const std::string& log : input.logs) {
        auto source = std::make_unique<Source>();
        source->path = log;
        source->open = source->stream.Open(log, counts, notes);
        if (source->open) {
            std::pair<dev_t, ino_t> identity(source->stream.Device(), source->stream.Inode());
            if (std::find(seen.begin(), seen.end(), identity) != seen.end()) {
                ++counts.duplicates;
                notes.push_back(log + ": the same file as a log given before (device and inode); it is read once");
                continue;
            }
            seen.push_back(identity);
        }
        sources.push_back(std::move(source));
    }
    std::vector<Source*> live;
    for (auto& source : sources)
        if (source->Fill()) live.push_back(source.get());
    // A copy of a log (x.1 beside a copy of itself) is another file with the same lines: a line
    // equal to one of another log with the same time is the same request, counted once. (Two
    // requests never make one line in two logs: an origin's and an edge's lines differ in "src".)
    int64_t sameUs = INT64_MIN;
    std::vector<std::pair<Source*, std::string>> sameTime;  // the lines handed on at sameUs (buffers reused)
    size_t sameCount = 0;
    const bool several = sources.size() > 1;
    while (!live.empty()) {
        size_t earliest = 0;
        for (size_t i = 1; i < live.size(); ++i)
            if (FrontUs(live[i]->order) < FrontUs(live[earliest]->order)) earliest = i;
        Source& source = *live[earliest];
        int64_t us = FrontUs(source.order);
        const std::string& line = FrontLine(source.order);
        if (us != sameUs) {
            sameUs = us;
            sameCount = 0;
        }
        bool copy = false;
        for (size_t i = 0; several && i < sameCount && !copy; ++i)
            copy = sameTime[i].first != &source && sameTime[i].second == line;
        if (copy) {
            ++source.copiedLines;
        } else {
            if (several) {
                if (sameCount == sameTime.size()) sameTime.emplace_back();
                sameTime[sameCount].first = &source;
                sameTime[sameCount++].second.assign(line);
            }
            ClassifyLine(*classifier, line);
        }
        PopLine(source.order);
        if (!source.Fill()) live.erase(live.begin() + static_cast<std::ptrdiff_t>(earliest));
    }
    for (size_t i = 0; i < sources.size(); ++i) {
        if (sources[i]->copiedLines == 0) continue;
        counts.duplicates += sources[i]->copiedLines;
        notes.push_back(sources[i]->path + ": " + std::to_string(sources[i]->copiedLines) +
                        " line(s) equal to lines of another log given (a copy of it?); each is counted once");
    }
    figures = FinishClassifier(*classifier);
    figures.read = counts;
    figures.notes = notes;
    return true;
}
