// Modification times of a new server tree: equal for unchanged bodies, later for new ones.
#include "body_times.h"

#include "fs_util.h"
#include "update/manifest.h"

#include <algorithm>
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

bool SetBodyTimes(const std::string& root, const std::string& serverDir, const std::vector<PublishedFile>& files,
                  const std::set<std::string>& liveDiffers, timespec& latest, std::string& error) {
    // Publish makes the manifest the newest file of a tree, so its time bounds every body of the
    // live tree; a live body changed after it (by hand) is not trusted to carry its time over.
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
    latest = fresh;

    for (const PublishedFile& file : files) {
        std::string path = JoinPath(JoinPath(root, "files"), file.path);
        struct stat own, st;
        if (lstat(path.c_str(), &own) != 0) {
            error = ErrnoText(path);
            return false;
        }
        bool hasLive = lstat(JoinPath(JoinPath(serverDir, "files"), file.path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
        // A new body may keep its own time (a copy that kept the release file's) when that is
        // later than every earlier body; the manifest's time bounds those, except a live copy
        // changed by hand after it (ETags count whole seconds, so one second past that).
        time_t floor = liveManifest.st_mtim.tv_sec;
        if (hasLive && st.st_mtim.tv_sec > floor) floor = st.st_mtim.tv_sec;
        timespec when = own.st_mtim.tv_sec > floor ? own.st_mtim : timespec{std::max(fresh.tv_sec, floor + 1), 0};
        auto old = live.find(file.path);
        if (old != live.end() && old->second->sha256 == file.sha256 && old->second->size == file.size &&
            liveDiffers.count(file.path) == 0 && hasLive && static_cast<uint64_t>(st.st_size) == file.size &&
            st.st_mtim.tv_sec <= liveManifest.st_mtim.tv_sec)
            when = st.st_mtim;
        if (when.tv_sec > latest.tv_sec) latest = timespec{when.tv_sec, 0};
        // A body linked from the live tree already has its time; it is not touched.
        if ((when.tv_sec != own.st_mtim.tv_sec || when.tv_nsec != own.st_mtim.tv_nsec) && !SetTime(path, when, error))
            return false;
    }
    return true;
}

bool SetManifestTimes(const std::string& root, const timespec& latest, std::string& error) {
    return SetTime(JoinPath(root, "manifest.txt"), latest, error) &&
           SetTime(JoinPath(root, "manifest.sig"), latest, error);
}
