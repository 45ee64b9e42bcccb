// What a publish would do with each release file: read it afresh, or take the live copy over.
#include "plan.h"

#include "fs_util.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int64_t kRacyNs = 1000000000;  // well above any file system's time-stamp granularity

void Walk(int dirFd, const std::string& dir, const std::string& prefix, const std::shared_ptr<const UniqueFd>& root,
          std::vector<ReleaseFile>& files, std::vector<std::string>& problems) {
    int listFd = dup(dirFd);
    DIR* handle = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (handle == nullptr) {
        if (listFd >= 0) close(listFd);
        problems.push_back(ErrnoText(dir));
        return;
    }
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(handle)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    closedir(handle);
    for (const std::string& name : names) {
        std::string source = JoinPath(dir, name);
        std::string path = prefix.empty() ? name : prefix + "/" + name;
        struct stat st;
        // A link would publish whatever it points to at that moment, possibly outside the release.
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            problems.push_back(ErrnoText(source));
        } else if (S_ISLNK(st.st_mode)) {
            problems.push_back("symbolic link in the release (copy the real file instead): " + path);
        } else if (S_ISDIR(st.st_mode)) {
            UniqueFd sub(openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.Valid())
                Walk(sub.Get(), source, path, root, files, problems);
            else
                problems.push_back(ErrnoText(source));
        } else if (S_ISREG(st.st_mode)) {
            files.push_back(ReleaseFile{path, source, ToStamp(st), root});
        } else {
            problems.push_back("not a regular file: " + path);
        }
    }
}

bool QuickCheckPasses(const ReleaseFile& file, const ManifestEntry& entry, const PublishRecord& record,
                      const std::string& serverDir, FileStamp& liveStamp) {
    auto found = record.entries.find(file.path);
    if (found == record.entries.end()) return false;
    const RecordEntry& recorded = found->second;
    return recorded.sha256 == entry.sha256 && recorded.size == entry.size && file.stamp.size == entry.size &&
           recorded.releaseMtimeNs == file.stamp.mtimeNs && recorded.releaseMtimeNs < record.startedNs - kRacyNs &&
           StampOf(LiveFilePath(serverDir, file.path), liveStamp) && SameStamp(liveStamp, recorded.published);
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

void WalkRelease(const std::string& dir, std::vector<ReleaseFile>& files, std::vector<std::string>& problems) {
    auto root = std::make_shared<const UniqueFd>(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root->Valid()) {
        problems.push_back(ErrnoText(dir));
        return;
    }
    Walk(root->Get(), dir, "", root, files, problems);
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    PauseAfterScan();
}

bool ReadHashCopyRelease(const ReleaseFile& file, const std::string& target, std::vector<char>& buffer,
                         std::string& sha256, FileStamp& sourceStamp, FileStamp& targetStamp,
                         std::atomic<uint64_t>* done, std::string& error) {
    UniqueFd in(OpenBeneath(file.folder->Get(), file.path, O_RDONLY | O_NONBLOCK));
    if (!in.Valid()) {
        error = errno == ELOOP || errno == EXDEV
                    ? file.path + ": a folder on its path is a symbolic link now (it was none when the release "
                                  "was scanned); refusing to follow it"
                    : ErrnoText(file.source);
        return false;
    }
    return ReadHashCopyOpen(in.Get(), file.source, target, buffer, sha256, sourceStamp, targetStamp, done, error);
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

bool ReadLiveTree(const std::string& serverDir, LiveTree& live, std::string& error) {
    if (!PathExists(JoinPath(serverDir, "manifest.txt"))) return true;
    std::vector<ManifestEntry> entries;
    if (!ReadTreeManifest(serverDir, 256ull << 20, live.serial, entries, error)) return false;
    for (const ManifestEntry& entry : entries) live.entries[entry.path] = entry;
    live.present = true;
    live.record = ReadRecord(RecordPathFor(serverDir));
    return true;
}

std::vector<PlannedFile> PlanFiles(const std::vector<ReleaseFile>& release, const LiveTree& live,
                                   const std::string& serverDir, bool checksum) {
    std::vector<PlannedFile> plan;
    for (const ReleaseFile& file : release) {
        PlannedFile planned;
        planned.release = &file;
        auto entry = live.entries.find(file.path);
        if (entry != live.entries.end()) {
            planned.live = &entry->second;
            if (checksum && file.stamp.size == entry->second.size)
                planned.action = FileAction::Compare;
            else if (!checksum && QuickCheckPasses(file, entry->second, live.record, serverDir, planned.liveStamp))
                planned.action = FileAction::Take;
        }
        plan.push_back(planned);
    }
    return plan;
}
