// Publishing a release: copy, hash, sign and swap in a complete server tree.
#include "release/publish.h"

#include "core/fs_util.h"
#include "core/output.h"
#include "core/path_rules.h"
#include "core/progress.h"
#include "keys/crypto.h"
#include "keys/key_files.h"
#include "keys/signer.h"
#include "release/history.h"
#include "release/serial_rules.h"
#include "tree/body_times.h"
#include "tree/copy_engine.h"
#include "tree/plan.h"
#include "tree/serial_memory.h"
#include "tree/tree_swap.h"
#include "update/http.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string RealPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::string();
    std::string result(resolved);
    free(resolved);
    return result;
}

bool IsInside(const std::string& inner, const std::string& outer) {
    return inner == outer || (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
                              (outer == "/" || inner[outer.size()] == '/'));
}

// The server directory may be missing, or an earlier server tree; anything else is refused so
// that a mistyped path never gets replaced as a whole.
bool CheckServerDir(const PublishOptions& options, std::vector<std::string>& problems) {
    std::string parent, name;
    SplitPath(options.serverDir, parent, name);
    std::string realParent = RealPath(parent);
    std::string realRelease = RealPath(options.releaseDir);
    if (realParent.empty() || name.empty() || name == "." || name == "..") {
        problems.push_back(options.serverDir + ": the parent folder must exist");
        return false;
    }
    std::string realServer = JoinPath(realParent, name);
    // A revert reads no release folder.
    if (!realRelease.empty() && (IsInside(realServer, realRelease) || IsInside(realRelease, realServer))) {
        problems.push_back("the server folder and the release folder must not contain each other");
        return false;
    }
    struct stat st;
    if (lstat(options.serverDir.c_str(), &st) != 0) return true;
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
        problems.push_back(options.serverDir + ": exists and is not a folder (a symbolic link is refused too)");
        return false;
    }
    DIR* handle = opendir(options.serverDir.c_str());
    if (handle == nullptr) {
        problems.push_back(ErrnoText(options.serverDir));
        return false;
    }
    bool ok = true;
    while (struct dirent* entry = readdir(handle)) {
        std::string entryName = entry->d_name;
        if (entryName == "." || entryName == ".." || entryName == "manifest.txt" ||
            entryName == "manifest.sig" || entryName == "files" || entryName == kPatchFolder ||
            (!options.markName.empty() && entryName == options.markName))
            continue;
        problems.push_back(options.serverDir + " holds \"" + entryName +
                           "\", so it is not a server tree; refusing to replace it");
        ok = false;
    }
    closedir(handle);
    return ok;
}

bool MakeParents(const std::string& root, const std::string& path, std::set<std::string>& made,
                 std::string& error) {
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string folder = path.substr(0, slash);
        if (!made.insert(folder).second) continue;
        std::string full = JoinPath(root, folder);
        if (mkdir(full.c_str(), 0777) != 0) {
            error = ErrnoText(full);
            return false;
        }
    }
    return true;
}

bool WritePlain(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.Valid() || !WriteAll(fd.Get(), bytes.data(), bytes.size()) || close(fd.Release()) != 0) {
        error = ErrnoText(path);
        return false;
    }
    return true;
}

// One release file's outcome in the fresh tree (its path is its release file's).
struct BuiltFile {
    std::array<char, 64> sha256{};
    uint64_t size = 0;
    int64_t releaseMtimeNs = 0;
    FileStamp published;       // the fresh copy's stamp
    bool taken = false;
    bool liveDiffers = false;  // the live copy did not hold its manifest's bytes: edges need new validators
};

void SetDigest(BuiltFile& built, const std::string& sha256) {
    std::copy_n(sha256.begin(), std::min(sha256.size(), built.sha256.size()), built.sha256.begin());
}

std::string_view DigestOf(const BuiltFile& built) { return std::string_view(built.sha256.data(), built.sha256.size()); }

