// Publishing a release: copy, hash, sign and swap in a complete server tree.
#include "publish.h"

#include "body_times.h"
#include "copy_engine.h"
#include "crypto.h"
#include "fs_util.h"
#include "path_rules.h"
#include "plan.h"
#include "progress.h"
#include "signer.h"
#include "update/http.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
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

bool WritePlain(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.Valid() || !WriteAll(fd.Get(), bytes.data(), bytes.size()) || close(fd.Release()) != 0) {
        error = ErrnoText(path);
        return false;
    }
    return true;
}

}  // namespace

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

namespace {

// A killed publish leaves its half-built tree (and, without the exchange, the old tree moved
// aside) as "NAME.tmp-XXXXXX[.old]", and its record as "NAME.publish-record.tmp-XXXXXX". Only
// names of exactly that form are removed, and only while the lock is held.
bool IsStaleName(const std::string& entry, const std::string& prefix) {
    if (entry.compare(0, prefix.size(), prefix) != 0) return false;
    std::string rest = entry.substr(prefix.size());
    if (rest.size() == 10 && rest.compare(6, 4, ".old") == 0) rest.resize(6);
    return rest.size() == 6 && std::all_of(rest.begin(), rest.end(), [](char ch) {
               return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
           });
}

}  // namespace

void CleanStaleTemps(const std::string& serverDir) {
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    DIR* handle = opendir(parent.c_str());
    if (handle == nullptr) return;
    std::vector<std::string> stale;
    while (struct dirent* entry = readdir(handle)) {
        if (IsStaleName(entry->d_name, name + ".tmp-") || IsStaleName(entry->d_name, name + ".publish-record.tmp-"))
            stale.push_back(entry->d_name);
    }
    closedir(handle);
    for (const std::string& entry : stale) {
        std::string error;
        if (RemoveTree(JoinPath(parent, entry), error))
            std::fprintf(stderr, "removed %s, left behind by an interrupted publish\n", JoinPath(parent, entry).c_str());
        else
            std::fprintf(stderr, "warning: could not remove %s\n", error.c_str());
    }
}

