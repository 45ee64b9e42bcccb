// The updater asks manifest.txt, then manifest.sig, then the changed files in manifest order, and
// stops at the first failure; so one address's requests read as a sequence of runs.
#include "report/run_classifier.h"

#include <arpa/inet.h>
#include <cstring>
#include <unordered_map>

namespace {

struct AddressKey {
    uint64_t high = 0, low = 0;
    bool operator==(const AddressKey& other) const { return high == other.high && low == other.low; }
};

struct AddressHash {
    size_t operator()(const AddressKey& key) const {
        uint64_t mixed = (key.high * 0x9E3779B97F4A7C15ull) ^ (key.low + 0x632BE59BD9B4E019ull);
        mixed ^= mixed >> 31;
        mixed *= 0xBF58476D1CE4E5B9ull;
        return static_cast<size_t>(mixed ^ (mixed >> 29));
    }
};

constexpr uint32_t kNoPath = UINT32_MAX;
constexpr uint32_t kManifestPath = UINT32_MAX - 1;
constexpr uint32_t kSignaturePath = UINT32_MAX - 2;

enum Phase : uint8_t { kIdle, kManifestDone, kSignatureDone, kStopped };
// kPatched: the run's last file came through its block file and ranges (a drop to the whole
// file at /files/ then is the same file, not another).
enum Flag : uint8_t { kAnsweredSinceStage = 1, kLatestFromStage = 2, kCounted = 4, kPrevCounted = 8, kPatched = 16 };

// All that is kept per address: about 50 bytes, so a million players fit in well under 100 MB.
struct Player {
    uint64_t offered = 0;  // bit per release index
    int64_t doneMs = 0;    // when the previous run completed
    int64_t lastMs = 0;    // the latest request of the run in flight
    uint32_t filesOk = 0;
    uint32_t lastPath = kNoPath;
    uint32_t prevPath = kNoPath;  // last file of the previous run while it counts as complete
    int8_t installed = -1;        // release known to be installed; -1 unknown
    int8_t run = -1;              // release offered in the run in flight
    int8_t prevRun = -1;          // release of the previous run, while it counts as complete
    int8_t partial = -1;          // release a stopped run left half installed (installed is -1 then)
    uint8_t phase = kIdle;
    uint8_t flags = 0;
};

// "203.0.113.7" or an IPv6 text into 16 bytes (IPv4 as ::ffff:a.b.c.d); false for anything else.
bool ParseAddress(std::string_view text, AddressKey& key) {
    uint32_t value = 0, part = 0;
    int dots = 0, digits = 0;
    bool v4 = !text.empty() && text.size() <= 15;
    for (size_t i = 0; v4 && i < text.size(); ++i) {
        char ch = text[i];
        if (ch >= '0' && ch <= '9' && digits < 3) {
            part = part * 10 + static_cast<uint32_t>(ch - '0');
            ++digits;
        } else if (ch == '.' && digits > 0 && dots < 3 && part <= 255) {
            value = (value << 8) | part;
            part = 0;
            digits = 0;
            ++dots;
        } else {
            v4 = false;
        }
    }
    if (v4 && dots == 3 && digits > 0 && part <= 255) {
        key.high = 0;
        key.low = 0xFFFF00000000ull | ((value << 8) | part);
        return true;
    }
    char buffer[64];
    unsigned char bytes[16];
    if (text.size() >= sizeof buffer) return false;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    if (inet_pton(AF_INET6, buffer, bytes) != 1) return false;
    key.high = key.low = 0;
    for (int i = 0; i < 8; ++i) key.high = (key.high << 8) | bytes[i];
    for (int i = 8; i < 16; ++i) key.low = (key.low << 8) | bytes[i];
    return true;
}

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// "%XX" into its byte, once; a "%" without two hex digits stays as it is.
void PercentDecode(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        int high = 0, low = 0;
        if (text[i] == '%' && i + 2 < text.size() && (high = HexValue(text[i + 1])) >= 0 &&
            (low = HexValue(text[i + 2])) >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
}

std::string AddressText(const AddressKey& key) {
    unsigned char bytes[16];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(key.high >> (56 - 8 * i));
    for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<unsigned char>(key.low >> (56 - 8 * i));
    char text[INET6_ADDRSTRLEN] = "";
    if (key.high == 0 && (key.low >> 32) == 0xFFFF)
        inet_ntop(AF_INET, bytes + 12, text, sizeof text);
    else
        inet_ntop(AF_INET6, bytes, text, sizeof text);
    return text;
}

}  // namespace

struct Classifier {
    ReleaseIndex& index;
    ClassifierOptions options;
    Figures figures;
    std::unordered_map<AddressKey, Player, AddressHash> players;
    std::string scratch, pathText;

