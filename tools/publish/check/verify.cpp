// Checking a published server tree, on disk or over HTTP, the way the updater would see it.
#include "check/verify.h"

#include "check/http_get.h"
#include "core/block_maker.h"
#include "core/digest.h"
#include "core/fs_util.h"
#include "core/path_rules.h"
#include "core/progress.h"
#include "core/serial_line.h"
#include "keys/crypto.h"
#include "update/http.h"
#include "update/manifest.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Where the three kinds of resource come from: a folder or a base URL.
struct ServerSource {
    std::string folder;  // empty for a URL
    std::string hostPort;  // the base URL's host; empty for a folder
    std::string prefix;  // URL path before "/manifest.txt", without a trailing "/"
    FetchLimits limits;
};

constexpr int kRedirectHops = 5;

// Where a redirect's Location leads from hostPort: "http://HOST[:PORT]/PATH" or "/PATH". False
// for anything else (https is not what the updater speaks here).
bool RedirectTarget(const std::string& location, std::string& hostPort, std::string& path) {
    if (!location.empty() && location[0] == '/' && (location.size() < 2 || location[1] != '/')) {
        path = location;
        return true;
    }
    if (location.compare(0, 7, "http://") != 0) return false;
    size_t slash = location.find('/', 7);
    hostPort = location.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
    path = slash == std::string::npos ? "/" : location.substr(slash);
    return !hostPort.empty() && hostPort.find_first_of("@ \t") == std::string::npos;
}

bool OpenSource(const std::string& target, ServerSource& source, std::string& error) {
    if (target.compare(0, 7, "http://") != 0) {
        if (target.compare(0, 8, "https://") == 0) {
            error = "https:// is not what the updater speaks; give its plain http:// base URL";
            return false;
        }
        if (!IsDirectory(target)) {
            error = target + ": no such server folder";
            return false;
        }
        source.folder = target;
        return true;
    }
    size_t slash = target.find('/', 7);
    std::string hostPort = target.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
    source.prefix = slash == std::string::npos ? std::string() : target.substr(slash);
    while (!source.prefix.empty() && source.prefix.back() == '/') source.prefix.pop_back();
    if (hostPort.empty()) {
        error = target + ": no host in the URL";
        return false;
    }
    source.hostPort = hostPort;
    return true;
}

std::string LargerThan(uint64_t maxBytes) { return "larger than " + std::to_string(maxBytes) + " bytes"; }

// One resource over HTTP within the transfer's deadline, redirects (at most kRedirectHops, each
// to any host) included: every wait of every hop ends at that one deadline, however slowly the
// status line, the headers or the body trickle in. See Fetch.
bool FetchHttp(ServerSource& source, const std::string& relative, uint64_t maxBytes,
               const std::function<void(const char*, size_t)>& sink, std::string& error) {
    const FetchLimits& limits = source.limits;
    Clock::time_point now = Clock::now();
    bool waitEnds = limits.deadline - now <= std::chrono::seconds(limits.transferSeconds);
    HttpGetRequest request;
    request.deadline = waitEnds ? limits.deadline : now + std::chrono::seconds(limits.transferSeconds);
    if (request.deadline <= now) {
        error = "the time to wait ran out";
        return false;
    }
    request.hostPort = source.hostPort;
    request.path = source.prefix + "/" + relative;
    for (int hop = 0;; ++hop) {
        uint64_t received = 0;
        HttpGetAnswer answer;
        std::string failure;
        bool whole = HttpGet(
            request,
            [&](const char* data, size_t size) {
                received += size;
                if (received > maxBytes) return false;
                sink(data, size);
                return true;
            },
            answer, failure);
        if (whole && answer.status == 200) return true;
        int status = answer.status;
        bool redirect = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
        if (answer.stopped) error = LargerThan(maxBytes);
        else if (answer.late && waitEnds) error = "the time to wait ran out during the transfer";
        else if (answer.late) error = "the transfer took longer than " + std::to_string(limits.transferSeconds) + " s";
        else if (!whole) error = "request failed (" + failure + ")";
        else if (redirect && hop == kRedirectHops) error = "more than " + std::to_string(kRedirectHops) + " redirects";
        else if (redirect && !RedirectTarget(answer.location, request.hostPort, request.path))
            error = "HTTP status " + std::to_string(status) + " to \"" + answer.location + "\", which is not an http:// URL";
        else if (redirect) continue;
        else error = "HTTP status " + std::to_string(status);
        return false;
    }
}

