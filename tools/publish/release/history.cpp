// Kept releases beside a site: entries made before a swap, trees moved in after it, pruning.
#include "release/history.h"

#include "core/fs_util.h"
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

std::vector<std::string> NamesIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* handle = opendir(dir.c_str())) {
        while (struct dirent* entry = readdir(handle))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        closedir(handle);
    }
    return names;
}

// The history folder is the publisher's only when it holds the mark; an empty one is taken over.
bool EnsureHistory(const std::string& site, std::string& error) {
    const std::string history = HistoryPathFor(site), mark = JoinPath(history, kMarkName);
    struct stat st;
    if (lstat(history.c_str(), &st) != 0) {
        if (errno != ENOENT || mkdir(history.c_str(), 0755) != 0) {
            error = ErrnoText(history);
            return false;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        error = history + ": exists and is not a folder; quillor-publish keeps the releases of " + site + " there";
        return false;
    }
    if (lstat(mark.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
    if (!NamesIn(history).empty()) {
        error = history + " was not made by quillor-publish (it lacks " + kMarkName + "); it is left alone, but " +
                site + " keeps its releases there: move it away";
        return false;
    }
    return WriteFileAtomic(mark, kMarkText, sizeof kMarkText - 1, 0644, false, error);
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

// digest, when given, gets the bytes' ManifestDigest.
bool ReadTreeManifestBytes(const std::string& tree, std::vector<uint8_t>& bytes, std::string* digest = nullptr) {
    std::string ignored, path = JoinPath(tree, "manifest.txt");
    struct stat before, after;
    bool statted = stat(path.c_str(), &before) == 0;
    if (!IsFinishedTree(tree) || !ReadWholeFile(path, kManifestLimit, bytes, ignored)) return false;
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

std::string TreeDigest(const std::string& tree) {
    std::vector<uint8_t> bytes;
    std::string digest;
    return ReadTreeManifestBytes(tree, bytes, &digest) ? digest : std::string();
}

// The final entries (info readable); pending and gone ones are not among them.
std::vector<KeptRelease> ReadEntries(const std::string& site) {
    std::vector<KeptRelease> entries;
    const std::string history = HistoryPathFor(site);
    for (const std::string& name : NamesIn(history)) {
        if (!IsEntryName(name, "")) continue;
        KeptRelease release;
        std::vector<uint8_t> info;
        std::string ignored;
        release.path = JoinPath(history, name);
        if (!ReadWholeFile(JoinPath(release.path, "info"), 4096, info, ignored) ||
            !ParseInfo(std::string(info.begin(), info.end()), release))
            continue;
        release.hasTree = IsDirectory(JoinPath(release.path, "tree"));
        entries.push_back(release);
    }
    return entries;
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
    std::string text = InfoText(release), info = JoinPath(path, "info");
    UniqueFd fd(open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    bool ok = fd.Valid() && WriteAll(fd.Get(), text.data(), text.size()) && fsync(fd.Get()) == 0 &&
              close(fd.Release()) == 0;
    if (!ok) error = ErrnoText(info);
    if (ok && !record.empty() && link(record.c_str(), JoinPath(path, "record").c_str()) != 0 && errno != ENOENT) {
        error = ErrnoText(JoinPath(path, "record"));
        ok = false;
    }
    if (ok && SyncParent(info, error) && SyncParent(path, error)) return true;
    std::string ignored;
    RemoveTree(path, ignored);
    return false;
}

// A ".pending" entry's final name, flushed.
bool Finalize(const std::string& pending, std::string& error) {
    std::string final = pending.substr(0, pending.size() - 8);
    if (rename(pending.c_str(), final.c_str()) != 0) {
        error = ErrnoText(final);
        return false;
    }
    return SyncParent(final, error);
}

bool MoveTreeInto(const std::string& tree, const std::string& entry, std::string& error) {
    std::string target = JoinPath(entry, "tree");
    if (rename(tree.c_str(), target.c_str()) != 0) {
        error = ErrnoText(target);
        return false;
    }
    return SyncParent(target, error) && SyncParent(tree, error);
}

// An entry for a live or staged tree that has none (made before there was a history, or its
// pending entry was lost), from its manifest; no message, the download unknown.
bool EntryForTree(const std::string& site, const std::string& tree, const std::string& record, std::string& error) {
    std::vector<uint8_t> manifest;
    if (!ReadTreeManifestBytes(tree, manifest)) return true;
    KeptRelease release;
    release.digest = ManifestDigest(manifest);
    for (const ManifestLine& line : ManifestLines(manifest, &release.serial)) {
        ++release.files;
        release.bytes += line.size;
    }
    struct stat st;
    if (lstat(JoinPath(tree, "manifest.txt").c_str(), &st) == 0)
        release.madeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    std::string path;
    return MakePendingEntry(site, release, record, path, error) && Finalize(path, error);
}

// Trees an interrupted swap or retirement left beside site or its stage under an own name.
std::vector<std::string> LeftTrees(const std::string& site) {
    std::string parent, name;
    SplitPath(site, parent, name);
    std::vector<std::string> trees;
    for (const std::string& entry : NamesIn(parent)) {
        for (const std::string& base : {name, name + ".stage", name + ".stage-retired"})
            if (IsOwnTempName(entry, base, "") || IsOwnTempName(entry, base, ".old"))
                trees.push_back(JoinPath(parent, entry));
    }
    return trees;
}

// Whether every file the manifest lists lies in tree with its listed size (no body is read).
bool TreeIsWhole(const std::string& tree) {
    std::vector<uint8_t> manifest;
    if (!ReadTreeManifestBytes(tree, manifest)) return false;
    const std::string files = JoinPath(tree, "files");
    for (const ManifestLine& line : ManifestLines(manifest)) {
        struct stat st;
        if (lstat(JoinPath(files, std::string(line.path)).c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<uint64_t>(st.st_size) != line.size)
            return false;
    }
    return true;
}

std::string ServedDigest(const std::string& site, bool stage) {
    return TreeDigest(stage ? StageTreePathFor(site) : site);
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
    std::string liveDigest;
    bool livePresent = ReadTreeManifestBytes(site, live, &liveDigest);
    bool toLive = slot == site;
    pending.oldDigest = toLive ? liveDigest : TreeDigest(slot);
    pending.otherDigest = toLive ? ServedDigest(site, true) : liveDigest;
    if (WithDigest(ReadEntries(site), pending.newDigest) != nullptr) return true;  // the same release again
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
    if (!pending.entry.empty() && !Finalize(pending.entry, error))
        std::fprintf(stderr, "warning: %s (the next command of the publisher finishes the history entry)\n",
                     error.c_str());
    if (oldTree.empty()) return;
    std::vector<KeptRelease> entries = ReadEntries(pending.site);
    const KeptRelease* entry = WithDigest(entries, pending.oldDigest);
    bool keep = entry != nullptr && !entry->hasTree && pending.oldDigest != pending.newDigest &&
                pending.oldDigest != pending.otherDigest;
    if (keep && MoveTreeInto(oldTree, entry->path, error)) return;
    if (keep && PathExists(oldTree)) {  // the next command's TidyHistory moves it
        std::fprintf(stderr, "warning: the old tree stays at %s for now: %s\n", oldTree.c_str(), error.c_str());
        return;
    }
    if (PathExists(oldTree) && !RemoveOwnTree(oldTree, error))
        std::fprintf(stderr, "warning: the new tree is live, but the old one is left behind at %s (%s); the next "
                             "publish removes it\n", oldTree.c_str(), error.c_str());
}

bool KeepOrRetireTree(const std::string& site, const std::string& tree, std::string& error) {
    std::string digest = TreeDigest(tree);
    if (!digest.empty() && IsOurHistory(site) && digest != ServedDigest(site, false) &&
        (tree == StageTreePathFor(site) || digest != ServedDigest(site, true))) {
        std::vector<KeptRelease> entries = ReadEntries(site);
        const KeptRelease* entry = WithDigest(entries, digest);
        if (entry != nullptr && !entry->hasTree) return MoveTreeInto(tree, entry->path, error);
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

bool TidyHistory(const std::string& site, std::string& error) {
    if (!IsFinishedTree(site)) return true;  // nothing to judge by until the live tree is back
    if (!EnsureHistory(site, error)) return false;
    const std::string history = HistoryPathFor(site), stage = StageTreePathFor(site);
    const std::string liveDigest = ServedDigest(site, false), stageDigest = ServedDigest(site, true);
    for (const std::string& name : NamesIn(history)) {
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
        bool served = ReadWholeFile(JoinPath(path, "info"), 4096, info, ignored) &&
                      ParseInfo(std::string(info.begin(), info.end()), release) &&
                      (release.digest == liveDigest || release.digest == stageDigest) &&
                      WithDigest(ReadEntries(site), release.digest) == nullptr;
        // A pending entry whose tree never went live goes; one whose swap happened is kept.
        if (served ? !Finalize(path, error) : !RemoveTree(path, error)) return false;
    }
    std::vector<KeptRelease> entries = ReadEntries(site);
    for (const std::string& tree : LeftTrees(site)) {
        std::string digest = TreeDigest(tree);
        const KeptRelease* entry = digest.empty() ? nullptr : WithDigest(entries, digest);
        if (entry == nullptr || entry->hasTree || digest == liveDigest || digest == stageDigest || !TreeIsWhole(tree))
            continue;
        if (!MoveTreeInto(tree, entry->path, error)) return false;
        std::fprintf(stderr, "kept %s, left beside %s by an interrupted command, as serial %llu in %s\n", tree.c_str(),
                     site.c_str(), static_cast<unsigned long long>(entry->serial), history.c_str());
        entries = ReadEntries(site);
    }
    if (!liveDigest.empty() && WithDigest(entries, liveDigest) == nullptr &&
        !EntryForTree(site, site, RecordPathFor(site), error))
        return false;
    if (!stageDigest.empty() && stageDigest != liveDigest && WithDigest(entries, stageDigest) == nullptr &&
        !EntryForTree(site, stage, RecordPathFor(stage), error))
        return false;
    return true;
}

bool ListHistory(const std::string& site, std::vector<KeptRelease>& releases, std::string& error) {
    releases = ReadEntries(site);
    const std::string history = HistoryPathFor(site);
    if (PathExists(history) && !IsOurHistory(site)) {
        error = history + " was not made by quillor-publish (it lacks " + kMarkName + ")";
        return false;
    }
    std::vector<uint8_t> live, stage;
    uint64_t liveSerial = 0, stageSerial = 0;
    std::string liveDigest;
    bool livePresent = ReadTreeManifestBytes(site, live, &liveDigest);
    bool stageOpen = ReadTreeManifestBytes(StageTreePathFor(site), stage);
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
    std::sort(releases.begin(), releases.end(), [](const KeptRelease& a, const KeptRelease& b) {
        return a.madeNs != b.madeNs ? a.madeNs > b.madeNs : a.serial > b.serial;
    });
    return true;
}

bool PruneHistory(const std::string& site, unsigned keep, std::string& note, std::string& error) {
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
        if (release.live || release.staged || previous || kept < keep) ++kept;
        else victims.push_back(&release);
    }
    for (const KeptRelease* victim : victims) {
        // The rename first: a removal cut short is never an entry a revert could take.
        std::string gone = victim->path + ".gone";
        if (rename(victim->path.c_str(), gone.c_str()) != 0 || !SyncParent(gone, error)) {
            if (error.empty()) error = ErrnoText(victim->path);
            return false;
        }
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