namespace {

bool CheckSerial(const PublishOptions& options, LiveTree& live, std::vector<std::string>& problems) {
    std::string error;
    if (!ReadLiveTree(options.serverDir, live, error)) {
        live = LiveTree();  // nothing of an unreadable tree is trusted
        if (options.force) return true;
        problems.push_back("cannot read the serial of the published manifest (" + error +
                           "); use --force to replace it anyway");
        return false;
    }
    if (live.present && options.serial < live.serial && !options.force) {
        problems.push_back("serial " + std::to_string(options.serial) + " is lower than the published serial " +
                           std::to_string(live.serial) +
                           "; installed updaters would refuse it (use --force to publish it anyway)");
        return false;
    }
    return true;
}

// One release file's outcome in the fresh tree.
struct BuiltFile {
    PublishedFile published;
    RecordEntry recorded;
    bool taken = false;
    bool liveDiffers = false;  // the live copy did not hold its manifest's bytes: edges need new validators
};

// Hashes the release file and the live copy; only when both give the live manifest's digest is the
// live copy taken over. stamp gets the release file's state for the record.
bool CompareAndTake(const PlannedFile& planned, const std::string& live, const std::string& target,
                    std::vector<char>& buffer, BuiltFile& built, std::string& error) {
    std::string releaseSha, liveSha;
    FileStamp releaseStamp, liveStamp, unused;
    bool changed = false;
    if (!ReadHashCopyRelease(*planned.release, "", buffer, releaseSha, releaseStamp, unused, nullptr, error))
        return false;
    if (releaseSha != planned.live->sha256) return true;
    if (!ReadHashCopy(live, "", buffer, liveSha, liveStamp, unused, nullptr, error) ||
        liveSha != planned.live->sha256 || !TakeOver(live, target, liveStamp, buffer, built.recorded.published, changed, error)) {
        error.clear();
        built.liveDiffers = true;
        return true;  // the live copy is damaged or moving: the caller copies from the release
    }
    built.taken = true;
    built.recorded.releaseMtimeNs = releaseStamp.mtimeNs;
    return true;
}

bool BuildOne(const PublishOptions& options, const std::string& filesRoot, const PlannedFile& planned,
              std::vector<char>& buffer, BuiltFile& built, ProgressMeter& meter, std::string& error) {
    const ReleaseFile& file = *planned.release;
    std::string target = JoinPath(filesRoot, file.path);
    std::string live = LiveFilePath(options.serverDir, file.path);
    built.published.path = file.path;
    if (planned.action == FileAction::Take) {
        bool changed = false;
        if (TakeOver(live, target, planned.liveStamp, buffer, built.recorded.published, changed, error)) {
            built.taken = true;
            built.recorded.releaseMtimeNs = file.stamp.mtimeNs;
        } else if (!changed) {
            return false;
        } else {
            built.liveDiffers = true;  // changed since it was published: its bytes are unknown
        }
    } else if (planned.action == FileAction::Compare && !CompareAndTake(planned, live, target, buffer, built, error)) {
        return false;
    }
    if (built.taken) {
        built.published.sha256 = planned.live->sha256;
        built.published.size = planned.live->size;
        meter.bytes += planned.live->size;
    } else {
        FileStamp releaseStamp;
        if (!ReadHashCopyRelease(file, target, buffer, built.published.sha256, releaseStamp,
                                 built.recorded.published, &meter.bytes, error))
            return false;
        built.published.size = releaseStamp.size;
        built.recorded.releaseMtimeNs = releaseStamp.mtimeNs;
    }
    built.recorded.sha256 = built.published.sha256;
    built.recorded.size = built.published.size;
    ++meter.files;
    return true;
}

// Fills root/files on all cores; built gets one entry per planned file, in the same order.
bool BuildFiles(const std::string& root, const PublishOptions& options, const std::vector<PlannedFile>& plan,
                std::vector<BuiltFile>& built, std::string& error) {
    std::string filesRoot = JoinPath(root, "files");
    if (mkdir(filesRoot.c_str(), 0777) != 0) {
        error = ErrnoText(filesRoot);
        return false;
    }
    std::set<std::string> made;
    uint64_t totalBytes = 0;
    for (const PlannedFile& planned : plan) {
        if (!MakeParents(filesRoot, planned.release->path, made, error)) return false;
        totalBytes += planned.release->stamp.size;
    }
    built.assign(plan.size(), BuiltFile());
    ProgressMeter meter("publish", plan.size(), totalBytes);
    return ForEachParallel(
        plan.size(),
        [&](size_t index, std::vector<char>& buffer, std::string& message) {
            return BuildOne(options, filesRoot, plan[index], buffer, built[index], meter, message);
        },
        error);
}

// Signs with the key file or the sign command; either way the signature must verify with the
// public key before anything is written.
bool SignManifest(const PublishOptions& options, EVP_PKEY* signingKey, EVP_PKEY* checkKey,
                  const std::vector<uint8_t>& manifest, std::vector<uint8_t>& signature, std::string& error) {
    if (signingKey != nullptr) {
        if (!SignMessage(signingKey, manifest, signature, error)) return false;
    } else if (!RunSignCommand(options.signCommand, manifest, options.signTimeoutSeconds, signature, error)) {
        return false;
    }
    if (signature.size() != kSignatureSize) {
        error = "the signature is " + std::to_string(signature.size()) + " bytes, not the raw 256 of an RSA-2048 "
                "PKCS #1 v1.5 signature (hex, Base64 or PEM output does not work)";
        return false;
    }
    if (!VerifyMessage(checkKey, manifest, signature)) {
        error = options.pubPath.empty() ? "the new signature does not verify with the key's own public half"
                                        : "the new signature does not verify with " + options.pubPath +
                                              " (wrong key, or not PKCS #1 v1.5 with SHA-256)";
        return false;
    }
    return true;
}

bool WriteManifestAndFlush(const std::string& root, const std::vector<uint8_t>& manifest,
                           const std::vector<uint8_t>& signature, std::string& error) {
    if (!WritePlain(JoinPath(root, "manifest.txt"), manifest, error) ||
        !WritePlain(JoinPath(root, "manifest.sig"), signature, error))
        return false;
    // One flush of the file system before the swap, so a crash never leaves a live tree whose
    // bytes did not reach the disk; the copies started their write-back as they finished.
    UniqueFd rootFd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.Valid() || syncfs(rootFd.Get()) != 0) {
        error = ErrnoText(root);
        return false;
    }
    return true;
}

