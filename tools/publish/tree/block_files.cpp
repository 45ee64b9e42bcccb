// The patch/ folder of a server tree: per large body a hard link to it and its block file.
#include "tree/block_files.h"

#include "core/fs_util.h"
#include "core/serial_line.h"
#include "tree/copy_engine.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint64_t ReadLe(const uint8_t* data, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | data[i];
    return value;
}

// The block file of sourceTree for body, linked into patchFd; false when there is none that fits.
bool LinkEarlierBlockFile(const std::string& sourceTree, const PatchBody& body, int patchFd) {
    const std::string name = body.sha256 + ".blocks";
    UniqueFd fd(open(JoinPath(JoinPath(sourceTree, kPatchFolder), name).c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat checked, linked;
    if (!fd.Valid() || fstat(fd.Get(), &checked) != 0 || !BlockFileFits(fd.Get(), body.sha256, body.size)) return false;
    UniqueFd folder(open(JoinPath(sourceTree, kPatchFolder).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.Valid() || linkat(folder.Get(), name.c_str(), patchFd, name.c_str(), 0) != 0) return false;
    // The name may have been replaced between the check and the link: the link must be the file checked.
    if (fstatat(patchFd, name.c_str(), &linked, AT_SYMLINK_NOFOLLOW) == 0 && linked.st_ino == checked.st_ino &&
        linked.st_dev == checked.st_dev)
        return true;
    unlinkat(patchFd, name.c_str(), 0);
    return false;
}

// Reads the body in tree once to make its block file; the digest must still be the manifest's.
bool MakeFromBody(const std::string& tree, const PatchBody& body, std::vector<char>& buffer, std::string& error) {
    BlockMaker maker;
    std::string sha256;
    FileStamp stamp, unused;
    const std::string path = JoinPath(JoinPath(tree, "files"), body.path);
    if (!ReadHashCopy(path, "", buffer, sha256, stamp, unused, nullptr, error, &maker)) return false;
    if (sha256 != body.sha256 || stamp.size != body.size) {
        error = path + ": its bytes are no longer the body of its manifest line";
        return false;
    }
    return WriteBlockFile(tree, body.sha256, FinishBlocks(maker, sha256), error);
}

}  // namespace

std::string PatchBodyPath(const std::string& tree, const std::string& sha256) {
    return JoinPath(JoinPath(tree, kPatchFolder), sha256);
}

std::string BlockFilePath(const std::string& tree, const std::string& sha256) {
    return PatchBodyPath(tree, sha256) + ".blocks";
}

bool WriteBlockFile(const std::string& tree, const std::string& sha256, const std::vector<uint8_t>& bytes,
                    std::string& error) {
    const std::string path = BlockFilePath(tree, sha256);
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.Valid() && errno == EEXIST) return true;
    if (!fd.Valid() || !WriteAll(fd.Get(), bytes.data(), bytes.size()) || close(fd.Release()) != 0) {
        error = ErrnoText(path);
        return false;
    }
    return true;
}

// Sample header (64 bytes, little-endian), then the records:
//   "QBLOCKS\n" | 01 00 00 00 | block size 00 10 00 00 | strong bytes 08 00 00 00 | 00 00 00 00 |
//   body size (8 bytes) | body SHA-256 (32 bytes) | n * (4 + strong bytes)
bool BlockFileFits(int fd, const std::string& sha256, uint64_t bodySize) {
    uint8_t header[kBlockFileHeaderSize], digest[32];
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || pread(fd, header, sizeof header, 0) != kBlockFileHeaderSize ||
        !HexToSha256(sha256, digest))
        return false;
    const uint64_t blockSize = ReadLe(header + 12, 4), strongBytes = ReadLe(header + 16, 4);
    if (std::memcmp(header, "QBLOCKS\n", 8) != 0 || ReadLe(header + 8, 4) != 1 || blockSize < kMinBlockSize ||
        blockSize > kMaxBlockSize || (blockSize & (blockSize - 1)) != 0 || strongBytes < kMinStrongBytes || strongBytes > kMaxStrongBytes ||
        ReadLe(header + 24, 8) != bodySize || std::memcmp(header + 32, digest, 32) != 0)
        return false;
    return BlockCountFor(bodySize, static_cast<uint32_t>(blockSize)) <= kMaxBlockCount &&
           static_cast<uint64_t>(st.st_size) == BlockFileSizeFor(bodySize, static_cast<uint32_t>(blockSize),
                                                                 static_cast<uint32_t>(strongBytes));
}

bool FillPatchFolder(const std::string& tree, const std::vector<PatchBody>& given,
                     const std::vector<std::string>& sources, unsigned jobs, PatchCounts& counts, std::string& error) {
    std::vector<PatchBody> bodies = given;
    std::sort(bodies.begin(), bodies.end(), [](const PatchBody& a, const PatchBody& b) { return a.sha256 < b.sha256; });
    bodies.erase(std::unique(bodies.begin(), bodies.end(),
                             [](const PatchBody& a, const PatchBody& b) { return a.sha256 == b.sha256; }),
                 bodies.end());
    const std::string patch = JoinPath(tree, kPatchFolder);
    if (mkdir(patch.c_str(), 0777) != 0 && errno != EEXIST) {
        error = ErrnoText(patch);
        return false;
    }
    UniqueFd patchFd(open(patch.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    UniqueFd filesFd(open(JoinPath(tree, "files").c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!patchFd.Valid() || !filesFd.Valid()) {
        error = ErrnoText(patchFd.Valid() ? JoinPath(tree, "files") : patch);
        return false;
    }
    std::atomic<uint64_t> reused{0}, made{0}, blockBytes{0};
    bool ok = ForEachParallel(
        bodies.size(),
        [&](size_t i, std::vector<char>& buffer, std::string& message) {
            const PatchBody& body = bodies[i];
            const std::string blocks = body.sha256 + ".blocks";
            if (linkat(filesFd.Get(), body.path.c_str(), patchFd.Get(), body.sha256.c_str(), 0) != 0 &&
                errno != EEXIST) {
                message = ErrnoText(PatchBodyPath(tree, body.sha256));
                return false;
            }
            struct stat st;
            if (fstatat(patchFd.Get(), blocks.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                bool linked = false;
                for (const std::string& source : sources)
                    if (!source.empty() && (linked = LinkEarlierBlockFile(source, body, patchFd.Get()))) break;
                if (!linked && !MakeFromBody(tree, body, buffer, message)) return false;
                ++(linked ? reused : made);
                if (fstatat(patchFd.Get(), blocks.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    message = ErrnoText(BlockFilePath(tree, body.sha256));
                    return false;
                }
            }
            blockBytes += static_cast<uint64_t>(st.st_size);
            return true;
        },
        error, jobs);
    counts.bodies = bodies.size();
    counts.reused = reused;
    counts.made = made;
    counts.blockBytes = blockBytes;
    return ok;
}
