// Moving file bytes for a publish: read once to hash and copy, on all cores, or take a live file over.
#include "tree/copy_engine.h"

#include "core/digest.h"
#include "core/fs_util.h"
#include "core/block_maker.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

// The change time moves with every write, also one that restores size and modification time.
bool SameState(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec && a.st_ino == b.st_ino;
}

enum class ReadOutcome { Done, Changed, Failed };

ReadOutcome ReadOnce(int in, int out, std::vector<char>& buffer, std::string& sha256, struct stat& before,
                     std::atomic<uint64_t>* done, const std::string& source, const std::string& target,
                     BlockMaker* blocks, std::string& error) {
    if (fstat(in, &before) != 0 || !S_ISREG(before.st_mode)) {
        error = source + ": not a regular file";
        return ReadOutcome::Failed;
    }
    if (out >= 0 && (ftruncate(out, 0) != 0 || lseek(out, 0, SEEK_SET) != 0)) {
        error = ErrnoText(target);
        return ReadOutcome::Failed;
    }
    Sha256 hash;
    uint64_t total = 0;
    if (blocks != nullptr) StartBlocks(*blocks, static_cast<uint64_t>(before.st_size));
    for (off_t offset = 0;;) {
        ssize_t got = pread(in, buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = ErrnoText(source);
            return ReadOutcome::Failed;
        }
        if (got == 0) break;
        hash.Update(buffer.data(), static_cast<size_t>(got));
        if (blocks != nullptr) AddBlockBytes(*blocks, reinterpret_cast<const uint8_t*>(buffer.data()), static_cast<size_t>(got));
        if (out >= 0 && !WriteAll(out, buffer.data(), static_cast<size_t>(got))) {
            error = ErrnoText(target);
            return ReadOutcome::Failed;
        }
        offset += got;
        total += static_cast<uint64_t>(got);
        if (done != nullptr) *done += static_cast<uint64_t>(got);
    }
    struct stat after;
    if (fstat(in, &after) != 0) {
        error = ErrnoText(source);
        return ReadOutcome::Failed;
    }
    if (!SameState(before, after) || total != static_cast<uint64_t>(before.st_size)) {
        if (done != nullptr) *done -= total;
        return ReadOutcome::Changed;
    }
    sha256 = hash.FinishHex();
    return ReadOutcome::Done;
}

// A file system that offers neither hard links nor reflinks still copies inside the kernel.
bool CopyRange(int in, int out, uint64_t size) {
    for (uint64_t left = size; left > 0;) {
        ssize_t moved = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(std::min<uint64_t>(left, 1u << 30)), 0);
        if (moved < 0 && errno == EINTR) continue;
        if (moved <= 0) return false;
        left -= static_cast<uint64_t>(moved);
    }
    return true;
}

bool CopyPlain(int in, int out, std::vector<char>& buffer) {
    for (off_t offset = 0;;) {
        ssize_t got = pread(in, buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (!WriteAll(out, buffer.data(), static_cast<size_t>(got))) return false;
        offset += got;
    }
}

}  // namespace

FileStamp ToStamp(const struct stat& st) {
    FileStamp stamp;
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.inode = static_cast<uint64_t>(st.st_ino);
    return stamp;
}

int OpenBeneathBySegments(int dirFd, const std::string& relative, int flags) {
    UniqueFd folder;
    int at = dirFd;
    for (size_t start = 0;;) {
        size_t slash = relative.find('/', start);
        std::string name = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (name.empty() || name == "." || name == "..") {
            errno = EXDEV;  // what openat2 answers for a path that would leave the folder
            return -1;
        }
        if (slash == std::string::npos) return openat(at, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
        folder = UniqueFd(openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        // With O_DIRECTORY a link gives ENOTDIR; said as openat2 says it.
        if (!folder.Valid() && errno == ENOTDIR && fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            errno = ELOOP;
        if (!folder.Valid()) return -1;
        at = folder.Get();
        start = slash + 1;
    }
}

int OpenBeneath(int dirFd, const std::string& relative, int flags) {
    // Cleared once the kernel (or a container's seccomp filter, which older runtimes make answer
    // EPERM) has refused the call.
    static std::atomic<bool> haveOpenat2{true};
    if (haveOpenat2) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
        int fd = -1;
        // EAGAIN: a rename anywhere raced with the lookup, which RESOLVE_BENEATH never lets pass.
        for (int attempt = 0; attempt < 8; ++attempt) {
            fd = static_cast<int>(syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how));
            if (fd >= 0 || errno != EAGAIN) break;
        }
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
        haveOpenat2 = false;
    }
    return OpenBeneathBySegments(dirFd, relative, flags);
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
    return a.size == b.size && a.mtimeNs == b.mtimeNs && a.inode == b.inode;
}

bool StampOf(const std::string& path, FileStamp& stamp) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    stamp = ToStamp(st);
    return true;
}

