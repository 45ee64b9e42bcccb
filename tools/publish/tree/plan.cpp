// What a publish would do with each release file: read it afresh, or take the live copy over.
#include "tree/plan.h"

#include "core/fs_util.h"
#include "tree/copy_engine.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int64_t kRacyNs = 1000000000;  // well above any file system's time-stamp granularity

// The folders of a release still to be read, shared by the walking threads: each takes one
// (newest first, which keeps the list short), reads it, and adds the folders it found.
struct WalkQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> waiting;  // paths relative to the root, "" for the root itself
    size_t busy = 0;                   // folders taken and not yet read
};

// Reads one folder of the release, prefix relative to its root: a stat per entry, relative to
// the folder. Its folders go to found.
void WalkFolder(const std::shared_ptr<const ReleaseRoot>& root, const std::string& prefix,
                std::vector<ReleaseFile>& files, std::vector<std::string>& problems, std::vector<std::string>& found) {
    const std::string dir = prefix.empty() ? root->dir : JoinPath(root->dir, prefix);
    // Opened beneath the root without following any link, so a folder that became a link since
    // its parent was read is refused rather than followed.
    UniqueFd dirFd(prefix.empty() ? dup(root->fd.Get()) : OpenBeneath(root->fd.Get(), prefix, O_RDONLY | O_DIRECTORY));
    int listFd = dirFd.Valid() ? dup(dirFd.Get()) : -1;
    DIR* handle = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (handle == nullptr) {
        if (listFd >= 0) close(listFd);
        problems.push_back(ErrnoText(dir));
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* entry = readdir(handle)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
        errno = 0;
    }
    // A listing cut short would publish a release without the files it did not reach.
    if (errno != 0) problems.push_back(ErrnoText(dir));
    closedir(handle);
    for (std::string& name : names) {
        std::string path = prefix.empty() ? name : prefix + "/" + name;
        struct stat st;
        // A link would publish whatever it points to at that moment, possibly outside the release.
        if (fstatat(dirFd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            problems.push_back(ErrnoText(JoinPath(dir, name)));
        } else if (S_ISLNK(st.st_mode)) {
            problems.push_back("symbolic link in the release (copy the real file instead): " + path);
        } else if (S_ISDIR(st.st_mode)) {
            found.push_back(std::move(path));
        } else if (S_ISREG(st.st_mode)) {
            files.push_back(ReleaseFile{std::move(path), ToStamp(st), root});
        } else {
            problems.push_back("not a regular file: " + path);
        }
    }
}

// Walks the release on several threads: at 100,000 files the stat calls are a good part of a
// publish that finds nothing changed.
void Walk(const std::shared_ptr<const ReleaseRoot>& root, std::vector<ReleaseFile>& files,
          std::vector<std::string>& problems) {
    WalkQueue queue;
    queue.waiting.emplace_back();
    size_t threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    std::vector<std::vector<ReleaseFile>> filesOf(threads);
    std::vector<std::vector<std::string>> problemsOf(threads);
    auto worker = [&](size_t index) {
        std::unique_lock<std::mutex> hold(queue.lock);
        for (;;) {
            queue.changed.wait(hold, [&] { return !queue.waiting.empty() || queue.busy == 0; });
            if (queue.waiting.empty()) return;  // nothing waits and nobody reads: done
            std::string prefix = std::move(queue.waiting.back());
            queue.waiting.pop_back();
            ++queue.busy;
            hold.unlock();
            std::vector<std::string> found;
            WalkFolder(root, prefix, filesOf[index], problemsOf[index], found);
            hold.lock();
            for (std::string& folder : found) queue.waiting.push_back(std::move(folder));
            --queue.busy;
            queue.changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (size_t i = 1; i < threads; ++i) pool.emplace_back(worker, i);
    worker(0);
    for (std::thread& thread : pool) thread.join();
    size_t total = 0;
    for (const auto& some : filesOf) total += some.size();
    files.reserve(files.size() + total);
    for (auto& some : filesOf) std::move(some.begin(), some.end(), std::back_inserter(files));
    std::vector<std::string> found;
    for (auto& some : problemsOf) std::move(some.begin(), some.end(), std::back_inserter(found));
    std::sort(found.begin(), found.end());  // the same order whichever thread saw what
    std::move(found.begin(), found.end(), std::back_inserter(problems));
}

bool QuickCheckPasses(const ReleaseFile& file, const LiveFile& live, int64_t recordStartedNs,
                      const std::string& serverDir, bool statLive, FileStamp& liveStamp) {
    if (!live.recorded || file.stamp.size != live.entry.size || live.releaseMtimeNs != file.stamp.mtimeNs ||
        live.releaseMtimeNs >= recordStartedNs - kRacyNs)
        return false;
    if (!statLive) {
        liveStamp = live.published;
        return true;
    }
    return StampOf(LiveFilePath(serverDir, file.path), liveStamp) && SameStamp(liveStamp, live.published);
}

// For tests: with QUILLOR_PUBLISH_PAUSE_AFTER_SCAN=FILE set, the scan creates FILE and waits until
// it is gone (at most 30 s), so that a test can change the release between the scan and the reads.
void PauseAfterScan() {
    const char* marker = std::getenv("QUILLOR_PUBLISH_PAUSE_AFTER_SCAN");
    if (marker == nullptr || *marker == '\0') return;
    std::string ignored;
    if (!WriteFileAtomic(marker, "", 0, 0644, true, ignored)) return;
    for (int i = 0; i < 3000 && PathExists(marker); ++i) usleep(10000);
}

}  // namespace

std::string SourceName(const ReleaseFile& file) { return JoinPath(file.folder->dir, file.path); }

void WalkRelease(const std::string& dir, std::vector<ReleaseFile>& files, std::vector<std::string>& problems) {
    auto root = std::make_shared<ReleaseRoot>();
    root->fd = UniqueFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    root->dir = dir;
    if (!root->fd.Valid()) {
        problems.push_back(ErrnoText(dir));
        return;
    }
    Walk(root, files, problems);
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    files.shrink_to_fit();  // the list lives through the whole publish
    PauseAfterScan();
}

bool ReadHashCopyRelease(const ReleaseFile& file, const std::string& target, std::vector<char>& buffer,
                         std::string& sha256, FileStamp& sourceStamp, FileStamp& targetStamp,
                         std::atomic<uint64_t>* done, std::string& error, BlockMaker* blocks) {
    UniqueFd in(OpenBeneath(file.folder->fd.Get(), file.path, O_RDONLY | O_NONBLOCK));
    if (!in.Valid()) {
        error = errno == ELOOP || errno == EXDEV
                    ? file.path + ": a folder on its path is a symbolic link now (it was none when the release "
                                  "was scanned); refusing to follow it"
                    : ErrnoText(SourceName(file));
        return false;
    }
    return ReadHashCopyOpen(in.Get(), SourceName(file), target, buffer, sha256, sourceStamp, targetStamp, done, error,
                            blocks);
}

std::string LiveFilePath(const std::string& serverDir, const std::string& path) {
    return JoinPath(JoinPath(serverDir, "files"), path);
}

bool ReadTreeManifest(const std::string& dir, uint64_t maxBytes, uint64_t& serial,
                      std::vector<ManifestEntry>& entries, std::string& error) {
    std::vector<uint8_t> text;
    return ReadWholeFile(JoinPath(dir, "manifest.txt"), maxBytes, text, error) &&
           ParseManifest(text, serial, entries, error);
}

void SetLiveEntries(std::vector<ManifestEntry>&& entries, LiveTree& live) {
    auto byPath = [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; };
    if (!std::is_sorted(entries.begin(), entries.end(), byPath)) std::stable_sort(entries.begin(), entries.end(), byPath);
    live.files.clear();
    live.files.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        // Of lines with the same path the last one counts, as it always has.
        if (i + 1 < entries.size() && entries[i + 1].path == entries[i].path) continue;
        live.files.emplace_back();
        live.files.back().entry = std::move(entries[i]);
    }
    entries.clear();
}

const LiveFile* FindLive(const LiveTree& live, const std::string& path) {
    auto found = std::lower_bound(live.files.begin(), live.files.end(), path,
                                  [](const LiveFile& file, const std::string& key) { return file.entry.path < key; });
    return found != live.files.end() && found->entry.path == path ? &*found : nullptr;
}

namespace {

// A missing or malformed record leaves every file unrecorded: everything is then read afresh.
void AttachRecord(const std::string& path, LiveTree& live) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadWholeFile(path, 1ull << 30, bytes, error)) {
        if (PathExists(path)) std::fprintf(stderr, "warning: %s (every file is read afresh)\n", error.c_str());
        return;
    }
    std::string key;
    bool whole = ParseRecord(bytes, live.recordStartedNs, [&](const RecordLine& line) {
        key.assign(line.path);
        auto* file = const_cast<LiveFile*>(FindLive(live, key));
        if (file == nullptr) return;
        file->recorded = line.sha256 == file->entry.sha256 && line.size == file->entry.size;
        file->releaseMtimeNs = line.releaseMtimeNs;
        file->published = line.published;
    });
    if (whole) return;
    live.recordStartedNs = 0;
    for (LiveFile& file : live.files) file.recorded = false;
}

}  // namespace

bool ReadLiveTree(const std::string& serverDir, LiveTree& live, std::string& error) {
    if (!PathExists(JoinPath(serverDir, "manifest.txt"))) return true;
    std::vector<ManifestEntry> entries;
    if (!ReadTreeManifest(serverDir, 256ull << 20, live.serial, entries, error)) return false;
    SetLiveEntries(std::move(entries), live);
    live.present = true;
    AttachRecord(RecordPathFor(serverDir), live);
    return true;
}

std::vector<PlannedFile> PlanFiles(const std::vector<ReleaseFile>& release, const LiveTree& live,
                                   const std::string& serverDir, bool checksum, bool statLive) {
    std::vector<PlannedFile> plan;
    plan.reserve(release.size());
    for (const ReleaseFile& file : release) {
        PlannedFile planned;
        planned.release = &file;
        if (const LiveFile* found = FindLive(live, file.path)) {
            planned.live = &found->entry;
            if (checksum && file.stamp.size == found->entry.size)
                planned.action = FileAction::Compare;
            else if (!checksum &&
                     QuickCheckPasses(file, *found, live.recordStartedNs, serverDir, statLive, planned.liveStamp))
                planned.action = FileAction::Take;
        }
        plan.push_back(planned);
    }
    return plan;
}
