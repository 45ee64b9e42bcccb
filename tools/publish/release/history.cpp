// Kept releases beside a site: entries made before a swap, trees moved in after it, pruning.
#include "release/history.h"

#include "core/cli_args.h"
#include "core/fs_util.h"
#include "core/output.h"
#include "release/history_text.h"
#include "release/publish.h"
#include "tree/record.h"
#include "tree/serial_memory.h"
#include "tree/tree_swap.h"
#include "update/http.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kMarkName[] = ".quillor-history";
const char kMarkText[] = "quillor-publish history 1\n";

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

// The names in dir (none when it is missing); false when it cannot be listed, which is never "empty".
bool NamesIn(const std::string& dir, std::vector<std::string>& names, std::string& error) {
    names.clear();
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) {
        if (errno == ENOENT) return true;
        error = ErrnoText(dir);
        return false;
    }
    errno = 0;
    while (struct dirent* entry = readdir(handle)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
        errno = 0;
    }
    bool ok = errno == 0;
    if (!ok) error = ErrnoText(dir);
    closedir(handle);
    return ok;
}

std::string ForeignHistoryText(const std::string& site) {
    return HistoryPathFor(site) + " was not made by quillor-publish (it lacks " + kMarkName + "); it is left alone, but " +
           site + " keeps its releases there: move it away";
}

// The history folder is the publisher's only when it holds the mark. A new one gets its name with
// the mark already inside (made under an own temporary name, then renamed), so that no kill leaves
// one without; the rename replaces an empty folder only, so nothing of another's is ever taken
// over, not even when a read of it failed.
bool EnsureHistory(const std::string& site, std::string& error) {
    const std::string history = HistoryPathFor(site), mark = JoinPath(history, kMarkName);
    struct stat st;
    if (lstat(history.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            error = history + ": exists and is not a folder; quillor-publish keeps the releases of " + site + " there";
            return false;
        }
        // Entries share bodies with the trees as hard links and take trees in by rename: both
        // fail across file systems ("Invalid cross-device link"), so the history must lie on the
        // site's own.
        std::string parent, name;
        SplitPath(site, parent, name);
        struct stat beside;
        if (stat(parent.empty() ? "." : parent.c_str(), &beside) == 0 && beside.st_dev != st.st_dev) {
            error = history + " lies on another file system than " + site +
                    ": the history keeps releases as hard links to the site's bodies and moves trees in by "
                    "rename, which work on one file system only; move it beside " + site + " on that file system "
                    "(or remove it: the next publish makes a new one)";
            return false;
        }
        bool marked = false;
        if (!LstatIfThere(mark, marked, st, error)) return false;
        if (marked && S_ISREG(st.st_mode)) return true;
    } else if (errno != ENOENT) {
        error = ErrnoText(history);
        return false;
    }
    // An earlier version wrote the mark in place: one killed then left only its temporary file.
    std::vector<std::string> names;
    if (!NamesIn(history, names, error)) return false;
    bool onlyMarkTemps = true;
    for (const std::string& name : names) onlyMarkTemps = onlyMarkTemps && IsOwnTempName(name, kMarkName, "");
    for (const std::string& name : names)
        if (onlyMarkTemps && unlink(JoinPath(history, name).c_str()) != 0) {
            error = ErrnoText(JoinPath(history, name));
            return false;
        }
    std::string temp, ignored;
    if (!MakeOwnTempDir(history, temp, error)) return false;
    bool ok = WriteFileAtomic(JoinPath(temp, kMarkName), kMarkText, sizeof kMarkText - 1, 0644, false, error);
    if (ok && rename(temp.c_str(), history.c_str()) != 0) {
        error = errno == ENOTEMPTY || errno == EEXIST ? ForeignHistoryText(site) : ErrnoText(history);
        ok = false;
    }
    ok = ok && SyncParent(history, error);
    RemoveTree(temp, ignored);  // gone already after the rename
    return ok;
}

