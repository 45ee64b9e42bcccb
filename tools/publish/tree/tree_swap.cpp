// Putting a server tree under its name: the swap, crash recovery, and removal of own leftovers.
#include "tree/tree_swap.h"

#include "core/fs_util.h"
#include "keys/crypto.h"
#include "tree/copy_engine.h"
#include "tree/plan.h"
#include "tree/record.h"
#include "tree/serial_memory.h"
#include "update/http.h"
#include "update/manifest.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool IsKind(const std::string& path, mode_t kind) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

// An own tree beside the server folder that could serve again.
struct Candidate {
    std::string path;
    bool wasLive = false;  // set aside by a swap: it was under the server folder's name
    uint64_t serial = 0;
    int64_t manifestMtimeNs = 0;
};

// Whether every listed file is there with its size, and with its digest where the server folder's
// record cannot vouch for the very file (same inode, size and time as it noted with that digest).
bool IsWhole(const std::string& tree, const std::vector<ManifestEntry>& entries, const PublishRecord& record) {
    std::vector<char> buffer(1 << 20);
    for (const ManifestEntry& entry : entries) {
        std::string path = LiveFilePath(tree, entry.path), sha256, ignored;
        FileStamp stamp, unused;
        if (!StampOf(path, stamp) || !IsKind(path, S_IFREG) || stamp.size != entry.size) return false;
        auto noted = record.entries.find(entry.path);
        if (noted != record.entries.end() && noted->second.sha256 == entry.sha256 &&
            SameStamp(noted->second.published, stamp))
            continue;
        if (!ReadHashCopy(path, "", buffer, sha256, stamp, unused, nullptr, ignored) || sha256 != entry.sha256)
            return false;
    }
    return true;
}

// A tree that was live may come back as it is. Any other only when it is finished, signed with
// key, not below the serial memory (nor another manifest under the remembered serial) and whole.
bool ReadCandidate(const std::string& serverDir, const std::string& path, bool wasLive, EVP_PKEY* key,
                   const SerialMemory& memory, Candidate& candidate) {
    if (!IsKind(path, S_IFDIR) || !IsFinishedTree(path)) return false;
    candidate = Candidate{path, wasLive};
    std::vector<uint8_t> manifest, signature;
    std::vector<ManifestEntry> entries;
    std::string ignored;
    struct stat st;
    if (lstat(JoinPath(path, "manifest.txt").c_str(), &st) == 0)
        candidate.manifestMtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    bool parsed = ReadWholeFile(JoinPath(path, "manifest.txt"), kManifestLimit, manifest, ignored) &&
                  ReadWholeFile(JoinPath(path, "manifest.sig"), kSignatureLimit, signature, ignored) &&
                  ParseManifest(manifest, candidate.serial, entries, ignored);
    if (wasLive) return true;
    if (!parsed || key == nullptr || !VerifyMessage(key, manifest, signature)) return false;
    if (memory.present && (candidate.serial < memory.serial ||
                           (candidate.serial == memory.serial && ManifestDigest(manifest) != memory.manifestSha256)))
        return false;
    return IsWhole(path, entries, ReadRecord(RecordPathFor(serverDir)));
}

bool Better(const Candidate& a, const Candidate& b) {
    if (a.wasLive != b.wasLive) return a.wasLive;
    if (a.serial != b.serial) return a.serial > b.serial;
    return a.manifestMtimeNs > b.manifestMtimeNs;
}

std::vector<std::string> Siblings(const std::string& parent) {
    std::vector<std::string> names;
    if (DIR* handle = opendir(parent.c_str())) {
        while (struct dirent* entry = readdir(handle)) names.push_back(entry->d_name);
        closedir(handle);
    }
    return names;
}

// An unfinished server folder was not made by a publish (whose trees only ever take the name whole):
// an empty one goes, anything else is kept under a name of its own, never removed.
bool MoveUnfinishedAside(const std::string& serverDir, std::string& keptAs, std::string& error) {
    if (rmdir(serverDir.c_str()) == 0) return true;
    keptAs = serverDir + ".unfinished-" + std::to_string(time(nullptr));
    if (rename(serverDir.c_str(), keptAs.c_str()) == 0) return true;
    error = ErrnoText(serverDir) + " (not a finished tree, and it cannot be moved aside)";
    return false;
}

}  // namespace

SwapResult SwapIn(const std::string& fresh, const std::string& serverDir, bool tryExchange,
                  std::string& oldTree, std::string& error) {
    oldTree.clear();
    if (!PathExists(serverDir)) {
        int rc = renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, serverDir.c_str(), RENAME_NOREPLACE);
        // Without the flag a plain rename does: the name is missing and the lock keeps other publishes out.
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) rc = rename(fresh.c_str(), serverDir.c_str());
        if (rc != 0) {
            error = ErrnoText(serverDir);
            return SwapResult::Unchanged;
        }
    } else if (tryExchange &&
               renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, serverDir.c_str(), RENAME_EXCHANGE) == 0) {
        oldTree = fresh;  // fresh now holds the old tree
    } else {
        if (tryExchange && errno != EINVAL && errno != ENOSYS) {
            error = ErrnoText(serverDir);
            return SwapResult::Unchanged;
        }
        // File systems without the exchange: the name is missing between these two renames.
        std::string aside = OwnTempName(serverDir) + ".old";
        if (rename(serverDir.c_str(), aside.c_str()) != 0) {
            error = ErrnoText(serverDir);
            return SwapResult::Unchanged;
        }
        if (rename(fresh.c_str(), serverDir.c_str()) != 0) {
            error = ErrnoText(serverDir);
            if (rename(aside.c_str(), serverDir.c_str()) == 0) return SwapResult::Unchanged;
            error += "; " + serverDir + " is missing now: the old tree is " + aside + ", the new one " + fresh +
                     " (the next publish puts the old one back)";
            return SwapResult::Lost;
        }
        oldTree = aside;
    }
    return SyncParent(serverDir, error) ? SwapResult::Swapped : SwapResult::Unflushed;
}

