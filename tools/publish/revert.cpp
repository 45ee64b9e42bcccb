// Reverts: a kept release under a new serial from its manifest and hard links of its bodies.
#include "revert.h"

#include "body_times.h"
#include "fs_util.h"
#include "history.h"
#include "publish.h"
#include "record.h"
#include "serial_memory.h"
#include "stage_files.h"
#include "tree_swap.h"
#include "update/http.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace {

bool ReadManifestOf(const std::string& tree, std::vector<uint8_t>& bytes, std::string& error) {
    return ReadWholeFile(JoinPath(tree, "manifest.txt"), kManifestLimit, bytes, error);
}

// The body times of a reverted tree under root, measured against the live tree at serverDir as a
// publish measures its new bodies (body_times.h): a body the live tree serves at its path keeps
// that copy's time, every other one gets a time past every body served so far.
bool SetRevertBodyTimes(const std::string& root, const std::string& serverDir, const std::string& otherTree,
                        const std::vector<PublishedFile>& files, timespec& latest, std::string& error) {
    BodyTimeBounds bounds;
    ReadBodyTimeBounds(serverDir, otherTree, bounds);
    latest = bounds.fresh;
    std::vector<uint8_t> text;
    std::vector<ManifestEntry> live;
    uint64_t serial = 0;
    std::string ignored;
    if (!ReadManifestOf(serverDir, text, ignored) || !ParseManifest(text, serial, live, ignored)) live.clear();
    auto byPath = [](const ManifestEntry& entry, const std::string& path) { return entry.path < path; };
    for (const PublishedFile& file : files) {
        std::string fullPath = JoinPath(JoinPath(root, "files"), file.path);
        auto found = std::lower_bound(live.begin(), live.end(), file.path, byPath);
        const ManifestEntry* liveEntry = found != live.end() && found->path == file.path ? &*found : nullptr;
        FileStamp stamp;
        if (!StampOf(fullPath, stamp)) {
            error = ErrnoText(fullPath);
            return false;
        }
        BodyFile body{file.path, fullPath, file.sha256, file.size, liveEntry, false, false};
        if (!SetBodyTime(bounds, body, stamp, latest, error)) return false;
    }
    return true;
}

std::string TimeText(int64_t ns) {
    char text[32] = "?";
    time_t seconds = static_cast<time_t>(ns / 1000000000);
    struct tm utc;
    if (ns > 0 && gmtime_r(&seconds, &utc) != nullptr) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

}  // namespace

