// Publishing a release: copy, hash, sign and swap in a complete server tree.
#include "publish.h"

#include "body_times.h"
#include "crypto.h"
#include "fs_util.h"
#include "path_rules.h"
#include "update/manifest.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct ReleaseFile {
    std::string path;    // relative, "/"-separated
    std::string source;  // where to read it
};

// Collects the regular files below dir. Symbolic links and special files are refused: a link
// would publish whatever it points to at that moment, possibly outside the release.
void WalkRelease(const std::string& dir, const std::string& prefix, std::vector<ReleaseFile>& files,
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
        if (lstat(source.c_str(), &st) != 0) {
            problems.push_back(ErrnoText(source));
        } else if (S_ISLNK(st.st_mode)) {
            problems.push_back("symbolic link in the release (copy the real file instead): " + path);
        } else if (S_ISDIR(st.st_mode)) {
            WalkRelease(source, path, files, problems);
        } else if (S_ISREG(st.st_mode)) {
            files.push_back({path, source});
        } else {
            problems.push_back("not a regular file: " + path);
        }
    }
}

std::string RealPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::string();
    std::string result(resolved);
    free(resolved);
    return result;
}

bool IsInside(const std::string& inner, const std::string& outer) {
    return inner == outer || (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
                              (outer == "/" || inner[outer.size()] == '/'));
}

// The server directory may be missing, or an earlier server tree; anything else is refused so
// that a mistyped path never gets replaced as a whole.
bool CheckServerDir(const PublishOptions& options, std::vector<std::string>& problems) {
    std::string parent, name;
    SplitPath(options.serverDir, parent, name);
    std::string realParent = RealPath(parent);
    std::string realRelease = RealPath(options.releaseDir);
    if (realParent.empty() || name.empty() || name == "." || name == "..") {
        problems.push_back(options.serverDir + ": the parent folder must exist");
        return false;
    }
    std::string realServer = JoinPath(realParent, name);
    if (IsInside(realServer, realRelease) || IsInside(realRelease, realServer)) {
        problems.push_back("the server folder and the release folder must not contain each other");
        return false;
    }
    struct stat st;
    if (lstat(options.serverDir.c_str(), &st) != 0) return true;
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
        problems.push_back(options.serverDir + ": exists and is not a folder (a symbolic link is refused too)");
        return false;
    }
    DIR* handle = opendir(options.serverDir.c_str());
    if (handle == nullptr) {
        problems.push_back(ErrnoText(options.serverDir));
        return false;
    }
    bool ok = true;
    while (struct dirent* entry = readdir(handle)) {
        std::string entryName = entry->d_name;
        if (entryName == "." || entryName == ".." || entryName == "manifest.txt" ||
            entryName == "manifest.sig" || entryName == "files")
            continue;
        problems.push_back(options.serverDir + " holds \"" + entryName +
                           "\", so it is not a server tree; refusing to replace it");
        ok = false;
    }
    closedir(handle);
    return ok;
}

bool CheckSerial(const PublishOptions& options, std::vector<std::string>& problems) {
    std::string manifestPath = JoinPath(options.serverDir, "manifest.txt");
    if (!PathExists(manifestPath)) return true;
    std::vector<uint8_t> text;
    std::string error;
    uint64_t oldSerial = 0;
    std::vector<ManifestEntry> entries;
    if (!ReadWholeFile(manifestPath, 256ull << 20, text, error) ||
        !ParseManifest(text, oldSerial, entries, error)) {
        if (options.force) return true;
        problems.push_back("cannot read the serial of the published manifest (" + error +
                           "); use --force to replace it anyway");
        return false;
    }
    if (options.serial < oldSerial && !options.force) {
        problems.push_back("serial " + std::to_string(options.serial) + " is lower than the published serial " +
                           std::to_string(oldSerial) +
                           "; installed updaters would refuse it (use --force to publish it anyway)");
        return false;
    }
    return true;
}

bool MakeParents(const std::string& root, const std::string& path, std::set<std::string>& made,
                 std::string& error) {
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string folder = path.substr(0, slash);
        if (!made.insert(folder).second) continue;
        std::string full = JoinPath(root, folder);
        if (mkdir(full.c_str(), 0777) != 0) {
            error = ErrnoText(full);
            return false;
        }
    }
    return true;
}

// Copies source to target and hashes the very bytes it writes, so the digest always matches
// the published copy even if the release file changes meanwhile.
bool CopyAndHash(const std::string& source, const std::string& target, PublishedFile& file,
                 std::vector<char>& buffer, std::string& error) {
    UniqueFd in(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!in.Valid() || fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = in.Valid() ? source + ": not a regular file" : ErrnoText(source);
        return false;
    }
    UniqueFd out(open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!out.Valid()) {
        error = ErrnoText(target);
        return false;
    }
    Sha256 hash;
    file.size = 0;
    for (;;) {
        ssize_t got = read(in.Get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = ErrnoText(source);
            return false;
        }
        if (got == 0) break;
        hash.Update(buffer.data(), static_cast<size_t>(got));
        if (!WriteAll(out.Get(), buffer.data(), static_cast<size_t>(got))) {
            error = ErrnoText(target);
            return false;
        }
        file.size += static_cast<uint64_t>(got);
    }
    file.sha256 = hash.FinishHex();
    if (close(out.Release()) != 0) {
        error = ErrnoText(target);
        return false;
    }
    return true;
}