    Classifier(ReleaseIndex& releases, const ClassifierOptions& given) : index(releases), options(given) {
        figures.releases.resize(index.releases.size());
    }

    std::string PathName(uint32_t id) const {
        if (id == kManifestPath) return "/manifest.txt";
        if (id == kSignaturePath) return "/manifest.sig";
        return id < index.paths.size() ? "/files/" + index.paths[id] : "(an unlisted path)";
    }

    // Addresses known to hold each release, as deltas per bin; bins double in width as time goes on.
    void Adopt(int from, int to, int64_t ms) {
        if (from == to || index.releases.empty()) return;
        if (figures.adoptionBins == 0) {
            figures.adoptionStartMs = ms;
            figures.adoption.assign(kAdoptionBins, std::vector<int64_t>(index.releases.size(), 0));
            figures.adoptionBins = 1;
        }
        int64_t offset = ms < figures.adoptionStartMs ? 0 : ms - figures.adoptionStartMs;
        while (offset / figures.adoptionBinMs >= kAdoptionBins) {
            for (int bin = 0; bin < kAdoptionBins; ++bin)
                for (size_t r = 0; r < index.releases.size(); ++r) {
                    int64_t value = bin * 2 < kAdoptionBins ? figures.adoption[bin * 2][r] : 0;
                    if (bin * 2 + 1 < kAdoptionBins) value += figures.adoption[bin * 2 + 1][r];
                    figures.adoption[bin][r] = value;
                }
            figures.adoptionBinMs *= 2;
            figures.adoptionBins = (figures.adoptionBins + 1) / 2;
        }
        int bin = static_cast<int>(offset / figures.adoptionBinMs);
        if (bin + 1 > figures.adoptionBins) figures.adoptionBins = bin + 1;
        if (from >= 0) --figures.adoption[bin][static_cast<size_t>(from)];
        if (to >= 0) ++figures.adoption[bin][static_cast<size_t>(to)];
    }

    // Runs that began before --since only teach what each address holds; they are not counted.
    void CountStop(const Player& player, int release, uint32_t path, const AddressKey& key) {
        if (!(player.flags & kCounted)) return;
        if (release < 0) {
            ++figures.unknownSerial;
            return;
        }
        ReleaseFigures& counts = figures.releases[static_cast<size_t>(release)];
        ++counts.incomplete;
        PathCount& stop = counts.stoppedAt[PathName(path)];
        ++stop.runs;
        if (options.keepAddresses && stop.addresses.size() < kAddressSamples)
            stop.addresses.push_back(AddressText(key));
    }

    // The address holds some files of the run's release and some of the one before: it is taken
    // off the adoption (it holds neither), and a run of the same release that then fetches
    // nothing was refused, not up to date.
    void HalfInstalled(Player& player, int release, int64_t ms) {
        Adopt(player.installed, -1, ms);
        player.installed = -1;
        player.partial = static_cast<int8_t>(release);
    }

    void Stop(Player& player, uint32_t path, const AddressKey& key) {
        CountStop(player, player.run, path, key);
        if (player.filesOk > 0) HalfInstalled(player, player.run, player.lastMs);
        player.phase = kStopped;
    }

