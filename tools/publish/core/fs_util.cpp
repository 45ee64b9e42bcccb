// Small POSIX file helpers for the publisher: owned descriptors, atomic writes, tree removal.
#include "core/fs_util.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) close(fd_);
}

int UniqueFd::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

std::string ErrnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

namespace {

// ReadWholeFile's reading; absent (when not null) is set instead of failing where the name is
// missing, a symbolic link (the link is not followed) or not a regular file.
bool ReadFileOpening(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& bytes, bool* absent,
                     std::string& error) {
    // Non-blocking, so that a FIFO or a device under the name is refused at once, never waited on.
    const int noFollow = absent != nullptr ? O_NOFOLLOW : 0;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | noFollow));
    struct stat st;
    if (absent != nullptr) *absent = false;
    if (absent != nullptr && !fd.Valid() && (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)) {
        *absent = true;
        return false;
    }
    if (!fd.Valid() || fstat(fd.Get(), &st) != 0) {
        error = ErrnoText(path);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        if (absent != nullptr) *absent = true;
        error = path + ": not a regular file; refusing to read it";
        return false;
    }
    bytes.clear();
    if (static_cast<uint64_t>(st.st_size) <= maxBytes) bytes.reserve(static_cast<size_t>(st.st_size));
    uint8_t buffer[65536];
    for (;;) {
        ssize_t got = read(fd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = ErrnoText(path);
            return false;
        }
        if (got == 0) return true;
        if (bytes.size() + static_cast<uint64_t>(got) > maxBytes) {
            error = path + ": larger than " + std::to_string(maxBytes) + " bytes";
            return false;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
}

}  // namespace

bool ReadWholeFile(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& bytes,
                   std::string& error) {
    return ReadFileOpening(path, maxBytes, bytes, nullptr, error);
}

ReadResult ReadFileIfThere(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& bytes,
                           std::string& error) {
    bool absent = false;
    if (ReadFileOpening(path, maxBytes, bytes, &absent, error)) return ReadResult::Read;
    return absent ? ReadResult::Absent : ReadResult::Failed;
}

bool LstatIfThere(const std::string& path, bool& present, struct stat& st, std::string& error) {
    present = lstat(path.c_str(), &st) == 0;
    if (present || errno == ENOENT || errno == ENOTDIR) return true;
    error = ErrnoText(path);
    return false;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t done = write(fd, p, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

std::string CheckHex(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (char ch : text) {
        hash ^= static_cast<uint8_t>(ch);
        hash *= 16777619u;
    }
    std::string hex;
    for (int shift = 28; shift >= 0; shift -= 4) hex += "0123456789abcdef"[(hash >> shift) & 15];
    return hex;
}

namespace {

const char kHexDigits[] = "0123456789abcdef";

std::string NameCheck(const std::string& baseName, const std::string& random) {
    return CheckHex(baseName + "\n" + random + "\nquillor-publish");
}

bool IsLowerHex(const std::string& text) {
    for (char ch : text)
        if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return false;
    return true;
}

}  // namespace

std::string OwnTempName(const std::string& base) {
    std::string parent, name;
    SplitPath(base, parent, name);
    uint8_t bytes[4] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        uint32_t fallback = static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(clock());
        std::memcpy(bytes, &fallback, sizeof bytes);
    }
    std::string random;
    for (uint8_t byte : bytes) {
        random += kHexDigits[byte >> 4];
        random += kHexDigits[byte & 15];
    }
    return base + ".tmp-" + random + NameCheck(name, random);
}

bool IsOwnTempName(const std::string& entry, const std::string& baseName, const std::string& suffix) {
    const std::string prefix = baseName + ".tmp-";
    if (entry.size() != prefix.size() + 16 + suffix.size() || entry.compare(0, prefix.size(), prefix) != 0 ||
        entry.compare(prefix.size() + 16, std::string::npos, suffix) != 0)
        return false;
    std::string random = entry.substr(prefix.size(), 8);
    std::string check = entry.substr(prefix.size() + 8, 8);
    return IsLowerHex(random) && check == NameCheck(baseName, random);
}

bool MakeOwnTempDir(const std::string& base, std::string& path, std::string& error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = OwnTempName(base);
        if (mkdir(path.c_str(), 0777) == 0) return true;
        if (errno != EEXIST) break;
    }
    error = ErrnoText(path);
    path.clear();
    return false;
}

