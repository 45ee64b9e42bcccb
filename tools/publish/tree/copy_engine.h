// Moving file bytes for a publish: read once to hash and copy, on all cores, or take a live file over.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct stat;
struct BlockMaker;

// What identifies one state of a file's bytes without reading them (rsync's quick check, plus
// the inode so that a file put in place of another is noticed).
struct FileStamp {
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    uint64_t inode = 0;
};

bool SameStamp(const FileStamp& a, const FileStamp& b);

FileStamp ToStamp(const struct stat& st);

// lstat of a regular file as a stamp; false for anything else or a failure.
bool StampOf(const std::string& path, FileStamp& stamp);

// Opens relative (plain names joined by "/") below the folder dirFd, following no symbolic link
// in any segment and never leaving that folder: openat2 with RESOLVE_NO_SYMLINKS |
// RESOLVE_BENEATH, or OpenBeneathBySegments where the kernel has no openat2. -1 with errno on
// failure (ELOOP for a link on the way).
int OpenBeneath(int dirFd, const std::string& relative, int flags);
// The fallback: one openat with O_NOFOLLOW per segment, each folder opened from the one before.
int OpenBeneathBySegments(int dirFd, const std::string& relative, int flags);

// Runs work(index, buffer, error) for every index below count on all cores, or on at most workers
// threads when that is not 0 (each thread with its own 1 MiB buffer; one worker runs on the
// calling thread). After the first failure no new index is started; error gets that failure.
bool ForEachParallel(size_t count,
                     const std::function<bool(size_t, std::vector<char>&, std::string&)>& work,
                     std::string& error, size_t workers = 0);

// Splits the indices below count into runs of consecutive ones in one folder (sameFolder(i): index
// i is in the folder of index i - 1), each at most limit long. Threads that work on different runs
// link into different folders, so they seldom wait for one folder's lock.
std::vector<std::pair<size_t, size_t>> FolderRuns(size_t count, const std::function<bool(size_t)>& sameFolder,
                                                  size_t limit = 256);

// Reads source once, hashing it and, when target is not empty, writing the same bytes to target
// (created anew, mode 0666 minus umask). A source whose size or times change while it is read, or
// whose length differs from what was read, is read again, up to three times, then refused.
// sourceStamp is the stamp the bytes belong to, targetStamp the written file's; done (may be null)
// counts bytes as they pass; blocks (may be null) gets the same bytes, so a block file costs no
// second read (block_files.h).
bool ReadHashCopy(const std::string& source, const std::string& target, std::vector<char>& buffer,
                  std::string& sha256, FileStamp& sourceStamp, FileStamp& targetStamp,
                  std::atomic<uint64_t>* done, std::string& error, BlockMaker* blocks = nullptr);
// The same for a source already open as in (source names it in messages).
bool ReadHashCopyOpen(int in, const std::string& source, const std::string& target, std::vector<char>& buffer,
                      std::string& sha256, FileStamp& sourceStamp, FileStamp& targetStamp,
                      std::atomic<uint64_t>* done, std::string& error, BlockMaker* blocks = nullptr);

// Puts the bytes of live (a published file) at target without reading them where the file system
// allows: a hard link, else a reflink, else copy_file_range, else a plain copy. live must still
// carry expected afterwards; false when it does not (changed = true: the caller copies afresh
// from the release instead) or on a failure. targetStamp gets the new name's stamp.
bool TakeOver(const std::string& live, const std::string& target, const FileStamp& expected,
              std::vector<char>& buffer, FileStamp& targetStamp, bool& changed, std::string& error);
// The same with both names relative to folder descriptors (AT_FDCWD for a full name), which
// spares the kernel a walk down the whole path per file; shownTarget names the target in messages.
bool TakeOverAt(int liveDir, const char* live, int targetDir, const char* target, const std::string& shownTarget,
                const FileStamp& expected, std::vector<char>& buffer, FileStamp& targetStamp, bool& changed,
                std::string& error);