    // The run in flight ends: the next manifest request of the address, or the end of the logs.
    // It counts from its last request.
    void FinishRun(Player& player, const AddressKey& key) {
        int64_t ms = player.lastMs;
        bool complete = false;
        if (player.phase == kManifestDone) {
            CountStop(player, player.run, kManifestPath, key);
        } else if (player.phase == kSignatureDone && player.run >= 0) {
            ReleaseFigures uncounted;
            ReleaseFigures& counts =
                player.flags & kCounted ? figures.releases[static_cast<size_t>(player.run)] : uncounted;
            int changed = player.installed >= 0 ? ChangedFiles(index, player.installed, player.run) : -1;
            // With block files the updater copies a moved or duplicated file locally: no request.
            int expected = player.installed >= 0 ? FilesToFetch(index, player.installed, player.run) : -1;
            bool halfHeld = player.installed < 0 && player.partial >= 0 && player.partial == player.run;
            if (player.filesOk == 0 && (expected > 0 || halfHeld)) {
                ++counts.refused;  // nothing fetched although files changed: signature or rollback refused
            } else if (player.filesOk == 0 && changed > 0) {
                ++counts.complete;  // every changed file copied locally
                player.doneMs = ms;
                Adopt(player.installed, player.run, ms);
                player.installed = player.run;
                player.partial = -1;
            } else if (player.filesOk == 0) {
                ++counts.upToDate;
                Adopt(player.installed, player.run, ms);
                player.installed = player.run;
                player.partial = -1;
            } else if (expected >= 0 && player.filesOk < static_cast<uint32_t>(expected)) {
                CountStop(player, player.run, player.lastPath, key);
                HalfInstalled(player, player.run, ms);
            } else {
                ++counts.complete;
                complete = true;
                player.prevPath = player.lastPath;
                player.doneMs = ms;
                Adopt(player.installed, player.run, ms);
                player.installed = player.run;
                player.partial = -1;
            }
        }
        player.prevRun = complete ? player.run : -1;
        player.flags =
            static_cast<uint8_t>(player.flags & kCounted ? player.flags | kPrevCounted : player.flags & ~kPrevCounted);
        player.phase = kIdle;
        player.run = -1;
        player.filesOk = 0;
        player.flags = static_cast<uint8_t>(player.flags & ~kPatched);
        player.lastPath = kNoPath;
    }

    // The first file of this run is the previous run's last: that run stopped there after all.
    void Reclassify(Player& player, const AddressKey& key) {
        if (player.flags & kPrevCounted) {
            --figures.releases[static_cast<size_t>(player.prevRun)].complete;
            uint8_t flags = player.flags;
            player.flags |= kCounted;
            CountStop(player, player.prevRun, player.prevPath, key);
            player.flags = flags;
        }
        Adopt(player.prevRun, -1, player.doneMs);
        player.installed = -1;
        player.partial = player.prevRun;
        player.prevRun = -1;
    }

    bool InBlocksDir(const Player& player, std::string_view uri) const {
        const std::string& dir = index.releases[static_cast<size_t>(player.run)].blocksDir;
        return !dir.empty() && uri.size() > dir.size() + 2 && uri[0] == '/' && uri.compare(1, dir.size(), dir) == 0 &&
               uri[dir.size() + 1] == '/';
    }

    bool Whole(const LogRecord& record, uint64_t size) const {
        bool completed = record.source == "edge" || record.completion == "OK";
        return record.status == 200 && record.bytes == size && completed;
    }

    void Manifest(Player& player, const AddressKey& key, const LogRecord& record) {
        FinishRun(player, key);
        int release = ReleaseOfEtag(index, record.etag);
        if (release < 0 && record.status != 200) release = record.tree == "stage" ? index.stageIndex : index.liveIndex;
        player.run = static_cast<int8_t>(release);
        bool counted = record.timeMs >= options.sinceMs;
        player.flags = static_cast<uint8_t>(counted ? player.flags | kCounted : player.flags & ~kCounted);
        if (release >= 0 && counted) player.offered |= 1ull << release;
        if (counted && record.timeMs >= options.stageOpenedMs && index.stageIndex >= 0) {
            player.flags |= kAnsweredSinceStage;
            bool stage = release >= 0 ? release == index.stageIndex : record.tree == "stage";
            player.flags =
                static_cast<uint8_t>(stage ? player.flags | kLatestFromStage : player.flags & ~kLatestFromStage);
        }
        size_t dash = record.etag.rfind('-');
        uint64_t size = 0;
        for (size_t i = dash == std::string_view::npos ? record.etag.size() : dash + 1; i < record.etag.size(); ++i) {
            char ch = record.etag[i];
            if (ch == '"') break;
            size = size * 16 + static_cast<uint64_t>(ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10);
        }
        if (release >= 0 && Whole(record, size)) {
            player.phase = kManifestDone;
        } else if (release < 0 && record.status == 200) {
            figures.unknownSerial += counted;
            player.phase = kStopped;
        } else {
            Stop(player, kManifestPath, key);
        }
    }