bool LoadKeys(const PublishOptions& options, PkeyPtr& signingKey, PkeyPtr& checkKey, std::string& error) {
    if (!options.keyPath.empty() && !LoadSigningKey(options.keyPath, options.passphrase, signingKey, error))
        return false;
    if (!options.pubPath.empty()) return LoadVerifyKey(options.pubPath, checkKey, error);
    return true;
}

bool CheckManifestSize(size_t size, std::string& error) {
    if (size <= kManifestLimit) return true;
    error = "the manifest would be " + std::to_string(size) + " bytes; the updater refuses one above " +
            std::to_string(kManifestLimit) + " bytes (fewer files or shorter paths)";
    return false;
}

}  // namespace

std::string LockPathFor(const std::string& serverDir) {
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    return JoinPath(parent, name + ".lock");
}

namespace {

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
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


SwapResult SwapIn(const std::string& fresh, const std::string& serverDir, bool tryExchange,
                  std::string& oldTree, std::string& error) {
    oldTree.clear();
    if (!PathExists(serverDir)) {
        if (renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, serverDir.c_str(), RENAME_NOREPLACE) == 0)
            return SwapResult::Swapped;
        error = ErrnoText(serverDir);
        return SwapResult::Unchanged;
    }
    if (tryExchange) {
        if (renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, serverDir.c_str(), RENAME_EXCHANGE) == 0) {
            oldTree = fresh;  // fresh now holds the old tree
            return SwapResult::Swapped;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            error = ErrnoText(serverDir);
            return SwapResult::Unchanged;
        }
    }
    // File systems without the exchange: the name is missing between these two renames.
    std::string aside = fresh + ".old";
    if (rename(serverDir.c_str(), aside.c_str()) != 0) {
        error = ErrnoText(serverDir);
        return SwapResult::Unchanged;
    }
    if (rename(fresh.c_str(), serverDir.c_str()) == 0) {
        oldTree = aside;
        return SwapResult::Swapped;
    }
    error = ErrnoText(serverDir);
    if (rename(aside.c_str(), serverDir.c_str()) == 0) return SwapResult::Unchanged;
    error += "; " + serverDir + " is missing now: the old tree is " + aside + ", the new one " + fresh +
             " (rename one of them back)";
    return SwapResult::Lost;
}

