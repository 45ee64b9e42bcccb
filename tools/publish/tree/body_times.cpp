// Modification times of a new server tree: equal for unchanged bodies, later for new ones.
#include "tree/body_times.h"

#include "core/fs_util.h"

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

bool SetTime(const std::string& path, const timespec& when, std::string& error) {
    timespec times[2] = {{0, UTIME_OMIT}, when};
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0) return true;
    error = ErrnoText(path);
    return false;
}

timespec ToTimespec(int64_t ns) {
    timespec when{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    if (when.tv_nsec < 0) {
        when.tv_nsec += 1000000000;
        --when.tv_sec;
    }
    return when;
}

}  // namespace

void ReadBodyTimeBounds(const std::string& serverDir, const std::string& otherTree, BodyTimeBounds& bounds) {
    // Publish makes the manifest the newest file of a tree, so its time bounds every body of the
    // live tree; a live body changed after it (by hand) is not trusted to carry its time over.
    bounds.serverDir = serverDir;
    struct stat liveManifest {}, other {};
    if (lstat(JoinPath(serverDir, "manifest.txt").c_str(), &liveManifest) == 0 && S_ISREG(liveManifest.st_mode))
        bounds.liveManifest = liveManifest.st_mtim;
    bounds.bound = liveManifest.st_mtim.tv_sec;
    if (!otherTree.empty() && lstat(JoinPath(otherTree, "manifest.txt").c_str(), &other) == 0)
        bounds.bound = std::max(bounds.bound, other.st_mtim.tv_sec);
    bounds.fresh = timespec{time(nullptr), 0};
    if (bounds.fresh.tv_sec <= bounds.bound) bounds.fresh.tv_sec = bounds.bound + 1;
}

bool SetBodyTime(const BodyTimeBounds& bounds, const BodyFile& file, FileStamp& stamp, timespec& latest,
                 std::string& error) {
    timespec own = ToTimespec(stamp.mtimeNs);
    struct stat st {};
    bool hasLive = file.sharesLiveInode;
    if (hasLive) {
        st.st_size = static_cast<off_t>(stamp.size);
        st.st_mtim = own;
    } else {
        hasLive = lstat(JoinPath(JoinPath(bounds.serverDir, "files"), file.path).c_str(), &st) == 0 &&
                  S_ISREG(st.st_mode);
    }
    // A new body may keep its own time (a copy that kept the release file's) when that is later
    // than every earlier body; the manifests' times bound those, except a live copy changed by
    // hand after them (ETags count whole seconds, so one second past that).
    time_t floor = bounds.bound;
    if (hasLive && st.st_mtim.tv_sec > floor) floor = st.st_mtim.tv_sec;
    timespec when = own.tv_sec > floor ? own : timespec{std::max(bounds.fresh.tv_sec, floor + 1), 0};
    if (file.live != nullptr && file.live->sha256 == file.sha256 && file.live->size == file.size &&
        !file.liveDiffers && hasLive && static_cast<uint64_t>(st.st_size) == file.size &&
        st.st_mtim.tv_sec <= bounds.liveManifest.tv_sec)
        when = st.st_mtim;
    if (when.tv_sec > latest.tv_sec) latest = timespec{when.tv_sec, 0};
    // A body linked from the live tree already has its time; it is not touched.
    if (when.tv_sec == own.tv_sec && when.tv_nsec == own.tv_nsec) return true;
    if (!SetTime(file.fullPath, when, error)) return false;
    // Read back rather than assumed: a file system may keep times more coarsely.
    StampOf(file.fullPath, stamp);
    return true;
}

bool SetManifestTimes(const std::string& root, const timespec& latest, std::string& error) {
    return SetTime(JoinPath(root, "manifest.txt"), latest, error) &&
           SetTime(JoinPath(root, "manifest.sig"), latest, error);
}