    void File(Player& player, const AddressKey& key, const LogRecord& record) {
        // nginx logs $uri decoded; varnishncsa's %U as the player sent it, percent-encoded: an
        // edge's path is decoded once (so "x%2541y" is the name "x%41y"), an origin's never.
        if (record.source == "edge")
            PercentDecode(record.uri.substr(7), pathText);
        else
            pathText.assign(record.uri.data() + 7, record.uri.size() - 7);
        auto found = index.pathIds.find(pathText);
        const IndexedRelease& release = index.releases[static_cast<size_t>(player.run)];
        uint32_t id = found == index.pathIds.end() ? kNoPath : found->second;
        bool listed = id != kNoPath && release.sizeById[id] != kNotListed;
        if (player.filesOk == 0 && player.prevRun == player.run && player.prevPath == id && id != kNoPath)
            Reclassify(player, key);
        ReleaseFigures uncounted;
        ReleaseFigures& counts =
            player.flags & kCounted ? figures.releases[static_cast<size_t>(player.run)] : uncounted;
        if (listed && record.status == 404) ++counts.notFound[PathName(id)];
        if (listed && record.status >= 500) ++counts.serverErrors[PathName(id)];
        bool mirrored = listed && (record.status == 301 || record.status == 302 || record.status == 303 ||
                                   record.status == 307 || record.status == 308);
        figures.redirected += mirrored && (player.flags & kCounted);
        // After its block file, a file's whole download is the same file again (a drop to the
        // whole-file path), not another one.
        bool again = (player.flags & kPatched) && player.lastPath == id && id != kNoPath;
        player.flags = static_cast<uint8_t>(player.flags & ~kPatched);
        if (mirrored || (listed && Whole(record, release.sizeById[id]))) {
            player.filesOk += !again;
            player.lastPath = id;
        } else {
            Stop(player, id, key);
        }
    }

    // /DIR/<sha256>.blocks (200) and byte ranges of /DIR/<sha256> (206, one range each) of a
    // release whose serial line opted in: the file of that digest through its block file. A 200
    // to a range is the whole body, taken as the file. Any other answer drops that one file to its
    // whole download at /files/, which judges it; a block file or a range cut off is a stop at
    // the file's path.
    void Patch(Player& player, const AddressKey& key, const LogRecord& record, std::string_view rest) {
        const IndexedRelease& release = index.releases[static_cast<size_t>(player.run)];
        bool blocks = rest.size() > 7 && rest.substr(rest.size() - 7) == ".blocks";
        std::string_view hex = blocks ? rest.substr(0, rest.size() - 7) : rest;
        uint64_t head = 0;
        bool valid = hex.size() == 64;
        for (size_t i = 0; valid && i < hex.size(); ++i) {
            int digit = HexValue(hex[i]);
            valid = digit >= 0;
            if (i < 16 && valid) head = head << 4 | static_cast<uint64_t>(digit);
        }
        uint32_t id = kNoPath;
        auto range = release.idsByDigest.equal_range(head);
        for (auto it = range.first; valid && it != range.second; ++it)
            if (id == kNoPath || it->second == player.lastPath) id = it->second;
        if (id == kNoPath) {
            Stop(player, kNoPath, key);
            return;
        }
        if (player.filesOk == 0 && player.prevRun == player.run && player.prevPath == id) Reclassify(player, key);
        bool completed = record.source == "edge" || record.completion == "OK";
        bool same = (player.flags & kPatched) && player.lastPath == id;
        if (!blocks && record.status == 200) {
            // A server that ignores Range sends the whole body, which the updater takes as the file.
            if (!Whole(record, release.sizeById[id])) {
                Stop(player, id, key);
                return;
            }
            player.filesOk += !same;
            player.lastPath = id;
            player.flags |= kPatched;
            return;
        }
        bool answered = blocks ? record.status == 200 : record.status == 206;
        if (!answered) return;  // the updater drops this file to /files/
        if (!completed) {
            Stop(player, id, key);  // cut off within the block file or a range
            return;
        }
        player.filesOk += !same;
        player.lastPath = id;
        player.flags |= kPatched;
    }