// Hashes the release file and the live copy; only when both give the live manifest's digest is the
// live copy taken over. stamp gets the release file's state for the record.
bool CompareAndTake(const PlannedFile& planned, const std::string& live, const std::string& target,
                    std::vector<char>& buffer, BuiltFile& built, std::string& error) {
    std::string releaseSha, liveSha;
    FileStamp releaseStamp, liveStamp, unused;
    bool changed = false;
    if (!ReadHashCopyRelease(*planned.release, "", buffer, releaseSha, releaseStamp, unused, nullptr, error))
        return false;
    if (releaseSha != planned.live->sha256) return true;
    if (!ReadHashCopy(live, "", buffer, liveSha, liveStamp, unused, nullptr, error) ||
        liveSha != planned.live->sha256 || !TakeOver(live, target, liveStamp, buffer, built.published, changed, error)) {
        error.clear();
        built.liveDiffers = true;
        return true;  // the live copy is damaged or moving: the caller copies from the release
    }
    built.taken = true;
    built.releaseMtimeNs = releaseStamp.mtimeNs;
    return true;
}

// One folder of the plan, open in the fresh tree and in the tree bodies are taken from (O_PATH);
// where either is not open, full names are used.
struct FolderAt {
    UniqueFd fresh, live;
};

// Opens the folders of the plan as far as the limit on open files allows; folderOf gets each
// planned file's folder.
void OpenFolders(const std::string& filesRoot, const std::string& liveFilesRoot, const std::vector<PlannedFile>& plan,
                 std::vector<FolderAt>& folders, std::vector<uint32_t>& folderOf) {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1 << 20);
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    // Room for the copies' own descriptors on every thread, the lock, the signer's pipes.
    size_t budget = limit.rlim_cur > 512 ? (limit.rlim_cur - 512) / 2 : 0;
    std::map<std::string, uint32_t> index;
    std::string_view last;
    folderOf.reserve(plan.size());
    for (const PlannedFile& planned : plan) {
        size_t slash = planned.release->path.rfind('/');
        std::string_view folder = slash == std::string::npos ? std::string_view()
                                                             : std::string_view(planned.release->path).substr(0, slash);
        if (!folderOf.empty() && folder == last) {
            folderOf.push_back(folderOf.back());
            continue;
        }
        last = folder;
        const std::string name(folder);
        auto found = index.find(name);
        if (found == index.end()) {
            found = index.emplace(name, static_cast<uint32_t>(folders.size())).first;
            folders.emplace_back();
            if (folders.size() <= budget) {
                const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
                folders.back().fresh = UniqueFd(open(JoinPath(filesRoot, name).c_str(), flags));
                folders.back().live = UniqueFd(open(JoinPath(liveFilesRoot, name).c_str(), flags));
            }
        }
        folderOf.push_back(found->second);
    }
}

// The live copy taken over by a hard link where the record allows; false (changed) when it is not
// the recorded copy any more.
bool TakeRecorded(const std::string& fromTree, const std::string& filesRoot, const PlannedFile& planned,
                  const FolderAt& at, std::vector<char>& buffer, BuiltFile& built, bool& changed, std::string& error) {
    const std::string& path = planned.release->path;
    size_t slash = path.rfind('/');
    const char* name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    std::string target = JoinPath(filesRoot, path);
    if (at.fresh.Valid() && at.live.Valid())
        return TakeOverAt(at.live.Get(), name, at.fresh.Get(), name, target, planned.liveStamp, buffer,
                          built.published, changed, error);
    return TakeOver(LiveFilePath(fromTree, path), target, planned.liveStamp, buffer, built.published, changed, error);
}

bool BuildOne(const std::string& fromTree, const std::string& root, const BlocksOffer& offer,
              const PlannedFile& planned, const FolderAt& at, std::vector<char>& buffer, BuiltFile& built,
              ProgressMeter& meter, std::string& error) {
    const ReleaseFile& file = *planned.release;
    const std::string filesRoot = JoinPath(root, "files");
    if (planned.action == FileAction::Take) {
        // The plan trusted the record; the live copy is checked against it on the new name. One
        // that is not the recorded copy is read from the release, as if the plan had seen it.
        bool changed = false;
        if (TakeRecorded(fromTree, filesRoot, planned, at, buffer, built, changed, error)) {
            built.taken = true;
            built.releaseMtimeNs = file.stamp.mtimeNs;
        } else if (!changed) {
            return false;
        }
    } else if (planned.action == FileAction::Compare &&
               !CompareAndTake(planned, LiveFilePath(fromTree, file.path), JoinPath(filesRoot, file.path), buffer,
                               built, error)) {
        return false;
    }
    if (built.taken) {
        SetDigest(built, planned.live->sha256);
        built.size = planned.live->size;
        meter.bytes += planned.live->size;
    } else {
        FileStamp releaseStamp;
        std::string sha256;
        // A large body's block file comes from the same single read as its digest and copy.
        std::unique_ptr<BlockMaker> blocks;
        if (offer.present && GetsBlockFile(file.stamp.size, offer.min)) blocks = std::make_unique<BlockMaker>();
        if (!ReadHashCopyRelease(file, JoinPath(filesRoot, file.path), buffer, sha256, releaseStamp, built.published,
                                 &meter.bytes, error, blocks.get()))
            return false;
        if (blocks && GetsBlockFile(releaseStamp.size, offer.min) &&
            !WriteBlockFile(root, sha256, FinishBlocks(*blocks, sha256), error))
            return false;
        SetDigest(built, sha256);
        built.size = releaseStamp.size;
        built.releaseMtimeNs = releaseStamp.mtimeNs;
    }
    ++meter.files;
    return true;
}