bool BuildRevertTree(const PublishOptions& options, FreshTree& fresh, std::string& error) {
    const std::string site = options.siteDir.empty() ? options.serverDir : options.siteDir;
    KeptRelease kept;
    std::string tree;
    std::vector<uint8_t> manifest;
    if (!FindKept(site, options.revertSerial, kept, tree, error) || !ReadManifestOf(tree, manifest, error))
        return false;
    if (ManifestDigest(manifest) != kept.digest) {
        error = tree + ": its manifest is not the one kept for serial " + std::to_string(kept.serial);
        return false;
    }
    // The kept manifest under the new serial line; every file line stays as it was signed before.
    auto firstLine = std::find(manifest.begin(), manifest.end(), static_cast<uint8_t>('\n'));
    std::string head = "serial " + std::to_string(options.serial);
    fresh.manifest.assign(head.begin(), head.end());
    fresh.manifest.insert(fresh.manifest.end(), firstLine, manifest.end());
    uint64_t serial = 0;
    ManifestTotals(fresh.manifest, serial, fresh.files, fresh.bytes);
    fresh.taken = fresh.files;
    if (fresh.manifest.size() > kManifestLimit) {
        error = "the manifest would be above the updater's limit of " + std::to_string(kManifestLimit) + " bytes";
        return false;
    }
    if (!MakeOwnTempDir(options.serverDir, fresh.path, error)) return false;
    // Opened before the links, as a publish does before its copies, for the flush before the swap.
    fresh.flushFd = UniqueFd(open(fresh.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string files = JoinPath(fresh.path, "files"), ignored;
    bool linked = fresh.flushFd.Valid() && mkdir(files.c_str(), 0777) == 0 &&
                  LinkTreeCopy(JoinPath(tree, "files"), files, error);
    if (!linked && error.empty()) error = ErrnoText(files);
    // A body unlike the live one at its path gets a time past every body served so far, as a new
    // body of a publish does, so that no edge takes it for the one it holds; the manifest too.
    if (!linked || !SetRevertBodyTimes(fresh.path, options.serverDir, options.otherTree,
                                       ManifestFiles(fresh.manifest), fresh.latest, error)) {
        RemoveOwnTree(fresh.path, ignored);
        return false;
    }
    // The bodies keep their inodes, so the kept record holds for them, with their times as now.
    PublishRecord record = ReadRecord(kept.hasTree ? JoinPath(kept.path, "record") : RecordPathFor(tree));
    for (auto& entry : record.entries) StampOf(JoinPath(files, entry.first), entry.second.published);
    fresh.recordText = RecordText(record);
    return true;
}

bool HistoryListing(const std::string& serverDir, std::string& text, std::string& error) {
    std::vector<KeptRelease> releases;
    if (!ListHistory(serverDir, releases, error)) return false;
    char line[512];
    std::snprintf(line, sizeof line, "%-10s %-7s %-19s %9s %14s %14s  %-12s %s\n", "SERIAL", "STATE", "MADE (UTC)",
                  "FILES", "BYTES", "DOWNLOAD", "DIGEST", "MESSAGE");
    text = line;
    for (const KeptRelease& release : releases) {
        const char* state = release.live ? "live" : release.staged ? "staged" : release.hasTree ? "kept" : "no tree";
        std::string download = release.downloadKnown ? std::to_string(release.download) : "?";
        std::snprintf(line, sizeof line, "%-10llu %-7s %-19s %9llu %14llu %14s  %-12s %s\n",
                      static_cast<unsigned long long>(release.serial), state, TimeText(release.madeNs).c_str(),
                      static_cast<unsigned long long>(release.files), static_cast<unsigned long long>(release.bytes),
                      download.c_str(), release.digest.substr(0, 12).c_str(), release.message.c_str());
        text += line;
    }
    if (releases.empty()) text += "(nothing published to " + serverDir + " yet)\n";
    return true;
}

int DiffToKept(const std::string& serverDir, uint64_t serial) {
    KeptRelease kept;
    std::string tree, error;
    std::vector<uint8_t> target, live;
    if (!FindKept(serverDir, serial, kept, tree, error) || !ReadManifestOf(tree, target, error) ||
        (PathExists(JoinPath(serverDir, "manifest.txt")) && !ReadManifestOf(serverDir, live, error))) {
        std::fprintf(stderr, "quillor-publish: %s\n", error.c_str());
        return 2;
    }
    std::vector<std::string> lines;
    uint64_t download = DownloadBetween(target, live, &lines);
    size_t counts[3] = {0, 0, 0};
    for (const std::string& line : lines) {
        std::printf("%s\n", line.c_str());
        ++counts[line[0] == 'a' ? 0 : line[0] == 'c' ? 1 : 2];
    }
    uint64_t liveSerial = 0, files = 0, bytes = 0;
    ManifestTotals(live, liveSerial, files, bytes);
    std::string from = live.empty() ? "no installation" : "the published serial " + std::to_string(liveSerial);
    std::printf("%zu added, %zu changed, %zu removed, %llu unchanged; a revert to serial %llu: each player on %s "
                "downloads %llu bytes\n",
                counts[0], counts[1], counts[2],
                static_cast<unsigned long long>(kept.files - counts[0] - counts[1]),
                static_cast<unsigned long long>(serial), from.c_str(), static_cast<unsigned long long>(download));
    return lines.empty() ? 0 : 1;
}