bool IsOurHistory(const std::string& site) {
    struct stat st;
    return lstat(JoinPath(HistoryPathFor(site), kMarkName).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The tidy-up, BeginKeep and the pruning after the swap each hash a live manifest (10 MB at
// 100,000 files); a digest is taken again while the file is the very same one: same inode, size
// and times (a tree's rename into place leaves them be).
struct DigestMemo {
    struct stat identity = {};
    std::string digest;
};
DigestMemo gDigestMemos[2];  // the live tree's and the sealed new one's
size_t gNextMemo = 0;

void RememberDigest(const struct stat& identity, const std::string& digest) {
    gDigestMemos[gNextMemo] = DigestMemo{identity, digest};
    gNextMemo = (gNextMemo + 1) % 2;
}

// IsFinishedTree, false (with error) where one of its names cannot be looked at: a live tree that
// only seems unfinished would lose its entry's tree and the protection of the live release.
bool IsFinishedTreeHere(const std::string& tree, bool& finished, std::string& error) {
    finished = true;
    for (const char* name : {"manifest.txt", "manifest.sig", "files"}) {
        struct stat st;
        bool present = false;
        if (!LstatIfThere(JoinPath(tree, name), present, st, error)) return false;
        finished = finished && present && (*name == 'f' ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode));
    }
    return true;
}

// present false when tree is no finished tree; false when its manifest cannot be read, which is
// never taken for a tree that is not there. digest, when given, gets the bytes' ManifestDigest.
bool ReadTreeManifestBytes(const std::string& tree, bool& present, std::vector<uint8_t>& bytes, std::string& error,
                           std::string* digest = nullptr) {
    std::string path = JoinPath(tree, "manifest.txt");
    struct stat before, after;
    bool statted = stat(path.c_str(), &before) == 0;
    bool finished = false;
    present = false;
    if (!IsFinishedTreeHere(tree, finished, error)) return false;
    if (!finished) return true;
    if (!ReadWholeFile(path, kManifestLimit, bytes, error)) return false;
    present = true;
    if (digest == nullptr) return true;
    bool steady = statted && stat(path.c_str(), &after) == 0 && SameFile(before, after) &&
                  static_cast<uint64_t>(after.st_size) == bytes.size();
    for (const DigestMemo& memo : gDigestMemos) {
        if (steady && !memo.digest.empty() && SameFile(memo.identity, after)) {
            *digest = memo.digest;
            return true;
        }
    }
    *digest = ManifestDigest(bytes);
    if (steady) RememberDigest(after, *digest);
    return true;
}

// digest gets "" for a tree that is not there.
bool TreeDigest(const std::string& tree, std::string& digest, std::string& error) {
    std::vector<uint8_t> bytes;
    bool present = false;
    digest.clear();
    return ReadTreeManifestBytes(tree, present, bytes, error, &digest);
}

// The final entries; pending and gone ones are not among them, nor a name that is a symbolic link
// or holds no info of ours. False when an entry cannot be read: it is never taken for missing.
bool ReadEntries(const std::string& site, std::vector<KeptRelease>& entries, std::string& error) {
    entries.clear();
    const std::string history = HistoryPathFor(site);
    std::vector<std::string> names;
    if (!NamesIn(history, names, error)) return false;
    for (const std::string& name : names) {
        if (!IsEntryName(name, "")) continue;
        KeptRelease release;
        std::vector<uint8_t> info;
        struct stat st;
        bool present = false;
        release.path = JoinPath(history, name);
        if (!LstatIfThere(release.path, present, st, error)) return false;
        if (!present || !S_ISDIR(st.st_mode)) continue;
        ReadResult read = ReadFileIfThere(JoinPath(release.path, "info"), 4096, info, error);
        if (read == ReadResult::Failed) return false;
        if (read == ReadResult::Absent || !ParseInfo(std::string(info.begin(), info.end()), release)) continue;
        // Its place in the order entries were made ("order", a file of its own so that an older
        // publisher, which reads info strictly, still reads the entry); none in an older entry.
        std::vector<uint8_t> order;
        read = ReadFileIfThere(JoinPath(release.path, "order"), 32, order, error);
        if (read == ReadResult::Failed) return false;
        std::string orderText(order.begin(), order.end());
        if (read == ReadResult::Read && !orderText.empty() && orderText.back() == '\n' &&
            !ParseSerialArgument(orderText.substr(0, orderText.size() - 1), release.order))
            release.order = 0;
        if (!LstatIfThere(JoinPath(release.path, "tree"), present, st, error)) return false;
        release.hasTree = present && S_ISDIR(st.st_mode);
        entries.push_back(release);
    }
    return true;
}

const KeptRelease* WithDigest(const std::vector<KeptRelease>& entries, const std::string& digest) {
    for (const KeptRelease& entry : entries)
        if (entry.digest == digest) return &entry;
    return nullptr;
}

// Writes a new entry for release under a ".pending" name (info flushed, the record linked in);
// path gets it.
bool MakePendingEntry(const std::string& site, const KeptRelease& release, const std::string& record,
                      std::string& path, std::string& error) {
    const std::string history = HistoryPathFor(site);
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = JoinPath(history, EntryName(release.serial) + ".pending");
        if (mkdir(path.c_str(), 0755) == 0) break;
        if (errno != EEXIST || attempt == 99) {
            error = ErrnoText(path);
            return false;
        }
    }
    // The entry comes after every other one, whatever the clock says.
    std::vector<KeptRelease> entries;
    KeptRelease ordered = release;
    if (!ReadEntries(site, entries, error)) {
        std::string ignored;
        RemoveTree(path, ignored);
        return false;
    }
    ordered.order = 1;
    for (const KeptRelease& entry : entries) ordered.order = std::max(ordered.order, entry.order + 1);
    std::string text = InfoText(ordered), info = JoinPath(path, "info");
    UniqueFd fd(open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    bool ok = fd.Valid() && WriteAll(fd.Get(), text.data(), text.size()) && fsync(fd.Get()) == 0 &&
              close(fd.Release()) == 0;
    if (!ok) error = ErrnoText(info);
    const std::string orderPath = JoinPath(path, "order"), orderText = std::to_string(ordered.order) + "\n";
    if (ok) {
        UniqueFd orderFd(open(orderPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        ok = orderFd.Valid() && WriteAll(orderFd.Get(), orderText.data(), orderText.size()) &&
             fsync(orderFd.Get()) == 0 && close(orderFd.Release()) == 0;
        if (!ok) error = ErrnoText(orderPath);
    }
    if (ok && !record.empty() && link(record.c_str(), JoinPath(path, "record").c_str()) != 0 && errno != ENOENT) {
        error = ErrnoText(JoinPath(path, "record"));
        ok = false;
    }
    if (ok && SyncParent(info, error) && SyncParent(path, error)) return true;
    std::string ignored;
    RemoveTree(path, ignored);
    return false;
}

// A ".pending" entry's final name, flushed; renamed (when given) says whether the rename was done.
bool Finalize(const std::string& pending, std::string& error, bool* renamed = nullptr) {
    std::string final = pending.substr(0, pending.size() - 8);
    if (renamed != nullptr) *renamed = false;
    if (rename(pending.c_str(), final.c_str()) != 0) {
        error = ErrnoText(final);
        return false;
    }
    if (renamed != nullptr) *renamed = true;
    return SyncParent(final, error);
}

bool MoveTreeInto(const std::string& tree, const std::string& entry, std::string& error, bool* moved = nullptr) {
    std::string target = JoinPath(entry, "tree");
    if (moved != nullptr) *moved = false;
    if (rename(tree.c_str(), target.c_str()) != 0) {
        error = ErrnoText(target);
        return false;
    }
    if (moved != nullptr) *moved = true;
    return SyncParent(target, error) && SyncParent(tree, error);
}

// A flush that failed after its rename, which the command absorbs: said on stderr and, with
// --json, as a problem of its own code, with what the next command does again after a crash.
void WarnNotFlushed(const std::string& done, const std::string& error, const std::string& redo) {
    ReportWarning(done + ", but a flush failed: " + error + "; after a crash " + redo, "not-flushed");
}

// An entry for a live or staged tree that has none (made before there was a history, or its
// pending entry was lost), from its manifest; no message, the download unknown.
bool EntryForTree(const std::string& site, const std::string& tree, const std::string& record, std::string& error) {
    std::vector<uint8_t> manifest;
    bool present = false;
    if (!ReadTreeManifestBytes(tree, present, manifest, error)) return false;
    if (!present) return true;
    KeptRelease release;
    release.digest = ManifestDigest(manifest);
    for (const ManifestLine& line : ManifestLines(manifest, &release.serial)) {
        ++release.files;
        release.bytes += line.size;
    }
    // A manifest's time may lie ahead (the bodies' times outrun every served one): the entry is
    // never newer than now, so a release published after it is listed, and kept, as the newer.
    struct stat st;
    release.madeNs = NowNs();
    if (lstat(JoinPath(tree, "manifest.txt").c_str(), &st) == 0)
        release.madeNs = std::min<int64_t>(release.madeNs,
                                           static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
    std::string path;
    return MakePendingEntry(site, release, record, path, error) && Finalize(path, error);
}

// Trees an interrupted swap or retirement left beside site or its stage under an own name.
bool LeftTrees(const std::string& site, std::vector<std::string>& trees, std::string& error) {
    std::string parent, name;
    SplitPath(site, parent, name);
    std::vector<std::string> names;
    trees.clear();
    if (!NamesIn(parent, names, error)) return false;
    for (const std::string& entry : names) {
        for (const std::string& base : {name, name + ".stage", name + ".stage-retired"})
            if (IsOwnTempName(entry, base, "") || IsOwnTempName(entry, base, ".old"))
                trees.push_back(JoinPath(parent, entry));
    }
    return true;
}

// Whether every file the manifest lists lies in tree with its listed size (no body is read).
bool TreeIsWhole(const std::string& tree) {
    std::vector<uint8_t> manifest;
    std::string ignored;
    bool present = false;
    if (!ReadTreeManifestBytes(tree, present, manifest, ignored) || !present) return false;
    const std::string files = JoinPath(tree, "files");
    for (const ManifestLine& line : ManifestLines(manifest)) {
        struct stat st;
        if (lstat(JoinPath(files, std::string(line.path)).c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<uint64_t>(st.st_size) != line.size)
            return false;
    }
    return true;
}

bool ServedDigest(const std::string& site, bool stage, std::string& digest, std::string& error) {
    return TreeDigest(stage ? StageTreePathFor(site) : site, digest, error);
}

}  // namespace

void NoteManifestDigest(const std::string& tree, const std::string& digest) {
    struct stat st;
    if (stat(JoinPath(tree, "manifest.txt").c_str(), &st) == 0) RememberDigest(st, digest);
}

std::string HistoryPathFor(const std::string& serverDir) { return BesidePath(serverDir, ".history"); }

bool BeginKeep(const std::string& site, const std::string& slot, const std::vector<uint8_t>& manifest,
               const std::string& digest, const std::string& recordTemp, const std::string& message,
               PendingKeep& pending, std::string& error) {
    pending = PendingKeep();
    pending.site = site;
    pending.newDigest = digest;
    if (!CheckMessage(message, error) || !EnsureHistory(site, error)) return false;
    std::vector<uint8_t> live;
    std::vector<KeptRelease> entries;
    std::string liveDigest;
    bool livePresent = false, toLive = slot == site;
    if (!ReadTreeManifestBytes(site, livePresent, live, error, &liveDigest)) return false;
    pending.oldDigest = liveDigest;
    pending.otherDigest = liveDigest;
    if ((toLive ? !ServedDigest(site, true, pending.otherDigest, error) : !TreeDigest(slot, pending.oldDigest, error)) ||
        !ReadEntries(site, entries, error))
        return false;
    if (WithDigest(entries, pending.newDigest) != nullptr) return true;  // the same release again
    KeptRelease release;
    release.digest = pending.newDigest;
    release.madeNs = NowNs();
    release.message = message;
    for (const ManifestLine& line : ManifestLines(manifest, &release.serial)) {
        ++release.files;
        release.bytes += line.size;
    }
    release.download = livePresent ? DownloadBetween(manifest, live, nullptr) : release.bytes;
    release.fromKnown = livePresent;
    release.downloadKnown = true;
    if (livePresent) ManifestLines(live, &release.fromSerial);
    return MakePendingEntry(site, release, recordTemp, pending.entry, error);
}

void FinishKeep(const PendingKeep& pending, const std::string& oldTree) {
    std::string error;
    bool renamed = false;
    if (!pending.entry.empty() && !Finalize(pending.entry, error, &renamed) && renamed)
        WarnNotFlushed("the history entry " + pending.entry.substr(0, pending.entry.size() - 8) + " is made", error,
                       "the next command of the publisher finishes it again");
    else if (!pending.entry.empty() && !renamed)
        std::fprintf(stderr, "warning: %s (the next command of the publisher finishes the history entry)\n",
                     error.c_str());
    if (oldTree.empty()) return;
    std::vector<KeptRelease> entries;
    if (!ReadEntries(pending.site, entries, error)) {  // the next command's TidyHistory moves it
        std::fprintf(stderr, "warning: the old tree stays at %s for now: %s\n", oldTree.c_str(), error.c_str());
        return;
    }
    const KeptRelease* entry = WithDigest(entries, pending.oldDigest);
    bool keep = entry != nullptr && !entry->hasTree && pending.oldDigest != pending.newDigest &&
                pending.oldDigest != pending.otherDigest;
    bool moved = false;
    if (keep && MoveTreeInto(oldTree, entry->path, error, &moved)) return;
    if (moved) {
        WarnNotFlushed("the old tree is kept in " + entry->path, error,
                       "the next command of the publisher moves it there again from " + oldTree);
        return;
    }
    if (keep && PathExists(oldTree)) {  // the next command's TidyHistory moves it
        std::fprintf(stderr, "warning: the old tree stays at %s for now: %s\n", oldTree.c_str(), error.c_str());
        return;
    }
    if (PathExists(oldTree) && !RemoveOwnTree(oldTree, error))
        std::fprintf(stderr, "warning: the new tree is live, but the old one is left behind at %s (%s); the next "
                             "publish removes it\n", oldTree.c_str(), error.c_str());
}

bool KeepOrRetireTree(const std::string& site, const std::string& tree, std::string& error) {
    // A read that fails leaves the tree where it is: retired, it could be an entry's only tree.
    std::string digest, liveDigest, stageDigest;
    std::vector<KeptRelease> entries;
    if (!TreeDigest(tree, digest, error) || !ServedDigest(site, false, liveDigest, error) ||
        !ServedDigest(site, true, stageDigest, error) || (IsOurHistory(site) && !ReadEntries(site, entries, error)))
        return false;
    if (!digest.empty() && digest != liveDigest && (tree == StageTreePathFor(site) || digest != stageDigest)) {
        const KeptRelease* entry = WithDigest(entries, digest);
        bool moved = false;
        if (entry != nullptr && !entry->hasTree && !MoveTreeInto(tree, entry->path, error, &moved) && moved)
            WarnNotFlushed("the tree " + tree + " is kept in " + entry->path, error,
                           "the next command of the publisher moves it there again");
        if (entry != nullptr && !entry->hasTree) return moved;
    }
    return RetireTree(tree, error);
}

namespace {

// Entries pruning renamed to ".gone", each with its folder open and locked until it is removed.
struct GoneEntry {
    std::string path;
    UniqueFd lock;
};
std::vector<GoneEntry> g_gone;

// The lock of an entry being removed (flock on its folder): false when another process holds it,
// which then removes the entry itself; held is not valid when the folder cannot be opened.
bool LockGone(const std::string& path, UniqueFd& held) {
    held = UniqueFd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return held.Valid() && flock(held.Get(), LOCK_EX | LOCK_NB) == 0;
}

}  // namespace

void RemoveGoneEntries(bool background) {
    if (g_gone.empty()) return;
    pid_t child = -1;
    if (background) {
        std::fflush(nullptr);
        child = fork();
        if (child > 0) {
            g_gone.clear();  // the locks stay with the child's copies of the descriptors
            return;
        }
    }
    if (child == 0) {
        // Nothing reads from or waits on the child: $(quillor-publish ...) ends with the parent.
        // Nor on any other descriptor the command was given: only the entries' locks stay open
        // (above the standard streams, where a command started without them may have got one).
        std::vector<unsigned> keep;
        for (GoneEntry& gone : g_gone) {
            if (gone.lock.Valid() && gone.lock.Get() < 3)
                gone.lock = UniqueFd(fcntl(gone.lock.Get(), F_DUPFD_CLOEXEC, 3));
            if (gone.lock.Valid()) keep.push_back(static_cast<unsigned>(gone.lock.Get()));
        }
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
        std::sort(keep.begin(), keep.end());
        unsigned from = 3;
        for (unsigned fd : keep) {
            if (fd > from) close_range(from, fd - 1, 0);
            from = fd + 1;
        }
        close_range(from, ~0u, 0);
        signal(SIGHUP, SIG_IGN);
        signal(SIGINT, SIG_IGN);
    }
    for (const GoneEntry& gone : g_gone) {
        std::string error;
        if (!RemoveTree(gone.path, error) && child != 0)
            std::fprintf(stderr, "warning: %s (the next command removes it)\n", error.c_str());
    }
    g_gone.clear();
    if (child == 0) _exit(0);
}

namespace {

// Trees an interrupted swap left beside site or its stage go into their entries (when whole, not
// served, and their entry has no tree).
bool KeepLeftTrees(const std::string& site, const std::string& liveDigest, const std::string& stageDigest,
                   std::vector<KeptRelease>& entries, std::string& error) {
    std::vector<std::string> trees;
    if (!ReadEntries(site, entries, error) || !LeftTrees(site, trees, error)) return false;
    for (const std::string& tree : trees) {
        std::string digest;
        if (!TreeDigest(tree, digest, error)) return false;
        const KeptRelease* entry = digest.empty() ? nullptr : WithDigest(entries, digest);
        if (entry == nullptr || entry->hasTree || digest == liveDigest || digest == stageDigest || !TreeIsWhole(tree))
            continue;
        if (!MoveTreeInto(tree, entry->path, error)) return false;
        std::fprintf(stderr, "kept %s, left beside %s by an interrupted command, as serial %llu in %s\n", tree.c_str(),
                     site.c_str(), static_cast<unsigned long long>(entry->serial), HistoryPathFor(site).c_str());
        if (!ReadEntries(site, entries, error)) return false;
    }
    return true;
}

}  // namespace

bool TidyHistory(const std::string& site, std::string& error, bool recovered) {
    if (!IsFinishedTree(site)) {
        // Nothing else to judge by until the live tree is back; but once a recovery with the key
        // has put back what it would, a kept release's tree left beside the site goes into its
        // entry, before the publish's clean-up could remove it. (A command without the key cannot
        // tell the tree a recovery would put back: it leaves them all.)
        if (!recovered) return true;
        std::vector<KeptRelease> entries;
        std::string stageDigest;
        return !IsOurHistory(site) ||
               (ServedDigest(site, true, stageDigest, error) && KeepLeftTrees(site, "", stageDigest, entries, error));
    }
    if (!EnsureHistory(site, error)) return false;
    const std::string history = HistoryPathFor(site), stage = StageTreePathFor(site);
    std::string liveDigest, stageDigest;
    std::vector<std::string> names;
    std::vector<KeptRelease> entries;
    if (!ServedDigest(site, false, liveDigest, error) || !ServedDigest(site, true, stageDigest, error) ||
        !NamesIn(history, names, error))
        return false;
    for (const std::string& name : names) {
        std::string path = JoinPath(history, name), ignored;
        if (IsEntryName(name, ".gone")) {
            UniqueFd held;
            if (!LockGone(path, held) && held.Valid()) continue;  // the removal a command left running
            if (!RemoveTree(path, error)) return false;
            continue;
        }
        if (!IsEntryName(name, ".pending")) continue;
        std::vector<uint8_t> info;
        KeptRelease release;
        ReadResult read = ReadFileIfThere(JoinPath(path, "info"), 4096, info, error);
        if (read == ReadResult::Failed || !ReadEntries(site, entries, error)) return false;
        bool served = read == ReadResult::Read && ParseInfo(std::string(info.begin(), info.end()), release) &&
                      (release.digest == liveDigest || release.digest == stageDigest) &&
                      WithDigest(entries, release.digest) == nullptr;
        // A pending entry whose tree never went live goes; one whose swap happened is kept.
        if (served ? !Finalize(path, error) : !RemoveTree(path, error)) return false;
    }
    if (!KeepLeftTrees(site, liveDigest, stageDigest, entries, error)) return false;
    if (!liveDigest.empty() && WithDigest(entries, liveDigest) == nullptr &&
        !EntryForTree(site, site, RecordPathFor(site), error))
        return false;
    if (!stageDigest.empty() && stageDigest != liveDigest && WithDigest(entries, stageDigest) == nullptr &&
        !EntryForTree(site, stage, RecordPathFor(stage), error))
        return false;
    return true;
}

bool ListHistory(const std::string& site, std::vector<KeptRelease>& releases, std::string& error) {
    const std::string history = HistoryPathFor(site);
    if (PathExists(history) && !IsOurHistory(site)) {
        error = history + " was not made by quillor-publish (it lacks " + kMarkName + ")";
        return false;
    }
    std::vector<uint8_t> live, stage;
    uint64_t liveSerial = 0, stageSerial = 0;
    std::string liveDigest;
    bool livePresent = false, stageOpen = false;
    if (!ReadEntries(site, releases, error) || !ReadTreeManifestBytes(site, livePresent, live, error, &liveDigest) ||
        !ReadTreeManifestBytes(StageTreePathFor(site), stageOpen, stage, error))
        return false;
    if (livePresent) ManifestLines(live, &liveSerial);
    if (stageOpen) ManifestLines(stage, &stageSerial);
    stageOpen = stageOpen && (!livePresent || stageSerial > liveSerial);
    const std::string stageDigest = stageOpen ? ManifestDigest(stage) : "";
    for (KeptRelease& release : releases) {
        release.live = release.digest == liveDigest;
        release.staged = release.digest == stageDigest;
    }
    // A served tree without an entry yet (made before there was a history) is listed from its manifest.
    for (const auto& served : {std::make_pair(&live, liveDigest), std::make_pair(&stage, stageDigest)}) {
        if (served.second.empty() || WithDigest(releases, served.second) != nullptr) continue;
        KeptRelease release;
        release.digest = served.second;
        release.madeNs = NowNs();
        for (const ManifestLine& line : ManifestLines(*served.first, &release.serial)) {
            ++release.files;
            release.bytes += line.size;
        }
        release.live = served.second == liveDigest;
        release.staged = !release.live;
        releases.push_back(release);
    }
    // Newest first by the order the entries were made: a clock stepped back between two publishes
    // moves their times, never their order. Entries made before the order was kept (order 0) are
    // older than every ordered one, and among themselves go by time; a served tree without an
    // entry (path "") is the newest.
    std::stable_sort(releases.begin(), releases.end(), [](const KeptRelease& a, const KeptRelease& b) {
        bool aServed = a.path.empty(), bServed = b.path.empty();
        if (aServed != bServed) return aServed;
        if (a.order != b.order) return a.order > b.order;
        return a.madeNs != b.madeNs ? a.madeNs > b.madeNs : a.serial > b.serial;
    });
    return true;
}

bool PruneHistory(const std::string& site, unsigned keep, std::string& note, std::string& error,
                  const uint64_t* keepSerial) {
    note.clear();
    std::vector<KeptRelease> releases;
    if (!IsOurHistory(site) || !ListHistory(site, releases, error)) return error.empty();
    // Protected: the live release, the staged one, and the newest kept tree made before the live one.
    bool afterLive = false, previousFound = false;
    unsigned kept = 0;
    std::vector<const KeptRelease*> victims;
    for (const KeptRelease& release : releases) {
        bool previous = afterLive && !previousFound && release.hasTree;
        previousFound = previousFound || previous;
        afterLive = afterLive || release.live;
        if (release.path.empty()) continue;
        bool reverted = keepSerial != nullptr && release.serial == *keepSerial;
        if (release.live || release.staged || previous || reverted || kept < keep) ++kept;
        else victims.push_back(&release);
    }
    for (const KeptRelease* victim : victims) {
        // The rename first: a removal cut short is never an entry a revert could take.
        std::string gone = victim->path + ".gone";
        if (rename(victim->path.c_str(), gone.c_str()) != 0) {
            error = ErrnoText(victim->path);
            return false;
        }
        std::string flush;
        if (!SyncParent(gone, flush))
            WarnNotFlushed("serial " + std::to_string(victim->serial) + " is pruned", flush,
                           "its entry may be back in " + HistoryPathFor(site) + " until the next prune");
        UniqueFd held;
        LockGone(gone, held);
        g_gone.push_back(GoneEntry{gone, std::move(held)});
        note += std::string(note.empty() ? "pruned serial " : ", ") + std::to_string(victim->serial);
    }
    if (!note.empty()) note += " from " + HistoryPathFor(site);
    return true;
}

bool FindKept(const std::string& site, uint64_t serial, KeptRelease& release, std::string& tree, std::string& error) {
    std::vector<KeptRelease> releases;
    if (!ListHistory(site, releases, error)) return false;
    for (const KeptRelease& each : releases) {
        if (each.serial != serial || !(each.hasTree || each.live || each.staged)) continue;
        release = each;
        tree = each.hasTree ? JoinPath(each.path, "tree") : each.live ? site : StageTreePathFor(site);
        return true;
    }
    error = "no kept release of serial " + std::to_string(serial) + " in " + HistoryPathFor(site) +
            " (quillor-publish history " + site + " lists them)";
    return false;
}