// Fills root/files on all cores; built gets one entry per planned file, in the same order.
bool BuildFiles(const std::string& root, const std::string& fromTree, unsigned jobs, const BlocksOffer& offer,
                const std::vector<PlannedFile>& plan, std::vector<BuiltFile>& built, std::string& error) {
    std::string filesRoot = JoinPath(root, "files"), patchRoot = JoinPath(root, kPatchFolder);
    if (mkdir(filesRoot.c_str(), 0777) != 0 || (offer.present && mkdir(patchRoot.c_str(), 0777) != 0)) {
        error = ErrnoText(offer.present ? patchRoot : filesRoot);
        return false;
    }
    std::set<std::string> made;
    uint64_t totalBytes = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        // Sorted paths: most files share the folder of the one before.
        const std::string& path = plan[i].release->path;
        size_t slash = path.rfind('/');
        bool sameFolder = i > 0 && slash != std::string::npos &&
                          plan[i - 1].release->path.compare(0, slash + 1, path, 0, slash + 1) == 0 &&
                          plan[i - 1].release->path.find('/', slash + 1) == std::string::npos;
        if (!sameFolder && !MakeParents(filesRoot, path, made, error)) return false;
        totalBytes += plan[i].release->stamp.size;
    }
    std::vector<FolderAt> folders;
    std::vector<uint32_t> folderOf;
    OpenFolders(filesRoot, JoinPath(fromTree, "files"), plan, folders, folderOf);
    built.assign(plan.size(), BuiltFile());
    ProgressMeter meter("publish", plan.size(), totalBytes);
    // Links of one folder go to one thread, since each link waits for its folder's lock; every
    // file that is read goes alone, so that large files spread over the threads.
    auto runs = FolderRuns(plan.size(), [&](size_t i) {
        return folderOf[i] == folderOf[i - 1] && plan[i].action == FileAction::Take &&
               plan[i - 1].action == FileAction::Take;
    });
    return ForEachParallel(
        runs.size(),
        [&](size_t run, std::vector<char>& buffer, std::string& message) {
            for (size_t index = runs[run].first; index < runs[run].second; ++index)
                if (!BuildOne(fromTree, root, offer, plan[index], folders[folderOf[index]], buffer, built[index],
                              meter, message))
                    return false;
            return true;
        },
        error, jobs);
}

// The patch/ folder: block files written while the bodies were read stay; a body taken over
// unread reuses the block file of the tree it came from (or of the site's other tree).
bool FillBuiltPatch(const PublishOptions& options, const std::string& fromTree, const BlocksOffer& offer,
                    const std::vector<PlannedFile>& plan, const std::vector<BuiltFile>& built, FreshTree& fresh,
                    std::string& error) {
    std::vector<PatchBody> bodies;
    for (size_t i = 0; i < built.size(); ++i)
        if (GetsBlockFile(built[i].size, offer.min))
            bodies.push_back(PatchBody{std::string(DigestOf(built[i])), built[i].size, plan[i].release->path});
    return FillPatchFolder(fresh.path, bodies, {fromTree, options.otherTree}, options.jobs, fresh.patch, error);
}

