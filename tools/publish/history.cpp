// Kept releases beside a site: entries made before a swap, trees moved in after it, pruning.
#include "history.h"

#include "fs_util.h"
#include "publish.h"
#include "record.h"
#include "serial_memory.h"
#include "stage_files.h"
#include "tree_swap.h"
#include "update/http.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kMarkName[] = ".quillor-history";
const char kMarkText[] = "quillor-publish history 1\n";
const char kInfoHeader[] = "quillor-publish release 1";
const char kHex[] = "0123456789abcdef";

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

// FNV-1a over the serial and the random part: no secret, only a check that a hand-made name never passes.
std::string EntryCheck(const std::string& serial, const std::string& random) {
    uint32_t hash = 2166136261u;
    for (char ch : serial + "\n" + random + "\nquillor-publish history") {
        hash ^= static_cast<uint8_t>(ch);
        hash *= 16777619u;
    }
    std::string hex;
    for (int shift = 28; shift >= 0; shift -= 4) hex += kHex[(hash >> shift) & 15];
    return hex;
}

std::string EntryName(uint64_t serial) {
    uint8_t bytes[4] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        uint32_t fallback = static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(NowNs());
        std::memcpy(bytes, &fallback, sizeof bytes);
    }
    std::string random;
    for (uint8_t byte : bytes) random += std::string{kHex[byte >> 4], kHex[byte & 15]};
    return std::to_string(serial) + "-" + random + EntryCheck(std::to_string(serial), random);
}

// Whether name is an EntryName followed by suffix.
bool IsEntryName(const std::string& name, const std::string& suffix) {
    size_t dash = name.find('-');
    if (dash == std::string::npos || dash == 0 || name.size() != dash + 17 + suffix.size() ||
        name.compare(dash + 17, std::string::npos, suffix) != 0)
        return false;
    uint64_t ignored = 0;
    std::string serial = name.substr(0, dash), random = name.substr(dash + 1, 8);
    return ParseSerialArgument(serial, ignored) && random.find_first_not_of(kHex) == std::string::npos &&
           name.compare(dash + 9, 8, EntryCheck(serial, random)) == 0;
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

// Sample:
//   quillor-publish release 1
//   serial 3
//   made 1765221234123456789
//   manifest 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08
//   files 2000
//   bytes 123456789
//   from 2 download 4567          ("from none download N" for a first release, "from unknown" when not known)
//   message Fixed the map loader  (optional)
std::string InfoText(const KeptRelease& release) {
    std::string text = std::string(kInfoHeader) + "\nserial " + std::to_string(release.serial) + "\nmade " +
                       std::to_string(release.madeNs) + "\nmanifest " + release.digest + "\nfiles " +
                       std::to_string(release.files) + "\nbytes " + std::to_string(release.bytes) + "\nfrom ";
    if (!release.downloadKnown) text += "unknown";
    else text += (release.fromKnown ? std::to_string(release.fromSerial) : "none") + " download " +
                 std::to_string(release.download);
    text += "\n";
    if (!release.message.empty()) text += "message " + release.message + "\n";
    return text;
}

bool ParseInfo(const std::string& text, KeptRelease& release) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    auto value = [&](size_t index, const char* key, std::string& out) {
        size_t length = std::strlen(key);
        if (index >= lines.size() || lines[index].compare(0, length, key) != 0) return false;
        out = lines[index].substr(length);
        return true;
    };
    std::string serial, made, files, bytes, from, message;
    if (lines.size() < 7 || lines.size() > 8 || lines[0] != kInfoHeader || !value(1, "serial ", serial) ||
        !value(2, "made ", made) || !value(3, "manifest ", release.digest) || !value(4, "files ", files) ||
        !value(5, "bytes ", bytes) || !value(6, "from ", from) ||
        (lines.size() == 8 && !value(7, "message ", message)))
        return false;
    uint64_t madeValue = 0;
    std::string ignored;
    if (!ParseSerialArgument(serial, release.serial) || !ParseSerialArgument(made, madeValue) ||
        !ParseSerialArgument(files, release.files) || !ParseSerialArgument(bytes, release.bytes) ||
        release.digest.size() != 64 || release.digest.find_first_not_of(kHex) != std::string::npos ||
        !CheckMessage(message, ignored))
        return false;
    release.madeNs = static_cast<int64_t>(madeValue);
    release.message = message;
    release.fromKnown = release.downloadKnown = false;
    release.download = 0;
    if (from == "unknown") return true;
    size_t blank = from.find(" download ");
    if (blank == std::string::npos || !ParseSerialArgument(from.substr(blank + 10), release.download)) return false;
    release.downloadKnown = true;
    if (from.compare(0, blank, "none") == 0) return true;
    release.fromKnown = true;
    return ParseSerialArgument(from.substr(0, blank), release.fromSerial);
}

