// The files of a staged site beside its live tree: the bucket links, and whole trees copied by hard link.
#include "stage/stage_files.h"

#include "core/fs_util.h"
#include "core/serial_line.h"
#include "release/publish.h"
#include "stage/cohort.h"
#include "tree/record.h"
#include "tree/tree_swap.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The relative link target of a bucket: "../NAME" or "../NAME.stage", beside the links' folder.
std::string LinkTarget(const std::string& serverDir, bool stage) {
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    return "../" + name + (stage ? ".stage" : "");
}

std::string ReadLinkText(const std::string& path) {
    char buffer[PATH_MAX];
    ssize_t got = readlink(path.c_str(), buffer, sizeof buffer);
    return got < 0 ? std::string() : std::string(buffer, static_cast<size_t>(got));
}

// Points one link at target: a new link under a temporary name renamed over the old one, so
// nginx finds the old or the new target at every moment. moved counts real changes.
bool PointLink(const std::string& cohorts, const std::string& link, const std::string& target, int& moved,
               std::string& error) {
    std::string path = JoinPath(cohorts, link);
    if (ReadLinkText(path) == target) return true;
    std::string temp = path + ".tmp-" + std::to_string(getpid());
    bool made = symlink(target.c_str(), temp.c_str()) == 0 ||
                (errno == EEXIST && unlink(temp.c_str()) == 0 && symlink(target.c_str(), temp.c_str()) == 0);
    if (!made || rename(temp.c_str(), path.c_str()) != 0) {
        error = ErrnoText(path);
        unlink(temp.c_str());
        return false;
    }
    ++moved;
    return true;
}

}  // namespace

namespace {

// LinkTreeCopy below two open folders: one link per file, relative to the folders, and a stat
// only where the listing does not give an entry's type. from and to name the folders in messages.
bool LinkTreeAt(int fromFd, int toFd, const std::string& from, const std::string& to, std::string& error) {
    int listFd = dup(fromFd);
    DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (dir == nullptr) {
        if (listFd >= 0) close(listFd);
        error = ErrnoText(from);
        return false;
    }
    bool ok = true;
    for (errno = 0; struct dirent* entry = readdir(dir); errno = 0) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        unsigned char type = entry->d_type;
        struct stat st;
        if (type == DT_UNKNOWN)
            type = fstatat(fromFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? DT_UNKNOWN
                   : S_ISDIR(st.st_mode)                                ? DT_DIR
                   : S_ISREG(st.st_mode)                                ? DT_REG
                                                                        : DT_LNK;
        if (type == DT_DIR) {
            std::string source = JoinPath(from, name), target = JoinPath(to, name);
            const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            if (mkdirat(toFd, name, 0777) != 0) {
                error = ErrnoText(target);
            } else {
                UniqueFd sourceFd(openat(fromFd, name, flags)), targetFd(openat(toFd, name, flags));
                if (sourceFd.Valid() && targetFd.Valid() &&
                    LinkTreeAt(sourceFd.Get(), targetFd.Get(), source, target, error))
                    continue;
                if (error.empty()) error = ErrnoText(sourceFd.Valid() ? target : source);
            }
        } else if (type == DT_REG) {
            if (linkat(fromFd, name, toFd, name, 0) == 0) continue;
            error = ErrnoText(JoinPath(to, name));
        } else if (type == DT_UNKNOWN) {
            error = ErrnoText(JoinPath(from, name));
        } else {
            error = JoinPath(from, name) + ": not a file or folder; a server tree holds nothing else";
        }
        ok = false;
        break;
    }
    // A listing cut short would leave a copy without the files it did not reach.
    if (ok && errno != 0) {
        error = ErrnoText(from);
        ok = false;
    }
    closedir(dir);
    return ok;
}

}  // namespace

bool LinkTreeCopy(const std::string& from, const std::string& to, std::string& error) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fromFd(open(from.c_str(), flags)), toFd(open(to.c_str(), flags));
    if (fromFd.Valid() && toFd.Valid()) return LinkTreeAt(fromFd.Get(), toFd.Get(), from, to, error);
    error = ErrnoText(fromFd.Valid() ? to : from);
    return false;
}

std::string CohortsPathFor(const std::string& serverDir) { return BesidePath(serverDir, ".cohorts"); }

const char kStageMarkName[] = ".quillor-stage";

// Sample: "quillor-publish stage of server\n"
std::string StageMarkText(const std::string& serverDir) {
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    return "quillor-publish stage of " + name + "\n";
}

bool IsForeignStage(const std::string& serverDir, bool& foreign, std::string& error) {
    const std::string stage = StageTreePathFor(serverDir);
    struct stat st;
    bool present = false;
    foreign = false;
    if (!LstatIfThere(stage, present, st, error)) return false;
    if (!present) return true;
    std::vector<uint8_t> bytes;
    ReadResult read = ReadFileIfThere(JoinPath(stage, kStageMarkName), 4096, bytes, error);
    foreign = read == ReadResult::Absent ||
              (read == ReadResult::Read && std::string(bytes.begin(), bytes.end()) != StageMarkText(serverDir));
    return read != ReadResult::Failed;
}