bool IsFinishedTree(const std::string& path) {
    return IsKind(JoinPath(path, "manifest.txt"), S_IFREG) && IsKind(JoinPath(path, "manifest.sig"), S_IFREG) &&
           IsKind(JoinPath(path, "files"), S_IFDIR);
}

bool FlushTree(const std::string& path, std::string& error) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Valid()) return FlushOpenTree(fd.Get(), path, error);
    error = ErrnoText(path);
    return false;
}

bool FlushOpenTree(int fd, const std::string& path, std::string& error) {
    if (syncfs(fd) == 0) return true;
    error = ErrnoText(path);
    return false;
}

namespace {

bool recoveredThisRun = false;

}  // namespace

bool RecoverServerDir(const std::string& serverDir, EVP_PKEY* key, std::string& note, std::string& error) {
    note.clear();
    bool missing = !PathExists(serverDir);
    if (!missing && IsFinishedTree(serverDir)) return true;
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    SerialMemory memory;
    std::string memoryError;
    if (!ReadSerialMemory(serverDir, memory, memoryError)) key = nullptr;  // only a tree that was live may come back
    Candidate best, candidate;
    bool found = false;
    for (const std::string& entry : Siblings(parent)) {
        bool wasLive = IsOwnTempName(entry, name, ".old");
        if ((wasLive || IsOwnTempName(entry, name, "")) &&
            ReadCandidate(serverDir, JoinPath(parent, entry), wasLive, key, memory, candidate) &&
            (!found || Better(candidate, best))) {
            best = candidate;
            found = true;
        }
    }
    if (!found) return true;
    std::string oldTree, keptAs;
    if (!FlushTree(best.path, error) || (!missing && !MoveUnfinishedAside(serverDir, keptAs, error))) return false;
    SwapResult result = SwapIn(best.path, serverDir, true, oldTree, error);
    if (result == SwapResult::Unchanged || result == SwapResult::Lost) {
        error = "cannot put back " + best.path + ", left by an interrupted publish: " + error;
        return false;
    }
    recoveredThisRun = true;
    note = "put back " + best.path + " (serial " + std::to_string(best.serial) + ", " +
           (best.wasLive ? "the tree that was live" : "the newest whole tree signed with this key") +
           " when a publish was interrupted) as " + (missing ? "the missing " : "the unfinished ") + serverDir +
           (keptAs.empty() ? "" : ", which is kept as " + keptAs);
    if (result == SwapResult::Unflushed) note += "; warning: " + error;
    return true;
}

bool RecoveredThisRun() { return recoveredThisRun; }

bool RemoveOwnTree(const std::string& tree, std::string& error) {
    // Unfinished first and on disk so, so that no crash during the removal leaves a part of the tree
    // that recovery could take for a whole one.
    for (const char* name : {"manifest.txt", "manifest.sig"}) {
        std::string path = JoinPath(tree, name);
        if (unlink(path.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
            error = ErrnoText(path);
            return false;
        }
    }
    return (!IsKind(tree, S_IFDIR) || SyncParent(JoinPath(tree, "manifest.txt"), error)) && RemoveTree(tree, error);
}

void RemoveLeftovers(const std::string& serverDir, bool keepFinished) {
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    for (const std::string& entry : Siblings(parent)) {
        bool tree = IsOwnTempName(entry, name, "") || IsOwnTempName(entry, name, ".old");
        if (!tree && !IsOwnTempName(entry, name + ".publish-record", "") &&
            !IsOwnTempName(entry, name + ".publish-serial", "") && !IsOwnTempName(entry, name + ".history", ""))
            continue;
        std::string path = JoinPath(parent, entry), error;
        // Where a publish would recover, only a run that can check trees with the key may remove them.
        if (tree && keepFinished && !IsFinishedTree(serverDir) && IsFinishedTree(path)) continue;
        if (tree ? RemoveOwnTree(path, error) : RemoveTree(path, error))
            std::fprintf(stderr, "removed %s, left behind by an interrupted publish\n", path.c_str());
        else
            std::fprintf(stderr, "warning: could not remove %s\n", error.c_str());
    }
}

std::string StageTreePathFor(const std::string& serverDir) { return BesidePath(serverDir, ".stage"); }

bool RetireTree(const std::string& tree, std::string& error) {
    std::string aside;
    if (!MakeOwnTempDir(RetiredBaseFor(tree), aside, error)) return false;
    if (rename(tree.c_str(), aside.c_str()) != 0) {  // replaces the empty folder
        error = ErrnoText(tree);
        rmdir(aside.c_str());
        return false;
    }
    // The manifest first: a removal cut short never leaves a finished tree to keep or put back.
    return RemoveOwnTree(aside, error);
}

std::string RetiredBaseFor(const std::string& tree) { return tree + "-retired"; }