// One file line of a manifest as the publisher writes it: "sha256 TAB size TAB path".
struct Line {
    std::string_view sha, path;
    uint64_t size = 0;
};

// The file lines of manifest (lines without two tabs, the serial line among them, are skipped);
// serial gets the serial line's number.
std::vector<Line> FileLines(const std::vector<uint8_t>& manifest, uint64_t* serial = nullptr) {
    std::vector<Line> lines;
    std::string_view text(reinterpret_cast<const char*>(manifest.data()), manifest.size());
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        size_t tab = line.find('\t'), second = tab == std::string_view::npos ? tab : line.find('\t', tab + 1);
        if (second == std::string_view::npos) {
            if (serial != nullptr && line.compare(0, 7, "serial ") == 0)
                ParseSerialArgument(std::string(line.substr(7)), *serial);
            continue;
        }
        Line parsed{line.substr(0, tab), line.substr(second + 1)};
        ParseSerialArgument(std::string(line.substr(tab + 1, second - tab - 1)), parsed.size);
        lines.push_back(parsed);
    }
    return lines;
}

bool ReadTreeManifestBytes(const std::string& tree, std::vector<uint8_t>& bytes) {
    std::string ignored;
    return IsFinishedTree(tree) && ReadWholeFile(JoinPath(tree, "manifest.txt"), kManifestLimit, bytes, ignored);
}

