// Modification times of a new server tree: equal for unchanged bodies, later for new ones.
#include "body_times.h"

#include "fs_util.h"
#include "update/manifest.h"

#include <ctime>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>

namespace {

bool SetTime(const std::string& path, const timespec& when, std::string& error) {
    timespec times[2] = {{0, UTIME_OMIT}, when};
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0) return true;
    error = ErrnoText(path);
    return false;
}

}  // namespace

bool SetBodyTimes(const std::string& root, const std::string& serverDir,
                  const std::vector<PublishedFile>& files, std::string& error) {
    // The live manifest is written last, so its time bounds every body of the live tree; a
    // live body changed after that (by hand) is not trusted to carry its time over.
    std::map<std::string, const ManifestEntry*> live;
    std::vector<ManifestEntry> entries;
    struct stat liveManifest {};
    std::vector<uint8_t> text;
    uint64_t serial = 0;
    std::string ignored;
    std::string manifestPath = JoinPath(serverDir, "manifest.txt");
    if (lstat(manifestPath.c_str(), &liveManifest) == 0 && S_ISREG(liveManifest.st_mode) &&
        ReadWholeFile(manifestPath, 256ull << 20, text, ignored) && ParseManifest(text, serial, entries, ignored)) {
        for (const ManifestEntry& entry : entries) live[entry.path] = &entry;
    }
    timespec fresh{time(nullptr), 0};
    if (fresh.tv_sec <= liveManifest.st_mtim.tv_sec) fresh.tv_sec = liveManifest.st_mtim.tv_sec + 1;

    for (const PublishedFile& file : files) {
        timespec when = fresh;
        auto old = live.find(file.path);
        struct stat st;
        if (old != live.end() && old->second->sha256 == file.sha256 && old->second->size == file.size &&
            lstat(JoinPath(JoinPath(serverDir, "files"), file.path).c_str(), &st) == 0 &&
            S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == file.size &&
            st.st_mtim.tv_sec <= liveManifest.st_mtim.tv_sec)
            when = st.st_mtim;
        if (!SetTime(JoinPath(JoinPath(root, "files"), file.path), when, error)) return false;
    }
    return SetTime(JoinPath(root, "manifest.txt"), fresh, error) &&
           SetTime(JoinPath(root, "manifest.sig"), fresh, error);
}