bool PublishRelease(const PublishOptions& options, std::vector<std::string>& problems, PublishReport& report) {
    const int64_t startedNs = NowNs();
    std::string error;
    PkeyPtr signingKey, checkKey;
    if (!LoadKeys(options, signingKey, checkKey, error)) {
        problems.push_back(error);
        return false;
    }
    if (!IsDirectory(options.releaseDir)) {
        problems.push_back(options.releaseDir + ": release folder not found");
        return false;
    }
    std::vector<ReleaseFile> release;
    WalkRelease(options.releaseDir, release, problems);
    std::vector<std::string> paths;
    for (const ReleaseFile& file : release) paths.push_back(file.path);
    CheckReleasePaths(paths, problems);
    if (!problems.empty() || !CheckServerDir(options, problems)) return false;
    std::vector<PublishedFile> estimate;  // digests do not change a line's length
    for (const ReleaseFile& file : release) estimate.push_back({file.path, std::string(64, '0'), file.stamp.size});
    if (!CheckManifestSize(BuildManifestText(options.serial, estimate).size(), error)) {
        problems.push_back(error);
        return false;
    }
    for (const std::string& path : paths)
        if (FoldCaseForNtfs(path) == "UPDATER.CFG")
            std::fprintf(stderr, "warning: the release holds %s; it replaces every player's own settings "
                                 "(a url= line there moves them to another server)\n", path.c_str());

    UniqueFd lock;
    if (!LockExclusive(options.lockPath.empty() ? LockPathFor(options.serverDir) : options.lockPath, lock, error)) {
        problems.push_back(error);
        return false;
    }
    CleanStaleTemps(options.serverDir);
    std::string otherTree;
    if (options.beforeWrite && !options.beforeWrite(otherTree, problems)) return false;
    LiveTree live;
    if (!CheckSerial(options, live, problems)) return false;
    std::vector<PlannedFile> plan = PlanFiles(release, live, options.serverDir, options.checksum);

    std::string fresh = MakeFreshDir(options.serverDir, error);
    std::vector<BuiltFile> built;
    std::vector<uint8_t> manifest, signature;
    std::string recordTemp;
    timespec latest{};
    bool ready = !fresh.empty() && BuildFiles(fresh, options, plan, built, error);
    if (ready) {
        std::vector<PublishedFile> published;
        PublishRecord record;
        record.startedNs = startedNs;
        std::set<std::string> liveDiffers;
        for (const BuiltFile& file : built) {
            published.push_back(file.published);
            if (file.liveDiffers) liveDiffers.insert(file.published.path);
            record.entries[file.published.path] = file.recorded;
            report.bytes += file.published.size;
            ++(file.taken ? report.taken : report.copied);
        }
        // Validators for edge caches (body_times.h); the record keeps the stamps they leave.
        ready = SetBodyTimes(fresh, options.serverDir, otherTree, published, liveDiffers, latest, error);
        for (auto& entry : record.entries)
            StampOf(JoinPath(JoinPath(fresh, "files"), entry.first), entry.second.published);
        std::string text = BuildManifestText(options.serial, published);
        manifest.assign(text.begin(), text.end());
        std::string recordText = RecordText(record);
        if (!ready || !CheckManifestSize(manifest.size(), error)) {
            ready = false;
        } else {
            ready = SignManifest(options, signingKey.get(), checkKey ? checkKey.get() : signingKey.get(), manifest,
                                 signature, error) &&
                    WriteManifestAndFlush(fresh, manifest, signature, error) &&
                    SetManifestTimes(fresh, latest, error) &&
                    WriteTempBeside(RecordPathFor(options.serverDir), recordText.data(), recordText.size(), 0644,
                                    recordTemp, error);
        }
    }
    std::string oldTree, ignored;
    SwapResult swapped = ready ? SwapIn(fresh, options.serverDir, true, oldTree, error) : SwapResult::Unchanged;
    if (swapped != SwapResult::Swapped) {
        problems.push_back(error);
        if (!recordTemp.empty()) unlink(recordTemp.c_str());
        if (swapped == SwapResult::Unchanged && !fresh.empty()) RemoveTree(fresh, ignored);
        report.serverUnchanged = swapped == SwapResult::Unchanged;
        return false;
    }
    report.serverUnchanged = false;
    // The new tree is live from here on: what follows can only warn.
    if (!RenameTemp(recordTemp, RecordPathFor(options.serverDir), false, error))
        std::fprintf(stderr, "warning: %s (the next publish reads every file afresh)\n", error.c_str());
    if (!oldTree.empty() && !RemoveTree(oldTree, error))
        std::fprintf(stderr, "warning: the new tree is live, but the old one could not be removed: %s\n",
                     error.c_str());
    report.files = built.size();
    if (options.afterSwap) options.afterSwap();
    return true;
}
