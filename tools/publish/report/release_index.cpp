// Builds the validator-to-serial map from the history's kept trees, the live tree and the stage.
#include "report/release_index.h"

#include "core/fs_util.h"
#include "core/serial_line.h"
#include "release/history.h"
#include "release/history_text.h"
#include "stage/stage.h"
#include "stage/stage_files.h"

#include <algorithm>
#include <unordered_set>
#include <sys/stat.h>

std::string NginxEtag(int64_t mtimeSeconds, uint64_t size) {
    static const char kHex[] = "0123456789abcdef";
    auto hex = [](uint64_t value) {
        std::string text;
        do {
            text.insert(text.begin(), kHex[value & 15]);
            value >>= 4;
        } while (value != 0);
        return text;
    };
    return hex(static_cast<uint64_t>(mtimeSeconds)) + "-" + hex(size);
}

namespace {

bool AddTree(ReleaseIndex& index, const KeptRelease& kept, const std::string& tree) {
    std::string path = JoinPath(tree, "manifest.txt"), error;
    struct stat st;
    std::vector<uint8_t> bytes;
    if (stat(path.c_str(), &st) != 0 || !ReadWholeFile(path, 1ull << 30, bytes, error)) return false;
    IndexedRelease release;
    release.etag = NginxEtag(st.st_mtim.tv_sec, static_cast<uint64_t>(st.st_size));
    if (index.byEtag.count(release.etag)) return false;
    release.madeMs = kept.madeNs / 1000000;
    release.digest = kept.digest;
    release.live = kept.live;
    release.staged = kept.staged;
    std::vector<ManifestLine> lines = ManifestLines(bytes, &release.serial);
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (size_t at = 0; at < text.size();) {  // the serial line, wherever it stands
        size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = text.substr(at, end - at);
        if (line.compare(0, 7, "serial ") == 0 && line.find('\t') == std::string_view::npos) {
            if (!ParseBlocksMarker(line, release.blocksDir, release.blocksMin)) release.blocksDir.clear();
            break;
        }
        at = end + 1;
    }
    for (const ManifestLine& line : lines) {
        std::string name(line.path);
        auto found = index.pathIds.emplace(name, static_cast<uint32_t>(index.paths.size()));
        if (found.second) index.paths.push_back(name);
        uint32_t id = found.first->second;
        if (release.sizeById.size() <= id) {
            release.sizeById.resize(id + 1, kNotListed);
            release.digestById.resize(id + 1, 0);
        }
        release.sizeById[id] = line.size;
        uint64_t head = 0;
        for (size_t i = 0; i < 16 && i < line.sha.size(); ++i) {
            char ch = line.sha[i];
            head = head << 4 | static_cast<uint64_t>(ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10);
        }
        release.digestById[id] = head;
        if (!release.blocksDir.empty()) release.idsByDigest.emplace(head, id);
    }
    index.byEtag[release.etag] = static_cast<int>(index.releases.size());
    index.releases.push_back(std::move(release));
    return true;
}

}  // namespace

bool LoadReleaseIndex(const std::string& serverDir, ReleaseIndex& index, std::string& error) {
    index = ReleaseIndex();
    std::vector<KeptRelease> kept;
    if (!ListHistory(serverDir, kept, error)) return false;
    std::reverse(kept.begin(), kept.end());  // oldest first
    if (kept.size() > static_cast<size_t>(kMaxReleases)) kept.erase(kept.begin(), kept.end() - kMaxReleases);
    for (const KeptRelease& release : kept) {
        if (!(release.hasTree || release.live || release.staged)) continue;
        std::string tree = release.hasTree ? JoinPath(release.path, "tree")
                           : release.live  ? serverDir
                                           : StageTreePathFor(serverDir);
        if (!AddTree(index, release, tree)) continue;
        if (release.live) index.liveIndex = static_cast<int>(index.releases.size()) - 1;
        if (release.staged) index.stageIndex = static_cast<int>(index.releases.size()) - 1;
    }
    for (IndexedRelease& release : index.releases) {
        release.sizeById.resize(index.paths.size(), kNotListed);
        release.digestById.resize(index.paths.size(), 0);
    }
    SiteState site;
    std::string ignored;
    if (index.stageIndex >= 0 && ReadSite(serverDir, site, ignored) && site.open && site.statePresent)
        index.stageShare = site.state.share;
    size_t count = index.releases.size();
    index.changedCount.assign(count, std::vector<int32_t>(count, -1));
    index.fetchCount.assign(count, std::vector<int32_t>(count, -1));
    return true;
}

// Read as the publisher's other readers and the updater read it, so that the report counts a
// release as offering block files exactly when its players patch.
bool ParseBlocksMarker(std::string_view serialLine, std::string& dir, uint64_t& min) {
    uint64_t serial = 0;
    BlocksOffer offer;
    const bool offered = ParseSerialLine(serialLine, serial, offer) && offer.present;
    dir = offered ? offer.dir : std::string();
    min = offered ? offer.min : 0;
    return offered;
}

int FilesToFetch(ReleaseIndex& index, int from, int to) {
    int32_t& cached = index.fetchCount[static_cast<size_t>(from)][static_cast<size_t>(to)];
    if (cached >= 0) return cached;
    const IndexedRelease& a = index.releases[static_cast<size_t>(from)];
    const IndexedRelease& b = index.releases[static_cast<size_t>(to)];
    // Digests the run finds on disk: installed files that stay up to date (copied to any path),
    // and files, not empty, whose path the new release no longer lists (copied to a new path).
    std::unordered_set<uint64_t> staying, unlisted;
    for (size_t id = 0; id < index.paths.size(); ++id) {
        if (a.sizeById[id] == kNotListed) continue;
        if (b.sizeById[id] == kNotListed) {
            if (a.sizeById[id] > 0) unlisted.insert(a.digestById[id]);
        } else if (a.digestById[id] == b.digestById[id]) {
            staying.insert(b.digestById[id]);
        }
    }
    int32_t count = 0;
    for (size_t id = 0; id < index.paths.size(); ++id) {
        if (b.sizeById[id] == kNotListed || (a.sizeById[id] != kNotListed && a.digestById[id] == b.digestById[id]))
            continue;
        const bool local = staying.count(b.digestById[id]) ||
                           (a.sizeById[id] == kNotListed && unlisted.count(b.digestById[id]));
        count += b.blocksDir.empty() || !local;
    }
    cached = count;
    return count;
}

int ReleaseOfEtag(const ReleaseIndex& index, std::string_view etag) {
    if (etag.size() >= 2 && etag[0] == 'W' && etag[1] == '/') etag.remove_prefix(2);
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') etag = etag.substr(1, etag.size() - 2);
    auto found = index.byEtag.find(std::string(etag));
    return found == index.byEtag.end() ? -1 : found->second;
}

int ChangedFiles(ReleaseIndex& index, int from, int to) {
    int32_t& cached = index.changedCount[static_cast<size_t>(from)][static_cast<size_t>(to)];
    if (cached >= 0) return cached;
    const IndexedRelease& a = index.releases[static_cast<size_t>(from)];
    const IndexedRelease& b = index.releases[static_cast<size_t>(to)];
    int32_t count = 0;
    for (size_t id = 0; id < index.paths.size(); ++id)
        count += b.sizeById[id] != kNotListed && (a.sizeById[id] == kNotListed || a.digestById[id] != b.digestById[id]);
    cached = count;
    return count;
}
