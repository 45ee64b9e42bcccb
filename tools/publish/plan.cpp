// What a publish would do with each release file: read it afresh, or take the live copy over.
#include "plan.h"

#include "fs_util.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

constexpr int64_t kRacyNs = 1000000000;  // well above any file system's time-stamp granularity

void Walk(const std::string& dir, const std::string& prefix, std::vector<ReleaseFile>& files,
          std::vector<std::string>& problems) {
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) {
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
        if (lstat(source.c_str(), &st) != 0) {
            problems.push_back(ErrnoText(source));
        } else if (S_ISLNK(st.st_mode)) {
            problems.push_back("symbolic link in the release (copy the real file instead): " + path);
        } else if (S_ISDIR(st.st_mode)) {
            Walk(source, path, files, problems);
        } else if (S_ISREG(st.st_mode)) {
            ReleaseFile file{path, source, {}};
            StampOf(source, file.stamp);
            files.push_back(file);
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

}  // namespace

void WalkRelease(const std::string& dir, std::vector<ReleaseFile>& files, std::vector<std::string>& problems) {
    Walk(dir, "", files, problems);
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
}

std::string LiveFilePath(const std::string& serverDir, const std::string& path) {
    return JoinPath(JoinPath(serverDir, "files"), path);
}

bool ReadLiveTree(const std::string& serverDir, LiveTree& live, std::string& error) {
    std::string manifestPath = JoinPath(serverDir, "manifest.txt");
    if (!PathExists(manifestPath)) return true;
    std::vector<uint8_t> text;
    std::vector<ManifestEntry> entries;
    if (!ReadWholeFile(manifestPath, 256ull << 20, text, error) || !ParseManifest(text, live.serial, entries, error))
        return false;
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