// Validators for edge caches (body_times.h), then the manifest and the record, which keeps the
// stamps the times leave. Both texts are sized before they are written: at 100,000 files a
// doubling string would hold tens of megabytes it never uses.
bool FinishBodies(const PublishOptions& options, const std::string& fromTree, const std::vector<PlannedFile>& plan,
                  std::vector<BuiltFile>& built, int64_t startedNs, FreshTree& fresh, std::string& error) {
    BodyTimeBounds bounds;
    ReadBodyTimeBounds(fromTree, options.otherTree, bounds);
    fresh.latest = bounds.fresh;
    std::string filesRoot = JoinPath(fresh.path, "files");
    std::string manifestHead = SerialLineText(options.serial, OfferFor(options)) + "\n", line;
    size_t manifestSize = manifestHead.size(), recordSize = RecordHeader(startedNs).size();
    auto recordLine = [&](size_t i) {
        return RecordLine{DigestOf(built[i]), built[i].size, built[i].releaseMtimeNs, built[i].published,
                          plan[i].release->path};
    };
    for (size_t i = 0; i < built.size(); ++i) {
        BuiltFile& file = built[i];
        const std::string& path = plan[i].release->path;
        std::string fullPath = JoinPath(filesRoot, path);
        BodyFile body{path, fullPath, DigestOf(file), file.size, plan[i].live,
                      file.taken && file.published.inode == plan[i].liveStamp.inode, file.liveDiffers};
        if (!SetBodyTime(bounds, body, file.published, fresh.latest, error)) return false;
        manifestSize += file.sha256.size() + std::to_string(file.size).size() + path.size() + 3;
        line.clear();
        AppendRecordLine(line, recordLine(i));
        recordSize += line.size();
        fresh.bytes += file.size;
        ++(file.taken ? fresh.taken : fresh.copied);
    }
    fresh.files = built.size();
    fresh.manifest.reserve(manifestSize);
    fresh.recordText.clear();
    fresh.recordText.reserve(recordSize);
    fresh.recordText += RecordHeader(startedNs);
    auto append = [&](std::string_view text) { fresh.manifest.insert(fresh.manifest.end(), text.begin(), text.end()); };
    append(manifestHead);
    for (size_t i = 0; i < built.size(); ++i) {
        append(DigestOf(built[i]));
        line = "\t" + std::to_string(built[i].size) + "\t";
        append(line);
        append(plan[i].release->path);
        append("\n");
        AppendRecordLine(fresh.recordText, recordLine(i));
    }
    return true;
}

// Signs with the key file or the sign command; either way the signature must verify with the
// public key before anything is written.
bool SignManifest(const PublishOptions& options, EVP_PKEY* signingKey, EVP_PKEY* checkKey,
                  const std::vector<uint8_t>& manifest, std::vector<uint8_t>& signature, std::string& error) {
    if (signingKey != nullptr) {
        if (!SignMessage(signingKey, manifest, signature, error)) return false;
    } else if (!RunSignCommand(options.signCommand, manifest, options.signTimeoutSeconds, signature, error)) {
        return false;
    }
    if (signature.size() != kSignatureSize) {
        error = "the signature is " + std::to_string(signature.size()) + " bytes, not the raw 256 of an RSA-2048 "
                "PKCS #1 v1.5 signature (hex, Base64 or PEM output does not work)";
        return false;
    }
    if (!VerifyMessage(checkKey, manifest, signature)) {
        error = options.pubPath.empty() ? "the new signature does not verify with the key's own public half"
                                        : "the new signature does not verify with " + options.pubPath +
                                              " (wrong key, or not PKCS #1 v1.5 with SHA-256)";
        return false;
    }
    return true;
}

bool WriteManifestAndFlush(const PublishOptions& options, const FreshTree& fresh, std::string& error) {
    // One flush of the file system before the tree may go live, so a crash never leaves a live
    // tree whose bytes did not reach the disk; the copies started their write-back as they finished.
    return (options.markName.empty() ||
            WritePlain(JoinPath(fresh.path, options.markName),
                       std::vector<uint8_t>(options.markText.begin(), options.markText.end()), error)) &&
           WritePlain(JoinPath(fresh.path, "manifest.txt"), fresh.manifest, error) &&
           WritePlain(JoinPath(fresh.path, "manifest.sig"), fresh.signature, error) &&
           SetManifestTimes(fresh.path, fresh.latest, error) && FlushOpenTree(fresh.flushFd.Get(), fresh.path, error);
}

