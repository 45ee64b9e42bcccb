// The patch of one file: block file, local blocks, missing ranges, then the usual check and move.
#include "update/patch.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "base/log.h"
#include "base/long_path.h"
#include "base/settings.h"
#include "update/block_file.h"
#include "update/block_match.h"
#include "update/file_hash.h"
#include "update/file_replace.h"
#include "update/http.h"
#include "update/sha256.h"
#include "update/status.h"
#include "update/update_plan.h"

namespace {

constexpr size_t kCopyChunk = 1u << 20;

class File {
public:
    explicit File(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~File() { Close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    HANDLE get() const { return handle_; }
    void Close() {
        if (handle_) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_;
};

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

// Reads up to size bytes at offset; got < size only at the end of the file.
bool ReadAt(HANDLE file, uint64_t offset, uint8_t* buffer, size_t size, size_t& got) {
    got = 0;
    while (got < size) {
        OVERLAPPED position = At(offset + got);
        DWORD read = 0;
        if (!ReadFile(file, buffer + got, static_cast<DWORD>(size - got), &read, &position)) {
            if (GetLastError() == ERROR_HANDLE_EOF) return true;
            return false;
        }
        if (read == 0) return true;
        got += read;
    }
    return true;
}

bool WriteAt(HANDLE file, uint64_t offset, const uint8_t* data, size_t size) {
    OVERLAPPED position = At(offset);
    DWORD written = 0;
    return WriteFile(file, data, static_cast<DWORD>(size), &written, &position) && written == size;
}

bool SizeOf(HANDLE file, uint64_t& size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(file, &value)) return false;
    size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool SetSize(HANDLE file, uint64_t size) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// An installed file to take blocks from: a disk file, shared for reading as the check phase opens it.
HANDLE OpenSeed(const std::wstring& path) {
    HANDLE file = CreateFileW(FileCallPath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return nullptr;
    }
    return file;
}

bool IsFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(FileCallPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Counts the bytes of one file as they are settled, and shows them on the bar.
struct Progress {
    uint64_t doneBytes;
    uint64_t totalBytes;
    uint64_t fileSize;
    uint64_t localBytes = 0;
    uint64_t fetchedBytes = 0;
    void Show() const {
        // Blocks found locally that a merged range fetches again count once.
        if (totalBytes != 0)
            SetProgress(ProgressPermille(
                doneBytes, std::min(SaturatingAdd(localBytes, fetchedBytes), fileSize), totalBytes));
    }
};

PatchResult Drop(const ManifestEntry& entry, const std::string& reason) {
    WriteLog("patch %s dropped: %s; fetching the whole file", entry.path.c_str(), reason.c_str());
    return PatchResult::WholeFile;
}

// The block file into memory, bounded by the largest one the limits allow for this body.
bool FetchBlockIndex(const ManifestEntry& entry, const PatchOffer& offer, BlockIndex& index,
                     std::string& reason) {
    const uint64_t records = std::min<uint64_t>(BlockCountFor(entry.size, kMinBlockSize), kMaxBlockCount);
    const uint64_t limit = kBlockFileHeaderSize + records * (4 + kMaxStrongBytes);
    std::vector<uint8_t> bytes;
    std::string error;
    uint32_t status = 0;
    bool tooLong = false;
    if (!HttpGet(settings.baseUrl + "/" + offer.dir + "/" + entry.sha256 + ".blocks", &bytes, nullptr,
                 nullptr, 0, 0, error, limit, &tooLong, &status)) {
        reason = tooLong    ? "block file longer than its limit"
                 : status   ? "block file answered status " + std::to_string(status)
                            : "block file not fetched";
        return false;
    }
    if (!ParseBlockFile(bytes.data(), bytes.size(), index, reason)) {
        reason = "block file refused: " + reason;
        return false;
    }
    if (index.bodySize != entry.size) {
        reason = "block file disagrees with the manifest (size)";
        return false;
    }
    if (HexEncode(index.bodySha256, sizeof index.bodySha256) != entry.sha256) {
        reason = "block file disagrees with the manifest (digest)";
        return false;
    }
    return true;
}

// Marks the blocks a leftover ".part" already holds at their own offsets, read in large pieces.
bool FindBlocksInPlace(HANDLE part, const BlockIndex& index, std::vector<uint64_t>& sources,
                       Progress& progress) {
    uint64_t partSize = 0;
    if (!SizeOf(part, partSize)) return false;
    const size_t perRead = std::max<size_t>(1, kCopyChunk / index.blockSize);
    std::vector<uint8_t> buffer(perRead * index.blockSize);
    for (uint64_t k = 0; k < sources.size() && k * index.blockSize < partSize; k += perRead) {
        size_t got = 0;
        if (!ReadAt(part, k * index.blockSize, buffer.data(), buffer.size(), got)) return false;
        for (uint64_t j = k; j < k + perRead && j < sources.size(); ++j) {
            const uint32_t length = BlockLength(index, j);
            const size_t at = static_cast<size_t>((j - k) * index.blockSize);
            if (at + length > got) break;
            if (BlockIsIntact(index, j, buffer.data() + at, length)) {
                sources[j] = kBlockInPlace;
                progress.localBytes += length;
            }
        }
        progress.Show();
    }
    return true;
}

// Writes the blocks the search finds into the ".part" as they come, neighbours in one write, so
// the bar moves while a large installed copy is searched.
struct BlockWriter {
    HANDLE part;
    Progress& progress;
    std::vector<uint8_t> run;  // bytes of consecutive blocks not written yet
    uint64_t runOffset = 0;

    bool Add(uint64_t offset, const uint8_t* data, uint32_t length) {
        if (!run.empty() && (offset != runOffset + run.size() || run.size() + length > kCopyChunk) &&
            !Flush())
            return false;
        if (run.empty()) runOffset = offset;
        run.insert(run.end(), data, data + length);
        return true;
    }
    bool Flush() {
        if (run.empty()) return true;
        if (!WriteAt(part, runOffset, run.data(), run.size())) return false;
        progress.localBytes += run.size();
        progress.Show();
        run.clear();
        return true;
    }
};

// Fetches the ranges, checking and writing each block as it completes. wholeAnswer: the server
// sent the whole body instead, which the ".part" now holds.
PatchResult FetchRanges(const ManifestEntry& entry, const PatchOffer& offer, HANDLE part,
                        const BlockIndex& index, const std::vector<ByteRange>& ranges,
                        Progress& progress, bool& wholeAnswer, std::string& reason, std::string& error) {
    const std::string url = settings.baseUrl + "/" + offer.dir + "/" + entry.sha256;
    std::vector<uint8_t> block(index.blockSize);
    for (const ByteRange& range : ranges) {
        uint64_t k = range.first / index.blockSize;
        size_t filled = 0;
        bool writeFailed = false;
        RangeConsumer consume = [&](const uint8_t* data, size_t size, std::string& why) {
            while (size > 0) {
                const uint32_t length = BlockLength(index, k);
                const size_t take = std::min<size_t>(size, length - filled);
                std::copy(data, data + take, block.begin() + filled);
                filled += take;
                data += take;
                size -= take;
                progress.fetchedBytes += take;
                if (filled < length) break;
                if (!BlockIsIntact(index, k, block.data(), length)) {
                    why = "block " + std::to_string(k) + " failed its hash";
                    return false;
                }
                if (!WriteAt(part, k * index.blockSize, block.data(), length)) {
                    writeFailed = true;
                    why = "write failed";
                    return false;
                }
                ++k;
                filled = 0;
            }
            progress.Show();
            return true;
        };
        // A server that ignores Range sends the whole body: it becomes the ".part" from its start.
        uint64_t wholeAt = 0;
        RangeConsumer whole = [&](const uint8_t* data, size_t size, std::string& why) {
            if (wholeAt == 0) progress.localBytes = progress.fetchedBytes = 0;
            if (!WriteAt(part, wholeAt, data, size)) {
                writeFailed = true;
                why = "write failed";
                return false;
            }
            wholeAt += size;
            progress.fetchedBytes += size;
            progress.Show();
            return true;
        };
        switch (HttpGetRange(url, range.first, range.last, index.bodySize, consume, reason, error, &whole)) {
            case RangeOutcome::Complete:
                break;
            case RangeOutcome::WholeBody:
                WriteLog("patch %s dropped: %s; its answer is taken as the whole file", entry.path.c_str(),
                         reason.c_str());
                wholeAnswer = true;
                return PatchResult::Installed;
            case RangeOutcome::Anomaly:
                if (writeFailed) {
                    error = "Datei konnte nicht geschrieben werden";
                    return PatchResult::Failed;
                }
                return PatchResult::WholeFile;
            case RangeOutcome::Cut:
                return PatchResult::Failed;
        }
    }
    return PatchResult::Installed;
}

// The usual check and move; a patched file that fails the manifest's digest is fetched whole.
PatchResult Install(const ManifestEntry& entry, const std::wstring& target, std::string& error) {
    bool mismatched = false;
    if (InstallDownloadedFile(entry, target, error, &mismatched)) return PatchResult::Installed;
    if (mismatched) return Drop(entry, "the patched file failed the manifest's digest");
    return PatchResult::Failed;
}

}  // namespace

PatchResult PatchFile(const ManifestEntry& entry, const PatchOffer& offer, uint64_t doneBytes,
                      uint64_t totalBytes, std::string& error) {
    const std::wstring target = TargetPath(entry.path);
    BlockIndex index;
    std::string reason;
    if (!FetchBlockIndex(entry, offer, index, reason)) return Drop(entry, reason);

    File part(OpenPartFile(target));
    if (!part.get()) {
        error = "Kann Datei nicht anlegen: " + entry.path;
        return PatchResult::Failed;
    }
    Progress progress{doneBytes, totalBytes, entry.size};
    std::vector<uint64_t> sources(index.weak.size(), kBlockNotFound);
    if (!FindBlocksInPlace(part.get(), index, sources, progress)) return Drop(entry, "the partial download cannot be read");

    File seed(IsFile(target) ? OpenSeed(target) : nullptr);
    uint64_t seedSize = 0;
    if (seed.get() && SizeOf(seed.get(), seedSize)) {
        SearchStats stats;
        SeedReader read = [&](uint64_t offset, uint8_t* buffer, size_t size, size_t& got) {
            return ReadAt(seed.get(), offset, buffer, size, got);
        };
        BlockWriter writer{part.get(), progress, {}};
        FoundBlock found = [&](uint64_t k, const uint8_t* data, uint32_t length) {
            return writer.Add(k * index.blockSize, data, length);
        };
        if (!FindBlocks(index, seedSize, read, sources, stats, reason, found) || !writer.Flush())
            return Drop(entry, "the installed copy cannot be read or its blocks not written");
        if (stats.budgetSpent) WriteLog("patch %s: block search stopped early (too many false hits)", entry.path.c_str());
    }
    seed.Close();

    const std::vector<ByteRange> ranges = MissingRanges(index, sources, kRangeMergeGap);
    bool wholeAnswer = false;
    PatchResult fetched =
        FetchRanges(entry, offer, part.get(), index, ranges, progress, wholeAnswer, reason, error);
    if (fetched == PatchResult::Failed) {
        error += " (" + entry.path + ")";
        return fetched;
    }
    if (fetched == PatchResult::WholeFile) return Drop(entry, reason);
    if (!SetSize(part.get(), entry.size)) return Drop(entry, "the partial download cannot be cut to size");
    MakePartDurable(part.get(), target);
    part.Close();
    PatchResult installed = Install(entry, target, error);
    if (installed == PatchResult::Installed && !wholeAnswer)
        WriteLog("patched %s: %llu bytes fetched in %u ranges, %llu bytes taken locally",
                 entry.path.c_str(), static_cast<unsigned long long>(progress.fetchedBytes),
                 static_cast<unsigned>(ranges.size()),
                 static_cast<unsigned long long>(progress.localBytes));
    return installed;
}

PatchResult CopyLocalFile(const ManifestEntry& entry, const std::wstring& source, uint64_t doneBytes,
                          uint64_t totalBytes, std::string& reason, std::string& error) {
    const std::wstring target = TargetPath(entry.path);
    File from(OpenSeed(source));
    if (!from.get()) {
        reason = "the local copy cannot be opened";
        return PatchResult::WholeFile;
    }
    File part(CreatePartFile(target));
    if (!part.get()) {
        error = "Kann Datei nicht anlegen: " + entry.path;
        return PatchResult::Failed;
    }
    // Checked as the bytes pass: the copy is read once, and a source with other bytes costs no
    // second read.
    Sha256Hash sha;
    Progress progress{doneBytes, totalBytes, entry.size};
    std::vector<uint8_t> buffer(kCopyChunk);
    auto refuse = [&](const char* why) {
        part.Close();
        DiscardPartFile(target);
        reason = why;
        return PatchResult::WholeFile;
    };
    if (!sha.ok()) return refuse("the hashing service failed");
    for (;;) {
        size_t got = 0;
        if (!ReadAt(from.get(), progress.localBytes, buffer.data(), buffer.size(), got))
            return refuse("the local copy cannot be read");
        if (got == 0) break;
        // More than the entry's size can never pass the check.
        if (progress.localBytes + got > entry.size) return refuse("the local copy holds other bytes");
        if (!sha.Add(buffer.data(), got)) return refuse("the hashing service failed");
        if (!WriteAt(part.get(), progress.localBytes, buffer.data(), got)) {
            part.Close();
            DiscardPartFile(target);
            error = "Datei konnte nicht geschrieben werden (" + entry.path + ")";
            return PatchResult::Failed;
        }
        progress.localBytes += got;
        progress.Show();
    }
    from.Close();
    uint8_t digest[kSha256Size];
    if (!sha.Finish(digest)) return refuse("the hashing service failed");
    if (progress.localBytes != entry.size || HexEncode(digest, sizeof digest) != entry.sha256)
        return refuse("the local copy holds other bytes");
    MakePartDurable(part.get(), target);
    part.Close();
    if (!InstallCheckedFile(entry, target, error)) return PatchResult::Failed;
    WriteLog("copied %s locally: %llu bytes", entry.path.c_str(),
             static_cast<unsigned long long>(progress.localBytes));
    return PatchResult::Installed;
}

bool HasPatchSeed(const std::wstring& target) { return IsFile(target) || IsFile(target + L".part"); }

bool IsLocalFile(const std::wstring& path) { return IsFile(path); }