int CountStagedLinks(const std::string& serverDir) {
    std::string cohorts = CohortsPathFor(serverDir);
    if (!IsDirectory(cohorts)) return -1;
    int count = 0;
    for (int bucket = 0; bucket < kBuckets; ++bucket)
        count += ReadLinkText(JoinPath(cohorts, BucketName(bucket))) == LinkTarget(serverDir, true);
    return count;
}

bool PointCohorts(const std::string& serverDir, const StageState* open, int& moved, std::string& error) {
    std::string cohorts = CohortsPathFor(serverDir);
    struct stat st;
    if (lstat(cohorts.c_str(), &st) != 0 && (errno != ENOENT || mkdir(cohorts.c_str(), 0777) != 0)) {
        error = ErrnoText(cohorts);
        return false;
    }
    if (lstat(cohorts.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = cohorts + ": exists and is not a folder";
        return false;
    }
    // Links an interrupted run left under a temporary name (the lock is held, so none is in use).
    if (DIR* dir = opendir(cohorts.c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.find(".tmp-") != std::string::npos && entry->d_type == DT_LNK)
                unlinkat(dirfd(dir), name.c_str(), 0);
        }
        closedir(dir);
    }
    // The edges' "stage" link moves to the stage before any bucket does and back after the last
    // one, so the tree the origin names to an edge is the tree it then serves that edge.
    const std::string live = LinkTarget(serverDir, false), stage = LinkTarget(serverDir, true);
    if (open != nullptr && !PointLink(cohorts, "stage", stage, moved, error)) return false;
    for (int bucket = 0; bucket < kBuckets; ++bucket) {
        bool staged = open != nullptr && BucketStaged(open->order, open->share, bucket);
        if (!PointLink(cohorts, BucketName(bucket), staged ? stage : live, moved, error)) return false;
    }
    return (open != nullptr || PointLink(cohorts, "stage", live, moved, error)) &&
           PointLink(cohorts, "live", live, moved, error);
}

std::string MakeLinkedCopy(const std::string& from, const std::string& destination, std::string& error,
                           const std::string& stageOf) {
    std::string fresh;
    if (!MakeOwnTempDir(destination, fresh, error)) return std::string();
    // files/ first and the manifest last: a copy cut short is never a finished tree that recovery
    // could take for one to put back.
    std::string files = JoinPath(fresh, "files");
    // syncfs reports only the write-back errors after its descriptor was opened: open it first.
    UniqueFd flush(open(fresh.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool ok = flush.Valid() && mkdir(files.c_str(), 0777) == 0;
    if (!ok) error = ErrnoText(flush.Valid() ? files : fresh);
    ok = ok && LinkTreeCopy(JoinPath(from, "files"), files, error);
    // The block files go with the bodies, so a publish into the copy reuses them unread.
    const std::string patch = JoinPath(fresh, kPatchFolder);
    if (ok && IsDirectory(JoinPath(from, kPatchFolder))) {
        ok = mkdir(patch.c_str(), 0777) == 0;
        if (!ok) error = ErrnoText(patch);
        ok = ok && LinkTreeCopy(JoinPath(from, kPatchFolder), patch, error);
    }
    if (ok && !stageOf.empty()) {
        std::string text = StageMarkText(stageOf), mark = JoinPath(fresh, kStageMarkName);
        UniqueFd fd(open(mark.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        ok = fd.Valid() && WriteAll(fd.Get(), text.data(), text.size()) && close(fd.Release()) == 0;
        if (!ok) error = ErrnoText(mark);
    }
    for (const char* name : {"manifest.sig", "manifest.txt"}) {
        if (ok && link(JoinPath(from, name).c_str(), JoinPath(fresh, name).c_str()) != 0) {
            error = ErrnoText(JoinPath(fresh, name));
            ok = false;
        }
    }
    if (ok && FlushOpenTree(flush.Get(), fresh, error)) return fresh;
    std::string ignored;
    RemoveTree(fresh, ignored);
    return std::string();
}

bool CopyRecordBeside(const std::string& from, const std::string& to, std::string& temp, std::string& error) {
    temp.clear();
    std::vector<uint8_t> bytes;
    if (!PathExists(RecordPathFor(from))) return true;
    return ReadWholeFile(RecordPathFor(from), 1ull << 30, bytes, error) &&
           WriteTempBeside(RecordPathFor(to), bytes.data(), bytes.size(), 0644, temp, error);
}

bool PlaceRecord(const std::string& temp, const std::string& serverDir, std::string& error) {
    if (!temp.empty()) return RenameTemp(temp, RecordPathFor(serverDir), false, error);
    if (unlink(RecordPathFor(serverDir).c_str()) == 0 || errno == ENOENT) return true;
    error = ErrnoText(RecordPathFor(serverDir));
    return false;
}