std::string TreeDigest(const std::string& tree) {
    std::vector<uint8_t> bytes;
    return ReadTreeManifestBytes(tree, bytes) ? ManifestDigest(bytes) : std::string();
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
    for (const Line& line : FileLines(manifest, &release.serial)) {
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
    for (const Line& line : FileLines(manifest)) {
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

std::string HistoryPathFor(const std::string& serverDir) { return BesidePath(serverDir, ".history"); }

bool CheckMessage(const std::string& text, std::string& error) {
    if (text.size() > kMessageLimit) {
        error = "the message is " + std::to_string(text.size()) + " bytes; at most " + std::to_string(kMessageLimit);
        return false;
    }
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        bool ok = length != 0 && i + length <= text.size() && !(lead < 0x20 || lead == 0x7f) && lead != 0xc0 &&
                  lead != 0xc1 && lead <= 0xf4;
        for (size_t k = 1; ok && k < length; ++k) ok = (static_cast<unsigned char>(text[i + k]) >> 6) == 2;
        // C1 controls (U+0080 to U+009F) are line breaks or escapes to some terminals too.
        if (ok && lead == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) ok = false;
        if (!ok) {
            error = "the message must be one line of UTF-8 text without control characters";
            return false;
        }
        i += length;
    }
    return true;
}

void ManifestTotals(const std::vector<uint8_t>& manifest, uint64_t& serial, uint64_t& files, uint64_t& bytes) {
    serial = files = bytes = 0;
    for (const Line& line : FileLines(manifest, &serial)) {
        ++files;
        bytes += line.size;
    }
}

std::vector<PublishedFile> ManifestFiles(const std::vector<uint8_t>& manifest) {
    std::vector<PublishedFile> files;
    for (const Line& line : FileLines(manifest)) files.push_back({std::string(line.path), std::string(line.sha), line.size});
    return files;
}

uint64_t DownloadBetween(const std::vector<uint8_t>& newManifest, const std::vector<uint8_t>& oldManifest,
                         std::vector<std::string>* lines) {
    std::vector<Line> now = FileLines(newManifest), before = FileLines(oldManifest);
    uint64_t download = 0;
    auto note = [&](const char* kind, const Line& line, uint64_t size) {
        if (lines != nullptr) {
            char head[40];
            std::snprintf(head, sizeof head, "%-8s %14llu  ", kind, static_cast<unsigned long long>(size));
            lines->push_back(head + std::string(line.path));
        }
    };
    size_t i = 0, k = 0;
    while (i < now.size() || k < before.size()) {
        int order = i == now.size() ? 1 : k == before.size() ? -1 : now[i].path.compare(before[k].path);
        if (order < 0) {
            download += now[i].size;
            note("added", now[i], now[i].size);
            ++i;
        } else if (order > 0) {
            note("removed", before[k], 0);
            ++k;
        } else {
            if (now[i].sha != before[k].sha || now[i].size != before[k].size) {
                download += now[i].size;
                note("changed", now[i], now[i].size);
            }
            ++i;
            ++k;
        }
    }
    return download;
}

bool BeginKeep(const std::string& site, const std::string& slot, const std::vector<uint8_t>& manifest,
               const std::string& recordTemp, const std::string& message, PendingKeep& pending, std::string& error) {
    pending = PendingKeep();
    pending.site = site;
    pending.newDigest = ManifestDigest(manifest);
    if (!CheckMessage(message, error) || !EnsureHistory(site, error)) return false;
    std::vector<uint8_t> live;
    bool livePresent = ReadTreeManifestBytes(site, live);
    std::string liveDigest = livePresent ? ManifestDigest(live) : std::string();
    bool toLive = slot == site;
    pending.oldDigest = toLive ? liveDigest : TreeDigest(slot);
    pending.otherDigest = toLive ? ServedDigest(site, true) : liveDigest;
    if (WithDigest(ReadEntries(site), pending.newDigest) != nullptr) return true;  // the same release again
    KeptRelease release;
    release.digest = pending.newDigest;
    release.madeNs = NowNs();
    release.message = message;
    for (const Line& line : FileLines(manifest, &release.serial)) {
        ++release.files;
        release.bytes += line.size;
    }
    release.download = livePresent ? DownloadBetween(manifest, live, nullptr) : release.bytes;
    release.fromKnown = livePresent;
    release.downloadKnown = true;
    if (livePresent) FileLines(live, &release.fromSerial);
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

bool TidyHistory(const std::string& site, std::string& error) {
    if (!IsFinishedTree(site)) return true;  // nothing to judge by until the live tree is back
    if (!EnsureHistory(site, error)) return false;
    const std::string history = HistoryPathFor(site), stage = StageTreePathFor(site);
    const std::string liveDigest = ServedDigest(site, false), stageDigest = ServedDigest(site, true);
    for (const std::string& name : NamesIn(history)) {
        std::string path = JoinPath(history, name), ignored;
        if (IsEntryName(name, ".gone") && !RemoveTree(path, error)) return false;
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
    bool livePresent = ReadTreeManifestBytes(site, live);
    bool stageOpen = ReadTreeManifestBytes(StageTreePathFor(site), stage);
    if (livePresent) FileLines(live, &liveSerial);
    if (stageOpen) FileLines(stage, &stageSerial);
    stageOpen = stageOpen && (!livePresent || stageSerial > liveSerial);
    const std::string liveDigest = livePresent ? ManifestDigest(live) : "";
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
        for (const Line& line : FileLines(*served.first, &release.serial)) {
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
        if (!RemoveTree(gone, error)) return false;
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
