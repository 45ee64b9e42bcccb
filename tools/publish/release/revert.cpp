// Reverts: a kept release under a new serial from its manifest and hard links of its bodies.
#include "release/revert.h"

#include "core/fs_util.h"
#include "core/output.h"
#include "release/history.h"
#include "release/history_text.h"
#include "release/publish.h"
#include "tree/body_times.h"
#include "tree/record.h"
#include "tree/serial_memory.h"
#include "tree/tree_swap.h"
#include "update/http.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <linux/openat2.h>
#include <mutex>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// A kept tree's manifest, never through a symbolic link.
bool ReadManifestOf(const std::string& tree, std::vector<uint8_t>& bytes, std::string& error) {
    const std::string path = JoinPath(tree, "manifest.txt");
    ReadResult read = ReadFileIfThere(path, kManifestLimit, bytes, error);
    if (read == ReadResult::Absent) error = path + ": missing, or not a plain file";
    return read == ReadResult::Read;
}

// A folder below root (an O_PATH descriptor), reached through no symbolic link: a kept tree
// whose folder is a link out of the site must not lend the live tree the files it points at.
int OpenBeneath(int root, const std::string& folder) {
    struct open_how how = {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    return static_cast<int>(syscall(SYS_openat2, root, folder.empty() ? "." : folder.c_str(), &how, sizeof how));
}

// True when path is a plain relative path: no empty, "." or ".." segment, so that it names a
// file below the folder it is looked up in.
bool IsPlainPath(std::string_view path) {
    for (size_t at = 0; at <= path.size();) {
        size_t slash = std::min(path.find('/', at), path.size());
        std::string_view segment = path.substr(at, slash - at);
        if (segment.empty() || segment == "." || segment == "..") return false;
        at = slash + 1;
    }
    return true;
}

// The folder of a manifest path ("" for a file at the top).
std::string_view FolderOf(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

struct RevertTrees {
    std::string keptFiles, freshFiles, liveFiles;
    int keptFilesFd;  // keptFiles, opened without following a link
};

// Links one run of files of one folder (FolderRuns) from the kept tree into the fresh one, one
// link and one stat each, relative to the folder opened in both (O_PATH), and gives each body its
// time (body_times.h): a body that is the live copy at its path keeps its time, every other one
// gets a time past every body served so far. stamps gets each body's stamp, latest the latest
// whole second.
bool LinkRun(const RevertTrees& trees, const BodyTimeBounds& bounds, const std::vector<ManifestLine>& lines,
             const std::vector<ManifestLine>& live, std::pair<size_t, size_t> run, std::vector<FileStamp>& stamps,
             timespec& latest, std::string& error) {
    const std::string folder(FolderOf(lines[run.first].path));
    const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    UniqueFd kept(OpenBeneath(trees.keptFilesFd, folder));
    UniqueFd fresh(open(JoinPath(trees.freshFiles, folder).c_str(), flags));
    UniqueFd liveAt(open(JoinPath(trees.liveFiles, folder).c_str(), flags));
    if (!kept.Valid() || !fresh.Valid()) {
        error = ErrnoText(JoinPath(kept.Valid() ? trees.freshFiles : trees.keptFiles, folder));
        return false;
    }
    auto byPath = [](const ManifestLine& line, std::string_view path) { return line.path < path; };
    auto found = std::lower_bound(live.begin(), live.end(), lines[run.first].path, byPath);
    std::string path, fullPath, leaf;
    ManifestEntry liveEntry;
    for (size_t i = run.first; i < run.second; ++i) {
        const ManifestLine& line = lines[i];
        path.assign(line.path);
        leaf.assign(line.path.substr(folder.empty() ? 0 : folder.size() + 1));
        if (linkat(kept.Get(), leaf.c_str(), fresh.Get(), leaf.c_str(), 0) != 0) {
            error = ErrnoText(JoinPath(trees.keptFiles, path));
            return false;
        }
        struct stat st, liveSt;
        if (fstatat(fresh.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<uint64_t>(st.st_size) != line.size) {
            error = JoinPath(trees.keptFiles, path) + ": not the body of " + std::to_string(line.size) +
                    " bytes its manifest lists";
            return false;
        }
        stamps[i] = ToStamp(st);
        while (found != live.end() && found->path < line.path) ++found;
        bool hasLive = found != live.end() && found->path == line.path;
        if (hasLive) {
            liveEntry.sha256.assign(found->sha);
            liveEntry.size = found->size;
        }
        // Most bodies are the live copy itself, whose stamp is then the one just taken.
        bool shared = hasLive && found->sha == line.sha && found->size == line.size && liveAt.Valid() &&
                      fstatat(liveAt.Get(), leaf.c_str(), &liveSt, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(liveSt.st_mode) && liveSt.st_ino == st.st_ino && liveSt.st_dev == st.st_dev;
        fullPath = JoinPath(trees.freshFiles, path);
        BodyFile body{path, fullPath, line.sha, line.size, hasLive ? &liveEntry : nullptr, shared, false};
        if (!SetBodyTime(bounds, body, stamps[i], latest, error)) return false;
    }
    return true;
}

// Links every body the kept manifest lists from keptTree into the fresh tree, folder by folder on
// all cores. The record is the kept one with the new stamps, for the files it vouches for; any
// other file is read afresh by the next publish.
bool LinkKeptBodies(const PublishOptions& options, const std::string& keptTree, const std::string& recordPath,
                    FreshTree& fresh, std::string& error) {
    UniqueFd keptFiles(open(JoinPath(keptTree, "files").c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const RevertTrees trees{JoinPath(keptTree, "files"), JoinPath(fresh.path, "files"),
                            JoinPath(options.serverDir, "files"), keptFiles.Get()};
    if (!keptFiles.Valid()) {
        error = ErrnoText(trees.keptFiles);
        return false;
    }
    const std::vector<ManifestLine> lines = ManifestLines(fresh.manifest);
    std::set<std::string> made;
    std::string_view previous(nullptr, 0);
    for (const ManifestLine& line : lines) {
        if (!IsPlainPath(line.path)) {
            error = std::string(line.path) + ": not a plain relative path in the kept manifest";
            return false;
        }
        std::string_view folder = FolderOf(line.path);
        if (folder.data() != nullptr && folder == previous) continue;
        previous = folder;
        for (size_t slash = 0; slash < folder.size();) {
            slash = std::min(folder.find('/', slash + 1), folder.size());
            std::string prefix(folder.substr(0, slash));
            if (!made.insert(prefix).second) continue;
            std::string full = JoinPath(trees.freshFiles, prefix);
            if (mkdir(full.c_str(), 0777) != 0) {
                error = ErrnoText(full);
                return false;
            }
        }
    }
    std::set<std::string>().swap(made);

    BodyTimeBounds bounds;
    ReadBodyTimeBounds(options.serverDir, options.otherTree, bounds);
    fresh.latest = bounds.fresh;
    std::vector<uint8_t> liveText, recordBytes;
    std::string ignored;
    // Unreadable is not "none": each shared body would get a new time, the live copy's too.
    if (ReadFileIfThere(JoinPath(options.serverDir, "manifest.txt"), kManifestLimit, liveText, error) ==
        ReadResult::Failed)
        return false;
    std::vector<ManifestLine> live = ManifestLines(liveText);
    auto runs = FolderRuns(lines.size(), [&](size_t i) { return FolderOf(lines[i].path) == FolderOf(lines[i - 1].path); });
    std::vector<FileStamp> stamps(lines.size());
    std::mutex latestLock;
    bool linked = ForEachParallel(
        runs.size(),
        [&](size_t index, std::vector<char>&, std::string& message) {
            timespec latest = bounds.fresh;
            if (!LinkRun(trees, bounds, lines, live, runs[index], stamps, latest, message)) return false;
            std::lock_guard<std::mutex> hold(latestLock);
            if (latest.tv_sec > fresh.latest.tv_sec) fresh.latest = latest;
            return true;
        },
        error, options.jobs);
    if (!linked) return false;
    std::vector<ManifestLine>().swap(live);
    std::vector<uint8_t>().swap(liveText);

    std::vector<RecordLine> recorded;
    int64_t startedNs = 0;
    if (ReadWholeFile(recordPath, 1ull << 30, recordBytes, ignored)) recorded.reserve(lines.size());
    if (!ParseRecord(recordBytes, startedNs, [&](const RecordLine& line) { recorded.push_back(line); }))
        recorded.clear();
    fresh.recordText = RecordHeader(startedNs);
    fresh.recordText.reserve(recordBytes.size() + recordBytes.size() / 8);
    size_t recordAt = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const ManifestLine& line = lines[i];
        while (recordAt < recorded.size() && recorded[recordAt].path < line.path) ++recordAt;
        if (recordAt < recorded.size() && recorded[recordAt].path == line.path &&
            recorded[recordAt].sha256 == line.sha && recorded[recordAt].size == line.size)
            AppendRecordLine(fresh.recordText,
                             RecordLine{line.sha, line.size, recorded[recordAt].releaseMtimeNs, stamps[i], line.path});
        fresh.bytes += line.size;
    }
    fresh.files = fresh.taken = lines.size();
    return true;
}

// The kept tree's block files come with its bodies, as hard links; a body it holds none for (kept
// by --no-blocks or an earlier version) takes the live or staged tree's, else is read once.
bool FillRevertPatch(const PublishOptions& options, const BlocksOffer& offer, const std::string& keptTree,
                     FreshTree& fresh, std::string& error) {
    std::vector<PatchBody> bodies;
    for (const ManifestLine& line : ManifestLines(fresh.manifest))
        if (GetsBlockFile(line.size, offer.min)) bodies.push_back(PatchBody{std::string(line.sha), line.size, std::string(line.path)});
    return FillPatchFolder(fresh.path, bodies, {keptTree, options.serverDir, options.otherTree}, options.jobs,
                           fresh.patch, error);
}

std::string TimeText(int64_t ns) {
    char text[32] = "?";
    time_t seconds = static_cast<time_t>(ns / 1000000000);
    struct tm utc;
    if (ns > 0 && gmtime_r(&seconds, &utc) != nullptr) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

}  // namespace

bool BuildRevertTree(const PublishOptions& options, const std::function<bool(const std::vector<uint8_t>&)>& mayLink,
                     FreshTree& fresh, std::string& error) {
    const std::string site = options.siteDir.empty() ? options.serverDir : options.siteDir;
    KeptRelease kept;
    std::string tree;
    std::vector<uint8_t> manifest;
    if (!FindKept(site, options.revertSerial, kept, tree, error) || !ReadManifestOf(tree, manifest, error))
        return false;
    uint64_t keptSerial = 0;
    ManifestLines(manifest, &keptSerial);
    // The info is a claim; the manifest's own serial line (under the digest the info names) decides.
    if (ManifestDigest(manifest) != kept.digest || keptSerial != kept.serial) {
        error = tree + ": its manifest is not the one kept for serial " + std::to_string(kept.serial);
        return false;
    }
    // The kept manifest under the new serial line; every file line stays as it was signed before.
    auto firstLine = std::find(manifest.begin(), manifest.end(), static_cast<uint8_t>('\n'));
    const BlocksOffer offer = OfferFor(options);
    std::string head = SerialLineText(options.serial, offer);
    fresh.manifest.assign(head.begin(), head.end());
    fresh.manifest.insert(fresh.manifest.end(), firstLine, manifest.end());
    std::vector<uint8_t>().swap(manifest);
    if (fresh.manifest.size() > kManifestLimit) {
        error = "the manifest would be above the updater's limit of " + std::to_string(kManifestLimit) + " bytes";
        return false;
    }
    if (!mayLink(fresh.manifest)) return false;  // before a link is made or a body's time set
    if (!MakeOwnTempDir(options.serverDir, fresh.path, error)) return false;
    // Opened before the links, as a publish does before its copies, for the flush before the swap.
    fresh.flushFd = UniqueFd(open(fresh.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string files = JoinPath(fresh.path, "files"), ignored;
    if (!fresh.flushFd.Valid() || mkdir(files.c_str(), 0777) != 0) error = ErrnoText(files);
    // The bodies keep their inodes, so the kept record holds for them, with their stamps as now.
    if (error.empty() &&
        LinkKeptBodies(options, tree, kept.hasTree ? JoinPath(kept.path, "record") : RecordPathFor(tree), fresh, error) &&
        (!offer.present || FillRevertPatch(options, offer, tree, fresh, error)))
        return true;
    RemoveOwnTree(fresh.path, ignored);
    return false;
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
        ReadFileIfThere(JoinPath(serverDir, "manifest.txt"), kManifestLimit, live, error) == ReadResult::Failed) {
        ReportProblem(error);
        return 2;
    }
    std::vector<std::string> lines;
    uint64_t download = DownloadBetween(target, live, &lines);
    size_t counts[3] = {0, 0, 0};
    for (const std::string& line : lines) {
        std::fprintf(HumanOut(), "%s\n", line.c_str());
        // "KIND     SIZE  PATH", as DownloadBetween writes it: the same fields as a diff of a release.
        std::string kind = line.substr(0, line.find(' '));
        ResultAppend(kind, "{\"path\":" + JsonString(line.substr(25)) + ",\"bytes\":" +
                               std::to_string(std::strtoull(line.c_str() + 9, nullptr, 10)) + "}");
        ++counts[line[0] == 'a' ? 0 : line[0] == 'c' ? 1 : 2];
    }
    uint64_t liveSerial = 0, files = 0, bytes = 0;
    ManifestTotals(live, liveSerial, files, bytes);
    std::string from = live.empty() ? "no installation" : "the published serial " + std::to_string(liveSerial);
    char total[128];
    std::snprintf(total, sizeof total, "%zu added, %zu changed, %zu removed, %llu unchanged", counts[0], counts[1],
                  counts[2], static_cast<unsigned long long>(kept.files - counts[0] - counts[1]));
    std::fprintf(HumanOut(), "%s; a revert to serial %llu: each player on %s downloads %llu bytes\n", total,
                 static_cast<unsigned long long>(serial), from.c_str(), static_cast<unsigned long long>(download));
    for (const char* kind : {"added", "changed", "removed"}) ResultAppend(kind, "");
    ResultNumber("unchanged", kept.files - counts[0] - counts[1]);
    ResultNumber("download_bytes", download);
    ResultJson("live_serial", live.empty() ? "null" : std::to_string(liveSerial));
    if (!lines.empty()) ListProblem(total, "differences");
    return lines.empty() ? 0 : 1;
}