// Streams one resource (a path relative to the base) into sink, at most maxBytes of it; false
// with a reason.
bool Fetch(ServerSource& source, const std::string& relative, uint64_t maxBytes,
           const std::function<void(const char*, size_t)>& sink, std::string& error) {
    if (!source.hostPort.empty()) return FetchHttp(source, relative, maxBytes, sink, error);
    uint64_t received = 0;
    std::string path = JoinPath(source.folder, relative);
    // Non-blocking, so that a FIFO in the tree is refused instead of waiting for a writer.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.Valid() || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = fd.Valid() ? "not a regular file" : ErrnoText("cannot open");
        return false;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t got = read(fd.Get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = ErrnoText("read failed");
            return false;
        }
        if (got == 0) return true;
        received += static_cast<uint64_t>(got);
        if (received > maxBytes) {
            error = LargerThan(maxBytes);
            return false;
        }
        sink(buffer.data(), static_cast<size_t>(got));
    }
}

bool FetchBytes(ServerSource& source, const std::string& relative, uint64_t maxBytes,
                std::vector<uint8_t>& bytes, std::string& error) {
    bytes.clear();
    return Fetch(source, relative, maxBytes,
                 [&bytes](const char* data, size_t size) { bytes.insert(bytes.end(), data, data + size); },
                 error);
}

bool IsLowerHex(const std::string& text) {
    for (char ch : text)
        if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return false;
    return true;
}

// The block file the manifest's offer promises for entry's body, fetched and parsed as the updater
// would; false (with a problem) when it is missing, refused or names another body. In a folder the
// body under patch/ must be a hard link of the file's (no byte of it is read twice).
bool FetchBlockFile(ServerSource& source, const BlocksOffer& offer, const ManifestEntry& entry, BlockIndex& index,
                    std::vector<std::string>& problems) {
    const std::string relative = offer.dir + "/" + entry.sha256 + ".blocks";
    // Never more than the smallest block size allows for this body.
    const uint64_t limit = 64 + (entry.size / kMinBlockSize + 1) * (4 + 8);
    std::vector<uint8_t> bytes;
    std::string error, reason;
    uint8_t digest[32];
    if (!FetchBytes(source, relative, limit, bytes, error)) {
        problems.push_back("block file missing: " + relative + " for " + entry.path + " (" + error + ")");
        return false;
    }
    if (!ParseBlockFile(bytes.data(), bytes.size(), index, reason)) {
        problems.push_back("block file refused: " + relative + " for " + entry.path + " (" + reason + ")");
        return false;
    }
    if (index.bodySize != entry.size || !HexToSha256(entry.sha256, digest) ||
        std::memcmp(digest, index.bodySha256, 32) != 0) {
        problems.push_back("block file is for another body: " + relative + " for " + entry.path);
        return false;
    }
    if (!source.folder.empty()) {
        struct stat body, file;
        const std::string path = JoinPath(source.folder, offer.dir + "/" + entry.sha256);
        if (lstat(path.c_str(), &body) != 0 || lstat(JoinPath(source.folder, "files/" + entry.path).c_str(), &file) != 0 ||
            !S_ISREG(body.st_mode) || body.st_ino != file.st_ino || body.st_dev != file.st_dev)
            problems.push_back("not a hard link of its body: " + path + " for " + entry.path);
    }
    return true;
}

void CheckEntry(ServerSource& source, const ManifestEntry& entry, BlockIndex* blocks,
                std::vector<std::string>& problems, std::atomic<uint64_t>& progressBytes) {
    // The body is read here anyway: its blocks are checked against the block file on the way.
    BlockMaker maker;
    if (blocks != nullptr) StartBlocks(maker, blocks->blockSize, blocks->strongBytes);
    if (!IsLowerHex(entry.sha256))
        problems.push_back("digest is not lower-case hex (the updater would never match it): " + entry.path);
    Sha256 hash;
    uint64_t size = 0;
    std::string error;
    // The URL path is encoded by the updater's own function, so a mismatch there shows up here.
    std::string relative = "files/" + (source.hostPort.empty() ? entry.path : UrlEncodePath(entry.path));
    if (!Fetch(source, relative, entry.size,
               [&](const char* data, size_t length) {
                   hash.Update(data, length);
                   if (blocks != nullptr) AddBlockBytes(maker, reinterpret_cast<const uint8_t*>(data), length);
                   size += length;
                   progressBytes += length;
               },
               error)) {
        if (error == LargerThan(entry.size))
            problems.push_back("size differs: " + entry.path + " (manifest " + std::to_string(entry.size) +
                               ", served more)");
        else
            problems.push_back("missing: " + entry.path + " (" + error + ")");
        return;
    }
    if (size != entry.size) {
        problems.push_back("size differs: " + entry.path + " (manifest " + std::to_string(entry.size) +
                           ", served " + std::to_string(size) + ")");
        return;
    }
    std::string digest = hash.FinishHex();
    if (digest != entry.sha256) {
        problems.push_back("digest differs: " + entry.path + " (manifest " + entry.sha256 + ", served " +
                           digest + ")");
        return;
    }
    if (blocks == nullptr) return;
    EndBlocks(maker);
    if (maker.index.weak != blocks->weak || maker.index.strong != blocks->strong)
        problems.push_back("block file does not match its body: " + entry.sha256 + ".blocks for " + entry.path);
}