    void Line(std::string_view line) {
        LogRecord record;
        if (!ParseLogRecord(line, record, scratch)) {
            ++figures.notJson;
            return;
        }
        if (record.timeMs >= options.untilMs) {  // --until is the first instant not counted
            ++figures.outsideWindow;
            return;
        }
        // Before the window a line only tells the run classifier what each address holds.
        bool inWindow = record.timeMs >= options.sinceMs;
        if (!inWindow) {
            ++figures.outsideWindow;
        } else {
            if (figures.firstMs == 0 || record.timeMs < figures.firstMs) figures.firstMs = record.timeMs;
            if (record.timeMs > figures.lastMs) figures.lastMs = record.timeMs;
        }
        uint64_t bytes = inWindow ? record.bytes : 0;
        if (record.source == "edge") {
            figures.edgeBytes += bytes;
        } else if (record.viaEdge || (!record.peer.empty() && record.peer != record.address)) {
            figures.originBytesToEdges += bytes;
            figures.viaEdgeAtOrigin += inWindow;
            return;
        } else {
            figures.originBytesToPlayers += bytes;
        }
        AddressKey key;
        if (record.method != "GET" || record.agent.compare(0, 16, "Quillor-Updater/") != 0 ||
            !ParseAddress(record.address, key)) {
            figures.otherAgents += inWindow;
            return;
        }
        if (record.uri == "/manifest.txt") {
            Player& player = players[key];
            Manifest(player, key, record);
            player.lastMs = record.timeMs;
            return;
        }
        auto found = players.find(key);
        if (found == players.end() || found->second.phase == kIdle) {
            figures.outsideRuns += inWindow;
            return;
        }
        Player& player = found->second;
        if (player.phase == kStopped) return;  // the updater asks nothing after a failure; a stray is no run
        player.lastMs = record.timeMs;
        if (record.uri == "/manifest.sig") {
            if (player.phase == kManifestDone && record.status == 200 && record.bytes == 256)
                player.phase = kSignatureDone;
            else
                Stop(player, player.phase == kManifestDone ? kSignaturePath : kNoPath, key);
        } else if (player.phase == kSignatureDone && record.uri.compare(0, 7, "/files/") == 0) {
            File(player, key, record);
        } else if (player.phase == kSignatureDone && InBlocksDir(player, record.uri)) {
            const std::string& dir = index.releases[static_cast<size_t>(player.run)].blocksDir;
            Patch(player, key, record, record.uri.substr(dir.size() + 2));
        } else {
            Stop(player, kNoPath, key);
        }
    }
};

std::unique_ptr<Classifier, void (*)(Classifier*)> NewClassifier(ReleaseIndex& index,
                                                                 const ClassifierOptions& options) {
    return {new Classifier(index, options), [](Classifier* classifier) { delete classifier; }};
}

void ClassifyLine(Classifier& classifier, std::string_view line) {
    classifier.Line(line);
}

Figures FinishClassifier(Classifier& classifier) {
    Figures& figures = classifier.figures;
    for (auto& each : classifier.players) {
        Player& player = each.second;
        classifier.FinishRun(player, each.first);
        figures.addresses += player.offered != 0;
        for (size_t r = 0; r < classifier.index.releases.size(); ++r)
            figures.releases[r].addresses += (player.offered >> r) & 1;
        if (player.flags & kAnsweredSinceStage) {
            ++figures.shareAddresses;
            figures.shareOnStage += (player.flags & kLatestFromStage) != 0;
        }
    }
    // Running sums: the deltas per bin become the addresses on each release at the end of it.
    for (int bin = 1; bin < figures.adoptionBins; ++bin)
        for (size_t r = 0; r < classifier.index.releases.size(); ++r)
            figures.adoption[static_cast<size_t>(bin)][r] += figures.adoption[static_cast<size_t>(bin) - 1][r];
    figures.adoption.resize(static_cast<size_t>(figures.adoptionBins));
    figures.peakAddressBytes = classifier.players.bucket_count() * sizeof(void*) +
                               classifier.players.size() * (sizeof(AddressKey) + sizeof(Player) + 2 * sizeof(void*));
    return figures;
}
