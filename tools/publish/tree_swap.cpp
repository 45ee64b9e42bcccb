// Putting a server tree under its name: the swap, crash recovery, and removal of own leftovers.
#include "tree_swap.h"

#include "crypto.h"
#include "fs_util.h"
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
    bool verifies = false;
    uint64_t serial = 0;
    int64_t manifestMtimeNs = 0;
};

bool ReadCandidate(const std::string& path, bool wasLive, EVP_PKEY* key, Candidate& candidate) {
    if (!IsKind(path, S_IFDIR) || !IsFinishedTree(path)) return false;
    candidate = Candidate{path, wasLive};
    std::vector<uint8_t> manifest, signature;
    std::vector<ManifestEntry> entries;
    std::string ignored;
    struct stat st;
    if (lstat(JoinPath(path, "manifest.txt").c_str(), &st) == 0)
        candidate.manifestMtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (ReadWholeFile(JoinPath(path, "manifest.txt"), kManifestLimit, manifest, ignored) &&
        ReadWholeFile(JoinPath(path, "manifest.sig"), kSignatureLimit, signature, ignored) &&
        ParseManifest(manifest, candidate.serial, entries, ignored))
        candidate.verifies = key != nullptr && VerifyMessage(key, manifest, signature);
    // A tree that never was live comes back only when it is whole and signed with this key.
    return wasLive || candidate.verifies;
}

bool Better(const Candidate& a, const Candidate& b) {
    if (a.wasLive != b.wasLive) return a.wasLive;
    if (a.verifies != b.verifies) return a.verifies;
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
    if (fd.Valid() && syncfs(fd.Get()) == 0) return true;
    error = ErrnoText(path);
    return false;
}

bool RecoverServerDir(const std::string& serverDir, EVP_PKEY* key, std::string& note, std::string& error) {
    note.clear();
    bool missing = !PathExists(serverDir);
    if (!missing && IsFinishedTree(serverDir)) return true;
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    Candidate best, candidate;
    bool found = false;
    for (const std::string& entry : Siblings(parent)) {
        bool wasLive = IsOwnTempName(entry, name, ".old");
        if ((wasLive || IsOwnTempName(entry, name, "")) &&
            ReadCandidate(JoinPath(parent, entry), wasLive, key, candidate) && (!found || Better(candidate, best))) {
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
    note = "put back " + best.path + " (serial " + std::to_string(best.serial) + ", " +
           (best.wasLive ? "the tree that was live" : "the newest finished tree") +
           " when a publish was interrupted) as " + (missing ? "the missing " : "the unfinished ") + serverDir +
           (keptAs.empty() ? "" : ", which is kept as " + keptAs);
    if (result == SwapResult::Unflushed) note += "; warning: " + error;
    return true;
}

void RemoveLeftovers(const std::string& serverDir) {
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    for (const std::string& entry : Siblings(parent)) {
        if (!IsOwnTempName(entry, name, "") && !IsOwnTempName(entry, name, ".old") &&
            !IsOwnTempName(entry, name + ".publish-record", "") && !IsOwnTempName(entry, name + ".publish-serial", ""))
            continue;
        std::string path = JoinPath(parent, entry), error;
        if (RemoveTree(path, error))
            std::fprintf(stderr, "removed %s, left behind by an interrupted publish\n", path.c_str());
        else
            std::fprintf(stderr, "warning: could not remove %s\n", error.c_str());
    }
}