bool SyncParent(const std::string& path, std::string& error) {
    std::string parent, name;
    SplitPath(path, parent, name);
    UniqueFd fd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // EINVAL: a file system that cannot flush folders (some FUSE ones); there is nothing to wait for.
    if (fd.Valid() && (fsync(fd.Get()) == 0 || errno == EINVAL)) return true;
    error = ErrnoText(parent);
    return false;
}

bool WriteTempBeside(const std::string& path, const void* data, size_t size, unsigned mode,
                     std::string& temp, std::string& error) {
    // Created 0600, so a private key is never readable by others, not even briefly.
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd.Valid(); ++attempt) {
        temp = OwnTempName(path);
        fd = UniqueFd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.Valid() && errno != EEXIST) break;
    }
    if (!fd.Valid()) {
        error = ErrnoText(path);
        return false;
    }
    bool ok = fchmod(fd.Get(), mode) == 0 && WriteAll(fd.Get(), data, size) && fsync(fd.Get()) == 0;
    if (ok) ok = close(fd.Release()) == 0;
    if (!ok) {
        error = ErrnoText(path);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool RenameTemp(const std::string& temp, const std::string& path, bool noReplace, std::string& error) {
    int rc = noReplace ? renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE)
                       : rename(temp.c_str(), path.c_str());
    if (rc != 0 && noReplace && (errno == EINVAL || errno == ENOSYS)) {
        // Without renameat2's flags a second name refuses an existing path just as well.
        rc = link(temp.c_str(), path.c_str());
        if (rc == 0) unlink(temp.c_str());
    }
    if (rc != 0) {
        error = errno == EEXIST ? path + ": already exists (use --force to replace it)" : ErrnoText(path);
        unlink(temp.c_str());
        return false;
    }
    return SyncParent(path, error);
}

bool WriteFileAtomic(const std::string& path, const void* data, size_t size, unsigned mode,
                     bool noReplace, std::string& error) {
    std::string temp;
    return WriteTempBeside(path, data, size, mode, temp, error) && RenameTemp(temp, path, noReplace, error);
}

bool LockExclusive(const std::string& lockPath, UniqueFd& lock, std::string& error) {
    lock = UniqueFd(open(lockPath.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW, 0644));
    struct stat st;
    if (!lock.Valid() || fstat(lock.Get(), &st) != 0) {
        error = ErrnoText(lockPath);
        lock = UniqueFd();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = lockPath + ": not a regular file, so it cannot be the lock; refusing to go on";
        lock = UniqueFd();
        return false;
    }
    if (flock(lock.Get(), LOCK_EX | LOCK_NB) == 0) return true;
    error = errno == EWOULDBLOCK ? lockPath + " is held: another publish into this server folder is running"
                                 : ErrnoText(lockPath);
    lock = UniqueFd();
    return false;
}

// type is the entry's d_type where the folder listing gave one (DT_UNKNOWN: ask the file system).
static bool RemoveTreeAt(int parentFd, const char* name, unsigned char type, std::string& error,
                         const std::string& shown) {
    struct stat st;
    if (type == DT_UNKNOWN) {
        if (fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) return true;
            error = ErrnoText(shown);
            return false;
        }
        type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    }
    if (type != DT_DIR) {
        if (unlinkat(parentFd, name, 0) == 0 || errno == ENOENT) return true;
        error = ErrnoText(shown);
        return false;
    }
    int dirFd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0 && errno == ENOENT) return true;
    DIR* dir = dirFd >= 0 ? fdopendir(dirFd) : nullptr;
    if (dir == nullptr) {
        if (dirFd >= 0) close(dirFd);
        error = ErrnoText(shown);
        return false;
    }
    bool ok = true;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (!RemoveTreeAt(dirfd(dir), entry->d_name, entry->d_type, error, shown + "/" + entry->d_name)) {
            ok = false;
            break;
        }
    }
    closedir(dir);
    if (ok && unlinkat(parentFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        error = ErrnoText(shown);
        ok = false;
    }
    return ok;
}

bool RemoveTree(const std::string& path, std::string& error) {
    return RemoveTreeAt(AT_FDCWD, path.c_str(), DT_UNKNOWN, error, path);
}

void SplitPath(const std::string& path, std::string& parent, std::string& name) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) {
        parent = ".";
        name = trimmed;
    } else {
        parent = slash == 0 ? "/" : trimmed.substr(0, slash);
        name = trimmed.substr(slash + 1);
    }
}

std::string BesidePath(const std::string& path, const std::string& suffix) {
    std::string parent, name;
    SplitPath(path, parent, name);
    return JoinPath(parent, name + suffix);
}

std::string JoinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (a.back() == '/') return a + b;
    return a + "/" + b;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