bool ForEachParallel(size_t count,
                     const std::function<bool(size_t, std::vector<char>&, std::string&)>& work,
                     std::string& error, size_t workers) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorLock;
    auto worker = [&]() {
        std::vector<char> buffer(1 << 20);
        for (size_t index; !failed && (index = next++) < count;) {
            std::string message;
            if (work(index, buffer, message)) continue;
            std::lock_guard<std::mutex> hold(errorLock);
            if (!failed.exchange(true)) error = message;
        }
    };
    size_t threads = std::max<size_t>(1, std::min<size_t>(workers ? workers : std::thread::hardware_concurrency(), count));
    std::vector<std::thread> pool;
    for (size_t i = 1; i < threads; ++i) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
    return !failed;
}

std::vector<std::pair<size_t, size_t>> FolderRuns(size_t count, const std::function<bool(size_t)>& sameFolder,
                                                  size_t limit) {
    std::vector<std::pair<size_t, size_t>> runs;
    for (size_t i = 0; i < count; ++i) {
        if (i == 0 || !sameFolder(i) || i - runs.back().first >= limit) runs.emplace_back(i, i);
        runs.back().second = i + 1;
    }
    return runs;
}

bool ReadHashCopy(const std::string& source, const std::string& target, std::vector<char>& buffer,
                  std::string& sha256, FileStamp& sourceStamp, FileStamp& targetStamp,
                  std::atomic<uint64_t>* done, std::string& error, BlockMaker* blocks) {
    UniqueFd in(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.Valid()) {
        error = ErrnoText(source);
        return false;
    }
    return ReadHashCopyOpen(in.Get(), source, target, buffer, sha256, sourceStamp, targetStamp, done, error, blocks);
}

bool ReadHashCopyOpen(int in, const std::string& source, const std::string& target, std::vector<char>& buffer,
                      std::string& sha256, FileStamp& sourceStamp, FileStamp& targetStamp,
                      std::atomic<uint64_t>* done, std::string& error, BlockMaker* blocks) {
    UniqueFd out;
    if (!target.empty()) {
        out = UniqueFd(open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!out.Valid()) {
            error = ErrnoText(target);
            return false;
        }
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat before;
        ReadOutcome outcome = ReadOnce(in, out.Get(), buffer, sha256, before, done, source, target, blocks, error);
        if (outcome == ReadOutcome::Failed) return false;
        if (outcome == ReadOutcome::Changed) continue;
        sourceStamp = ToStamp(before);
        struct stat written;
        if (out.Valid()) {
            // Starts the write-back now, so the flush before the swap has little left to wait for.
            sync_file_range(out.Get(), 0, 0, SYNC_FILE_RANGE_WRITE);
            if (fstat(out.Get(), &written) != 0 || close(out.Release()) != 0) {
                error = ErrnoText(target);
                return false;
            }
            targetStamp = ToStamp(written);
        }
        return true;
    }
    error = source + ": changed while it was being read (three times); publish it once it is finished";
    return false;
}

bool TakeOver(const std::string& live, const std::string& target, const FileStamp& expected,
              std::vector<char>& buffer, FileStamp& targetStamp, bool& changed, std::string& error) {
    return TakeOverAt(AT_FDCWD, live.c_str(), AT_FDCWD, target.c_str(), target, expected, buffer, targetStamp,
                      changed, error);
}

bool TakeOverAt(int liveDir, const char* live, int targetDir, const char* target, const std::string& shownTarget,
                const FileStamp& expected, std::vector<char>& buffer, FileStamp& targetStamp, bool& changed,
                std::string& error) {
    changed = false;
    if (linkat(liveDir, live, targetDir, target, 0) == 0) {
        // Same inode under both names, so the check covers the bytes now published.
        struct stat st;
        changed = fstatat(targetDir, target, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
                  !SameStamp(targetStamp = ToStamp(st), expected);
        if (changed) unlinkat(targetDir, target, 0);
        return !changed;
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        changed = true;  // the live copy or its folder is gone: as a failed quick check
        return false;
    }
    if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != ENOTSUP && errno != EOPNOTSUPP) {
        error = ErrnoText(shownTarget);
        return false;
    }
    UniqueFd in(openat(liveDir, live, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat before, after, written;
    if (!in.Valid() || fstat(in.Get(), &before) != 0 || !S_ISREG(before.st_mode) ||
        !SameStamp(ToStamp(before), expected)) {
        changed = true;
        return false;
    }
    UniqueFd out(openat(targetDir, target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!out.Valid()) {
        error = ErrnoText(shownTarget);
        return false;
    }
    bool copied = ioctl(out.Get(), FICLONE, in.Get()) == 0 || CopyRange(in.Get(), out.Get(), expected.size) ||
                  (ftruncate(out.Get(), 0) == 0 && lseek(out.Get(), 0, SEEK_SET) == 0 &&
                   CopyPlain(in.Get(), out.Get(), buffer));
    if (!copied || fstat(out.Get(), &written) != 0 || close(out.Release()) != 0) {
        error = ErrnoText(shownTarget);
        return false;
    }
    changed = fstat(in.Get(), &after) != 0 || !SameState(before, after) ||
              static_cast<uint64_t>(written.st_size) != expected.size;
    if (changed) unlinkat(targetDir, target, 0);
    targetStamp = ToStamp(written);
    return !changed;
}