// The offer in the manifest's serial line (its first non-empty line), if any.
BlocksOffer OfferOf(const std::vector<uint8_t>& manifest) {
    std::string_view text(reinterpret_cast<const char*>(manifest.data()), manifest.size());
    size_t start = text.find_first_not_of("\r\n");
    BlocksOffer offer;
    uint64_t serial = 0;
    if (start != std::string_view::npos) ParseSerialLine(text.substr(start, text.find('\n', start) - start), serial, offer);
    return offer;
}

}  // namespace

bool VerifyServer(const std::string& keyPath, const std::string& target, const FetchLimits& limits,
                  std::vector<std::string>& problems, std::string& summary) {
    std::string error;
    PkeyPtr key;
    ServerSource source;
    source.limits = limits;
    if (!LoadVerifyKey(keyPath, key, error) || !OpenSource(target, source, error)) {
        problems.push_back(error);
        return false;
    }
    std::vector<uint8_t> manifest, signature;
    // The same limits the updater applies to the two bodies it keeps in memory.
    if (!FetchBytes(source, "manifest.txt", kManifestLimit, manifest, error)) {
        problems.push_back("manifest.txt: " + error);
        return false;
    }
    if (!FetchBytes(source, "manifest.sig", kSignatureLimit, signature, error)) {
        problems.push_back("manifest.sig: " + error);
        return false;
    }
    if (!VerifyMessage(key.get(), manifest, signature))
        problems.push_back("manifest.sig: not a valid signature of manifest.txt by " + keyPath +
                           " (" + std::to_string(signature.size()) + " bytes)");
    uint64_t serial = 0;
    std::vector<ManifestEntry> entries;
    if (!ParseManifest(manifest, serial, entries, error)) {
        problems.push_back("manifest.txt is refused by the updater's parser: " + error);
        return false;
    }
    std::vector<std::string> paths;
    uint64_t totalBytes = 0;
    for (const ManifestEntry& entry : entries) {
        paths.push_back(entry.path);
        totalBytes += entry.size;
    }
    CheckReleasePaths(paths, problems);
    ProgressMeter meter("verify", entries.size(), totalBytes);
    const BlocksOffer offer = OfferOf(manifest);
    std::set<std::string> checkedBlocks;
    for (const ManifestEntry& entry : entries) {
        if (Clock::now() >= limits.deadline) {
            problems.push_back("the time to wait ran out before every file was checked");
            break;
        }
        BlockIndex blocks;
        // One block file per body, however many paths hold it.
        bool withBlocks = offer.present && GetsBlockFile(entry.size, offer.min) && checkedBlocks.insert(entry.sha256).second &&
                          FetchBlockFile(source, offer, entry, blocks, problems);
        CheckEntry(source, entry, withBlocks ? &blocks : nullptr, problems, meter.bytes);
        ++meter.files;
    }
    summary = "serial " + std::to_string(serial) + ", " + std::to_string(entries.size()) + " files, " +
              std::to_string(totalBytes) + " bytes";
    return problems.empty();
}

bool FetchManifest(const std::string& target, const FetchLimits& limits, std::vector<uint8_t>& manifest,
                   std::string& error) {
    ServerSource source;
    source.limits = limits;
    if (!OpenSource(target, source, error)) return false;
    if (FetchBytes(source, "manifest.txt", kManifestLimit, manifest, error)) return true;
    error = target + "/manifest.txt: " + error;
    return false;
}
