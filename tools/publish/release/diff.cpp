// What a publish would change for players: added, changed and removed files, and the download.
#include "release/diff.h"

#include "check/verify.h"
#include "core/fs_util.h"
#include "core/output.h"
#include "core/progress.h"
#include "tree/plan.h"

#include <cstdio>
#include <map>
#include <memory>
#include <set>

namespace {

bool ReadTarget(const std::string& target, uint64_t timeoutSeconds, LiveTree& live, std::string& error) {
    if (target.compare(0, 7, "http://") != 0 && target.compare(0, 8, "https://") != 0) {
        if (!PathExists(target)) return true;  // nothing published yet: everything is added
        if (!IsDirectory(target)) {
            error = target + ": not a server folder";
            return false;
        }
        return ReadLiveTree(target, live, error);
    }
    std::vector<uint8_t> manifest;
    std::vector<ManifestEntry> entries;
    FetchLimits limits;
    limits.transferSeconds = timeoutSeconds;
    if (!FetchManifest(target, limits, manifest, error)) return false;
    if (!ParseManifest(manifest, live.serial, entries, error)) {
        error = "the served manifest is refused by the updater's parser: " + error;
        return false;
    }
    SetLiveEntries(std::move(entries), live);
    live.present = true;
    return true;
}

int Trouble(const std::string& message) {
    ReportProblem(message);
    return 2;
}

}  // namespace

int DiffRelease(const std::string& releaseDir, const std::string& target, bool checksum, uint64_t timeoutSeconds) {
    if (!IsDirectory(releaseDir)) return Trouble(releaseDir + ": release folder not found");
    std::vector<ReleaseFile> release;
    std::vector<std::string> problems;
    WalkRelease(releaseDir, release, problems);
    if (!problems.empty()) return Trouble(problems.front());
    LiveTree live;
    std::string error;
    if (!ReadTarget(target, timeoutSeconds, live, error)) return Trouble(error);
    bool local = target.compare(0, 7, "http://") != 0;
    std::vector<PlannedFile> plan = PlanFiles(release, live, local ? target : std::string(), checksum);

    // Only a release file with the live size and no quick-check verdict needs its digest.
    std::vector<size_t> toHash;
    uint64_t hashBytes = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].action != FileAction::Take && plan[i].live != nullptr &&
            plan[i].live->size == plan[i].release->stamp.size) {
            toHash.push_back(i);
            hashBytes += plan[i].release->stamp.size;
        }
    }
    std::vector<std::string> digests(plan.size());
    auto meter = std::make_unique<ProgressMeter>("diff", toHash.size(), hashBytes);
    bool hashed = ForEachParallel(
        toHash.size(),
        [&](size_t k, std::vector<char>& buffer, std::string& message) {
            const PlannedFile& planned = plan[toHash[k]];
            FileStamp stamp, unused;
            bool ok = ReadHashCopyRelease(*planned.release, "", buffer, digests[toHash[k]], stamp, unused,
                                          &meter->bytes, message);
            ++meter->files;
            return ok;
        },
        error);
    meter.reset();  // clears the progress line before the listing
    if (!hashed) return Trouble(error);

    std::map<std::string, std::pair<const char*, uint64_t>> lines;  // path -> kind, bytes to download
    std::set<std::string> inRelease;
    for (size_t i = 0; i < plan.size(); ++i) {
        const PlannedFile& planned = plan[i];
        inRelease.insert(planned.release->path);
        if (planned.live == nullptr)
            lines[planned.release->path] = {"added", planned.release->stamp.size};
        else if (planned.action != FileAction::Take && digests[i] != planned.live->sha256)
            lines[planned.release->path] = {"changed", planned.release->stamp.size};
    }
    for (const LiveFile& file : live.files)
        if (inRelease.count(file.entry.path) == 0) lines[file.entry.path] = {"removed", 0};
    uint64_t download = 0;
    size_t counts[3] = {0, 0, 0};
    for (const auto& line : lines) {
        std::fprintf(HumanOut(), "%-8s %14llu  %s\n", line.second.first,
                     static_cast<unsigned long long>(line.second.second), line.first.c_str());
        ResultAppend(line.second.first, "{\"path\":" + JsonString(line.first) +
                                            ",\"bytes\":" + std::to_string(line.second.second) + "}");
        download += line.second.second;
        ++counts[line.second.first[0] == 'a' ? 0 : line.second.first[0] == 'c' ? 1 : 2];
    }
    std::string from = live.present ? "the published serial " + std::to_string(live.serial) : "no installation";
    char total[256];
    std::snprintf(total, sizeof total, "%zu added, %zu changed, %zu removed, %zu unchanged", counts[0], counts[1],
                  counts[2], plan.size() - counts[0] - counts[1]);
    std::fprintf(HumanOut(), "%s; each player on %s downloads %llu bytes\n", total, from.c_str(),
                 static_cast<unsigned long long>(download));
    for (const char* kind : {"added", "changed", "removed"}) ResultAppend(kind, "");
    ResultNumber("unchanged", plan.size() - counts[0] - counts[1]);
    ResultNumber("download_bytes", download);
    ResultJson("live_serial", live.present ? std::to_string(live.serial) : "null");
    if (!lines.empty()) ListProblem(total, "differences");
    return lines.empty() ? 0 : 1;
}