bool WritePlain(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.Valid() || !WriteAll(fd.Get(), bytes.data(), bytes.size()) || close(fd.Release()) != 0) {
        error = ErrnoText(path);
        return false;
    }
    return true;
}

// Fills the fresh tree at root: files/, then manifest.txt and manifest.sig last.
bool BuildTree(const std::string& root, const PublishOptions& options, EVP_PKEY* key,
               const std::vector<ReleaseFile>& release, uint64_t& totalBytes, std::string& error) {
    std::string filesRoot = JoinPath(root, "files");
    if (mkdir(filesRoot.c_str(), 0777) != 0) {
        error = ErrnoText(filesRoot);
        return false;
    }
    std::set<std::string> made;
    std::vector<PublishedFile> published;
    std::vector<char> buffer(1 << 20);
    totalBytes = 0;
    for (const ReleaseFile& file : release) {
        PublishedFile entry;
        entry.path = file.path;
        if (!MakeParents(filesRoot, file.path, made, error) ||
            !CopyAndHash(file.source, JoinPath(filesRoot, file.path), entry, buffer, error))
            return false;
        totalBytes += entry.size;
        published.push_back(entry);
    }
    std::string text = BuildManifestText(options.serial, published);
    std::vector<uint8_t> manifest(text.begin(), text.end());
    std::vector<uint8_t> signature;
    if (!SignMessage(key, manifest, signature, error)) return false;
    if (!VerifyMessage(key, manifest, signature)) {
        error = "the new signature does not verify with the key's own public half";
        return false;
    }
    if (!WritePlain(JoinPath(root, "manifest.txt"), manifest, error) ||
        !WritePlain(JoinPath(root, "manifest.sig"), signature, error) ||
        !SetBodyTimes(root, options.serverDir, published, error))
        return false;
    // One flush of the whole file system instead of an fsync per file.
    UniqueFd rootFd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.Valid() || syncfs(rootFd.Get()) != 0) {
        error = ErrnoText(root);
        return false;
    }
    return true;
}

// Puts the new tree under the real name. The exchange is atomic: at every moment the name
// holds either the complete old tree or the complete new one.
bool SwapIn(const std::string& fresh, const std::string& serverDir, std::string& error) {
    if (!PathExists(serverDir)) {
        if (renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, serverDir.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        error = ErrnoText(serverDir);
        return false;
    }
    if (renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, serverDir.c_str(), RENAME_EXCHANGE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) {
            error = ErrnoText(serverDir);
            return false;
        }
        // File systems without the exchange: move the old tree aside, then the new one in.
        std::string aside = fresh + ".old";
        if (rename(serverDir.c_str(), aside.c_str()) != 0) {
            error = ErrnoText(serverDir);
            return false;
        }
        if (rename(fresh.c_str(), serverDir.c_str()) != 0) {
            error = ErrnoText(serverDir);
            rename(aside.c_str(), serverDir.c_str());
            return false;
        }
        return RemoveTree(aside, error);
    }
    std::string warning;  // fresh now holds the old tree; the new one is already live
    if (!RemoveTree(fresh, warning))
        std::fprintf(stderr, "warning: the old tree could not be removed: %s\n", warning.c_str());
    return true;
}

std::string MakeFreshDir(const std::string& serverDir, std::string& error) {
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    std::string pattern = JoinPath(parent, name + ".tmp-XXXXXX");
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        error = ErrnoText(pattern);
        return std::string();
    }
    // mkdtemp makes the folder 0700; a web server running as another user must read it.
    mode_t mask = umask(0);
    umask(mask);
    chmod(buffer.data(), 0777 & ~mask);
    return buffer.data();
}

}  // namespace

std::string BuildManifestText(uint64_t serial, const std::vector<PublishedFile>& files) {
    std::string text = "serial " + std::to_string(serial) + "\n";
    for (const PublishedFile& file : files)
        text += file.sha256 + "\t" + std::to_string(file.size) + "\t" + file.path + "\n";
    return text;
}

bool ParseSerialArgument(const std::string& text, uint64_t& serial) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        uint64_t digit = static_cast<uint64_t>(ch - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    serial = value;
    return true;
}

bool PublishRelease(const PublishOptions& options, std::vector<std::string>& problems) {
    std::string error;
    PkeyPtr key;
    if (!LoadSigningKey(options.keyPath, key, error)) {
        problems.push_back(error);
        return false;
    }
    if (!IsDirectory(options.releaseDir)) {
        problems.push_back(options.releaseDir + ": release folder not found");
        return false;
    }
    std::vector<ReleaseFile> release;
    WalkRelease(options.releaseDir, "", release, problems);
    std::sort(release.begin(), release.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    std::vector<std::string> paths;
    for (const ReleaseFile& file : release) paths.push_back(file.path);
    CheckReleasePaths(paths, problems);
    if (!problems.empty() || !CheckServerDir(options, problems) || !CheckSerial(options, problems))
        return false;

    std::string fresh = MakeFreshDir(options.serverDir, error);
    uint64_t totalBytes = 0;
    if (fresh.empty() || !BuildTree(fresh, options, key.get(), release, totalBytes, error) ||
        !SwapIn(fresh, options.serverDir, error)) {
        problems.push_back(error);
        std::string ignored;
        if (!fresh.empty()) RemoveTree(fresh, ignored);
        return false;
    }
    std::printf("published serial %llu: %zu files, %llu bytes in %s\n",
                static_cast<unsigned long long>(options.serial), release.size(),
                static_cast<unsigned long long>(totalBytes), options.serverDir.c_str());
    return true;
}