// A key pair that keygen was replacing when it was killed is completed before either half is used
// (also the pair of --pub, which the loaders do not see when only the sign command signs).
bool LoadKeys(const PublishOptions& options, PkeyPtr& signingKey, PkeyPtr& checkKey, std::string& error) {
    for (const std::string& path : {options.keyPath, options.pubPath})
        if (!PrepareKeyPair(path, error)) return false;
    if (!options.keyPath.empty() && !LoadSigningKey(options.keyPath, options.passphrase, signingKey, error))
        return false;
    if (!options.pubPath.empty()) return LoadVerifyKey(options.pubPath, checkKey, error);
    return true;
}

bool CheckManifestSize(size_t size, std::string& error) {
    if (size <= kManifestLimit) return true;
    error = "the manifest would be " + std::to_string(size) + " bytes; the updater refuses one above " +
            std::to_string(kManifestLimit) + " bytes (fewer files or shorter paths)";
    return false;
}

}  // namespace

std::string LockPathFor(const std::string& serverDir) { return BesidePath(serverDir, ".lock"); }

namespace {

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

BlocksOffer OfferFor(const PublishOptions& options) {
    BlocksOffer offer;
    offer.present = options.blocks;
    if (offer.present) {
        offer.dir = kPatchFolder;
        offer.min = kBlockFileMinBody;
    }
    return offer;
}

std::string BuildManifestText(uint64_t serial, const std::vector<PublishedFile>& files, const BlocksOffer& offer) {
    std::string text = SerialLineText(serial, offer) + "\n";
    for (const PublishedFile& file : files)
        text += file.sha256 + "\t" + std::to_string(file.size) + "\t" + file.path + "\n";
    return text;
}

bool BuildFreshTree(const PublishOptions& options, const std::vector<ReleaseFile>& release, const std::string& fromTree,
                    const LiveTree& from, int64_t startedNs, FreshTree& fresh, std::string& error) {
    // The live copies are looked at once, on the new names (PlanFiles).
    std::vector<PlannedFile> plan = PlanFiles(release, from, fromTree, options.checksum, false);
    std::vector<BuiltFile> built;
    if (!MakeOwnTempDir(options.serverDir, fresh.path, error)) return false;
    // syncfs reports only the write-back errors after its descriptor was opened: open it before the copies.
    fresh.flushFd = UniqueFd(open(fresh.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fresh.flushFd.Valid()) {
        error = ErrnoText(fresh.path);
        rmdir(fresh.path.c_str());
        return false;
    }
    const BlocksOffer offer = OfferFor(options);
    bool ready = BuildFiles(fresh.path, fromTree, options.jobs, offer, plan, built, error) &&
                 (!offer.present || FillBuiltPatch(options, fromTree, offer, plan, built, fresh, error)) &&
                 FinishBodies(options, fromTree, plan, built, startedNs, fresh, error);
    if (ready && CheckManifestSize(fresh.manifest.size(), error)) return true;
    std::string ignored;
    RemoveTree(fresh.path, ignored);
    return false;
}

bool SealFreshTree(const PublishOptions& options, EVP_PKEY* signingKey, EVP_PKEY* checkKey, FreshTree& fresh,
                   std::string& error) {
    return SignManifest(options, signingKey, checkKey, fresh.manifest, fresh.signature, error) &&
           WriteManifestAndFlush(options, fresh, error);
}

namespace {

// Reads and checks everything that needs no lock; false with problems when the release cannot go out.
bool CheckRelease(const PublishOptions& options, std::vector<ReleaseFile>& release, std::vector<std::string>& problems) {
    if (!IsDirectory(options.releaseDir)) {
        problems.push_back(options.releaseDir + ": release folder not found");
        return false;
    }
    WalkRelease(options.releaseDir, release, problems);
    std::vector<std::string> paths;
    for (const ReleaseFile& file : release) paths.push_back(file.path);
    CheckReleasePaths(paths, problems);
    if (!problems.empty() || !CheckServerDir(options, problems)) return false;
    // Digests do not change a line's length: "sha256 TAB size TAB path LF".
    size_t manifestSize = BuildManifestText(options.serial, {}, OfferFor(options)).size();
    for (const ReleaseFile& file : release)
        manifestSize += 64 + 1 + std::to_string(file.stamp.size).size() + 1 + file.path.size() + 1;
    std::string error;
    if (!CheckManifestSize(manifestSize, error)) {
        problems.push_back(error);
        return false;
    }
    std::vector<std::string> warnings, codes;
    ResultAppend("warnings", "");
    for (const ReleaseFile& file : release) CheckReleaseFileLimits(file.path, file.stamp.size, warnings, codes);
    for (size_t i = 0; i < warnings.size(); ++i) ReportReleaseWarning(warnings[i], codes[i]);
    for (const std::string& path : paths)
        if (FoldCaseForNtfs(path) == "UPDATER.CFG")
            std::fprintf(stderr, "warning: the release holds %s; it replaces every player's own settings "
                                 "(a url= line there moves them to another server)\n", path.c_str());
    return true;
}

std::vector<std::string> PathsOf(const std::vector<ManifestEntry>& entries) {
    std::vector<std::string> paths;
    paths.reserve(entries.size());
    for (const ManifestEntry& entry : entries) paths.push_back(entry.path);
    return paths;
}

// Players hold the release of this tree, of the site's other one (live and stage), or of any kept
// release they have not left yet: each of them must be able to take the new release. Trees that
// cannot be read are left to the steps that read them.
bool CheckHeldReleases(const PublishOptions& options, const std::vector<ReleaseFile>& release, const LiveTree& live,
                       std::vector<std::string>& problems) {
    const std::string site = options.siteDir.empty() ? options.serverDir : options.siteDir;
    std::vector<std::string> after;
    std::vector<ManifestEntry> entries;
    uint64_t serial = 0;
    std::string tree, error;
    if (!options.revert) {
        for (const ReleaseFile& file : release) after.push_back(file.path);
    } else {
        KeptRelease kept;
        if (!FindKept(site, options.revertSerial, kept, tree, error) ||
            !ReadTreeManifest(tree, kManifestLimit, serial, entries, error))
            return true;
        after = PathsOf(entries);
    }
    auto name = [&](const std::string& dir, uint64_t treeSerial) {
        return std::string(dir == StageTreePathFor(site) ? "the staged release" : "the live release") + " (serial " +
               std::to_string(treeSerial) + ")";
    };
    const size_t before = problems.size();
    const FoldedRelease folded = FoldRelease(after);
    if (live.present) {
        std::vector<std::string> held;
        held.reserve(live.files.size());
        for (const LiveFile& file : live.files) held.push_back(file.entry.path);
        CheckFileFolderChanges(held, folded, name(options.serverDir, live.serial), problems);
    }
    // The parser appends: each tree's entries start from an empty list.
    auto readTree = [&](const std::string& dir) {
        entries.clear();
        return ReadTreeManifest(dir, kManifestLimit, serial, entries, error);
    };
    if (!options.otherTree.empty() && readTree(options.otherTree))
        CheckFileFolderChanges(PathsOf(entries), folded, name(options.otherTree, serial), problems);
    // One kept release at a time: ten of 100,000 files each are never in memory together.
    std::vector<KeptRelease> kept;
    if (ListHistory(site, kept, error)) {
        for (const KeptRelease& each : kept) {
            if (each.live || each.staged || !each.hasTree || !readTree(JoinPath(each.path, "tree"))) continue;
            CheckFileFolderChanges(PathsOf(entries), folded,
                                   "the kept release (serial " + std::to_string(each.serial) + ")", problems);
        }
    }
    return problems.size() == before;
}

// Under the lock, before anything else: a tree an interrupted publish set aside comes back, the
// trees an interrupted swap left go into the history, then the own leftovers go.
bool RecoverAndClean(const std::string& serverDir, const std::string& site, EVP_PKEY* key,
                     std::vector<std::string>& problems) {
    std::string note, error;
    if (!RecoverServerDir(serverDir, key, note, error) || !TidyHistory(site, error)) {
        problems.push_back(error);
        return false;
    }
    if (!note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
    RemoveLeftovers(serverDir);
    return true;
}

// After the swap the new tree is live: what follows can only warn, or say that it is not yet durable.
bool FinishAfterSwap(const PublishOptions& options, SwapResult swapped, const std::string& recordTemp,
                     const PendingKeep& kept, const std::string& oldTree, std::string& error,
                     std::vector<std::string>& problems) {
    if (swapped == SwapResult::Unflushed) {
        problems.push_back("the new tree is live, but it is not known to be on disk: " + error +
                           " (a crash may bring back the old tree; publish again)");
        return false;
    }
    if (!RenameTemp(recordTemp, RecordPathFor(options.serverDir), false, error))
        ReportWarning(error + " (the next publish reads every file afresh)", "record-not-kept");
    FinishKeep(kept, oldTree);  // the old tree goes into the history in one rename, or RemoveOwnTree
    return true;
}

}  // namespace

bool PublishRelease(const PublishOptions& given, std::vector<std::string>& problems, PublishReport& report) {
    PublishOptions options = given;  // beforeWrite may name the other tree
    const int64_t startedNs = NowNs();
    std::string error;
    PkeyPtr signingKey, checkKey;
    if (!LoadKeys(options, signingKey, checkKey, error)) {
        problems.push_back(error);
        return false;
    }
    EVP_PKEY* verifyKey = checkKey ? checkKey.get() : signingKey.get();
    std::vector<ReleaseFile> release;
    if (options.revert ? !CheckServerDir(options, problems) : !CheckRelease(options, release, problems)) return false;
    const std::string site = options.siteDir.empty() ? options.serverDir : options.siteDir;

    UniqueFd lock;
    if (!LockExclusive(options.lockPath.empty() ? LockPathFor(options.serverDir) : options.lockPath, lock, error)) {
        problems.push_back(error);
        return false;
    }
    LiveTree live;
    SerialMemory highest;
    if (!RecoverAndClean(options.serverDir, site, verifyKey, problems) ||
        (options.beforeWrite && !options.beforeWrite(options.otherTree, problems)) ||
        !CheckSerial(options, live, highest, problems) || !CheckHeldReleases(options, release, live, problems))
        return false;
    if (options.revert) live = LiveTree();  // a revert reads the live manifest as it links, line by line
    FreshTree fresh;
    // A revert's manifest is known before its links: a refusal then leaves every kept body's time.
    auto mayLink = [&](const std::vector<uint8_t>& manifest) {
        return CheckSameSerialContents(options, highest, ManifestDigest(manifest), problems);
    };
    if (options.revert ? !BuildRevertTree(options, mayLink, fresh, error)
                       : !BuildFreshTree(options, release, options.serverDir, live, startedNs, fresh, error)) {
        if (!error.empty()) problems.push_back(error);
        return false;
    }
    std::string digest = ManifestDigest(fresh.manifest), recordTemp, oldTree;
    PendingKeep kept;
    report.again = highest.present && highest.serial == options.serial && highest.manifestSha256 == digest;
    bool ready = CheckSameSerialContents(options, highest, digest, problems) &&
                 SealFreshTree(options, signingKey.get(), verifyKey, fresh, error) &&
                 (NoteManifestDigest(fresh.path, digest), true) &&
                 WriteTempBeside(RecordPathFor(options.serverDir), fresh.recordText.data(), fresh.recordText.size(),
                                 0644, recordTemp, error) &&
                 BeginKeep(site, options.serverDir, fresh.manifest, digest, recordTemp, options.message, kept, error) &&
                 RememberSerial(options, highest, digest, error);
    // Nothing below needs the lists, and afterSwap reads a manifest again: at 100,000 files they
    // would double the peak.
    std::vector<ReleaseFile>().swap(release);
    live = LiveTree();
    fresh.manifest = std::vector<uint8_t>();
    fresh.recordText = std::string();
    SwapResult swapped = ready ? SwapIn(fresh.path, options.serverDir, true, oldTree, error) : SwapResult::Unchanged;
    if (swapped == SwapResult::Unchanged || swapped == SwapResult::Lost) {
        if (!error.empty()) problems.push_back(error);
        if (!recordTemp.empty()) unlink(recordTemp.c_str());
        std::string ignored;
        if (swapped == SwapResult::Unchanged) RemoveOwnTree(fresh.path, ignored);
        if (swapped == SwapResult::Unchanged && !kept.entry.empty()) RemoveTree(kept.entry, ignored);
        report.serverUnchanged = swapped == SwapResult::Unchanged;
        return false;
    }
    report.serverUnchanged = false;
    report.files = fresh.files;
    report.bytes = fresh.bytes;
    report.copied = fresh.copied;
    report.taken = fresh.taken;
    report.patch = fresh.patch;
    if (!FinishAfterSwap(options, swapped, recordTemp, kept, oldTree, error, problems)) return false;
    if (options.afterSwap) options.afterSwap();
    if (!PruneHistory(site, options.keep, report.historyNote, error, options.revert ? &options.revertSerial : nullptr))
        ReportWarning("the history was not pruned: " + error + " (the next publish or prune prunes it)",
                      "history-not-pruned");
    return true;
}
