// The update run: fetch and verify the manifest, check the local files, download, record the serial.
#include "update/update_run.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/settings.h"
#include "update/file_hash.h"
#include "update/file_replace.h"
#include "update/http.h"
#include "update/local_scan.h"
#include "update/manifest.h"
#include "update/patch.h"
#include "update/signature.h"
#include "update/status.h"
#include "update/update_plan.h"
#include "update/url_redact.h"

namespace {

const char kSignatureMessage[] =
    "Die Update-Liste hat keine g\u00fcltige Signatur. Es wird nichts installiert.";
const char kRollbackMessage[] =
    "Der Server bietet eine \u00e4ltere Version an als bereits installiert (Rollback-Schutz).";

// Closes the ".part" handle on every path out of a download.
struct PartFile {
    explicit PartFile(void* h) : handle(h) {}
    ~PartFile() { Close(); }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    void Close() {
        if (handle) CloseHandle(handle);
        handle = nullptr;
    }
    void* handle;
};

bool Fail(const std::string& message) {
    updateStatus.errorText = message;
    return false;
}

// Manifest and signature into memory; the signature is asked for only after the manifest came.
bool FetchManifest(std::vector<uint8_t>& manifestBytes, std::vector<uint8_t>& signatureBytes) {
    std::string error;
    bool fetched = HttpGet(settings.baseUrl + "/manifest.txt", &manifestBytes, nullptr, nullptr, 0, 0,
                           error, kManifestLimit) &&
                   HttpGet(settings.baseUrl + "/manifest.sig", &signatureBytes, nullptr, nullptr, 0, 0,
                           error, kSignatureLimit);
    if (!fetched) {
        updateStatus.serverState = ServerState::Unreachable;
        return Fail(error);
    }
    updateStatus.serverState = ServerState::Connected;
    return true;
}

// The own-file rule on the path as written and, where a name may be a short alias of another
// (only those hold "~"), on the names the file system resolves it to: "UPDA~5CR.STA" opens
// updater.state.
bool NamesUpdaterWorkingFile(const std::string& path, const OwnFileNames& own) {
    if (IsUpdaterWorkingFile(path, own)) return true;
    if (!MayHoldShortName(path)) return false;
    std::wstring target = settings.installDir + L"\\" + ToWide(WindowsRelativePath(path));
    return IsUpdaterWorkingPath(ToUtf8(LongFullPath(target)), own);
}

// Signature first: nothing of the manifest is read before it has verified.
bool AcceptManifest(const std::vector<uint8_t>& manifestBytes,
                    const std::vector<uint8_t>& signatureBytes, Manifest& manifest) {
    if (manifestBytes.empty() ||
        !VerifyManifestSignature(manifestBytes.data(), manifestBytes.size(), signatureBytes.data(),
                                 signatureBytes.size())) {
        WriteLog("SIGNATURE INVALID");
        return Fail(kSignatureMessage);
    }
    std::string error;
    manifest.serial = 0;
    if (!ParseManifest(manifestBytes, manifest.serial, manifest.entries, error)) return Fail(error);
    // As the file system spells them, so a relative /dir, one holding "..", or one in short
    // names still finds the updater's own files.
    OwnFileNames own = OwnFileNamesOf(ToUtf8(LongFullPath(settings.installDir)),
                                      ToUtf8(LongFullPath(settings.exePath)));
    for (const ManifestEntry& entry : manifest.entries) {
        if (NamesUpdaterWorkingFile(entry.path, own)) {
            return Fail(UnsafeEntryMessage(entry.path));
        }
    }

    uint64_t installedSerial = 0;
    if (ReadInstalledSerial(installedSerial) && manifest.serial < installedSerial) {
        WriteLog("rollback %llu < %llu", static_cast<unsigned long long>(manifest.serial),
                 static_cast<unsigned long long>(installedSerial));
        return Fail(kRollbackMessage);
    }
    updateStatus.serverState = ServerState::Connected;
    updateStatus.manifestSerial = manifest.serial;
    WriteLog("manifest ok: serial %llu, %u files", static_cast<unsigned long long>(manifest.serial),
             static_cast<unsigned>(manifest.entries.size()));
    return true;
}

// The installed files this run found up to date (upToDate), and the planned ones it could not
// open (absent), both collected only when asked for.
struct CheckedFiles {
    std::vector<uint32_t> upToDate;
    std::vector<uint32_t> absent;
};

UpdatePlan CheckFiles(const Manifest& manifest, CheckedFiles* checked) {
    UpdatePlan plan;
    for (size_t i = 0; i < manifest.entries.size(); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        SetStatusText(CheckStatusText(), ToWide(entry.path));
        std::string hex;
        uint64_t size = 0;
        // With block files offered, a large file of another size is not hashed: it is patched
        // anyway, which reads it once more.
        bool hashed = HashFile(TargetPath(entry.path), hex, size, checked ? entry.size : kAnySize);
        if (!IsUpToDate(entry, hashed, hex, size)) {
            AddToPlan(plan, static_cast<uint32_t>(i), entry.size);
            if (checked && !hashed) checked->absent.push_back(static_cast<uint32_t>(i));
        } else if (checked) {
            checked->upToDate.push_back(static_cast<uint32_t>(i));
        }
    }
    WriteLog("%u of %u files need an update (%llu bytes)",
             static_cast<unsigned>(plan.entryIndices.size()),
             static_cast<unsigned>(manifest.entries.size()),
             static_cast<unsigned long long>(plan.totalBytes));
    return plan;
}

// One planned file: ".part", transfer, check and move into place.
// keepPartial: a cut transfer leaves its ".part" for the next run to patch from.
bool DownloadFile(const ManifestEntry& entry, uint32_t k, uint32_t n, uint64_t doneBytes,
                  uint64_t totalBytes, bool keepPartial = false) {
    SetStatusText(DownloadStatusText(k, n), ToWide(entry.path));
    std::wstring target = TargetPath(entry.path);
    PartFile part(CreatePartFile(target));
    if (!part.handle) return Fail("Kann Datei nicht anlegen: " + entry.path);

    std::string error;
    uint64_t receivedBytes = 0;
    bool tooLong = false;
    // The manifest size is the limit: a longer body can never pass the check, so it is cut off
    // as soon as the excess arrives instead of filling the disk.
    bool fetched = HttpGet(FileUrl(settings.baseUrl, UrlEncodePath(entry.path)), nullptr,
                           part.handle, &receivedBytes, doneBytes, totalBytes, error, entry.size,
                           &tooLong);
    // WinINet may report a connection closed early as the end of the body: a file that keeps
    // its partial then counts as cut, not as a failed check, so its bytes stay for the next run.
    if (fetched && keepPartial && receivedBytes < entry.size) {
        fetched = false;
        error = "Download unterbrochen";
    }
    if (fetched) MakePartDurable(part.handle, target);
    part.Close();
    if (!fetched) {
        if (!keepPartial || tooLong) DiscardPartFile(target);
        if (tooLong) {
            WriteLog("HASH MISMATCH %s", entry.path.c_str());
            return Fail("Pr\u00fcfsumme stimmt nicht: " + entry.path);
        }
        return Fail(error + " (" + entry.path + ")");
    }
    if (!InstallDownloadedFile(entry, target, error)) return Fail(error);
    WriteLog("updated %s", entry.path.c_str());
    return true;
}

// Where a planned file's bytes may already be on disk: installed files this run found up to date,
// ordered by digest, and files the manifest no longer names, ordered by size.
struct LocalCopies {
    const Manifest& manifest;
    std::vector<uint32_t> entries;
    std::vector<LocalSource> unnamed;

    void Sort() {
        std::sort(entries.begin(), entries.end(), [this](uint32_t x, uint32_t y) {
            return manifest.entries[x].sha256 < manifest.entries[y].sha256;
        });
    }
    // An up-to-date entry holding digest at another path, or nullptr.
    const ManifestEntry* Find(const ManifestEntry& wanted) const {
        auto found = std::lower_bound(entries.begin(), entries.end(), wanted.sha256,
                                      [this](uint32_t k, const std::string& digest) {
                                          return manifest.entries[k].sha256 < digest;
                                      });
        if (found == entries.end() || manifest.entries[*found].sha256 != wanted.sha256) return nullptr;
        return &manifest.entries[*found];
    }
};

// A file the manifest no longer names, of the wanted size, copied while it is checked. Files found
// to hold other bytes are not tried again, and each planned file tries at most two of them, so a
// folder of look-alikes costs a bounded number of reads.
PatchResult CopyUnnamedFile(const ManifestEntry& entry, uint64_t doneBytes, uint64_t totalBytes,
                            LocalCopies& copies, std::string& error) {
    constexpr int kMaxTries = 2;
    auto first = std::lower_bound(copies.unnamed.begin(), copies.unnamed.end(), entry.size,
                                  [](const LocalSource& s, uint64_t size) { return s.size < size; });
    int tries = 0;
    for (auto it = first; it != copies.unnamed.end() && it->size == entry.size && tries < kMaxTries; ++it) {
        if (it->tried) continue;
        ++tries;
        std::string reason;
        PatchResult result = CopyLocalFile(entry, it->path, doneBytes, totalBytes, reason, error);
        if (result != PatchResult::WholeFile) return result;
        it->tried = true;
    }
    return PatchResult::WholeFile;
}

// With block files offered: a copy of a local file holding the same bytes, else a patch, else the
// whole file.
bool UpdateFile(const ManifestEntry& entry, uint32_t k, uint32_t n, uint64_t doneBytes,
                uint64_t totalBytes, const PatchOffer& offer, LocalCopies& copies) {
    SetStatusText(DownloadStatusText(k, n), ToWide(entry.path));
    std::string error;
    std::string reason;
    PatchResult result = PatchResult::WholeFile;
    const ManifestEntry* copy = copies.Find(entry);
    const bool hasBlocks = entry.size >= offer.minBody;
    const std::wstring target = TargetPath(entry.path);
    const bool hasSeed = hasBlocks && HasPatchSeed(target);
    if (copy) {
        result = CopyLocalFile(entry, TargetPath(copy->path), doneBytes, totalBytes, reason, error);
        if (result == PatchResult::WholeFile)
            WriteLog("patch %s dropped: %s; fetching the whole file", entry.path.c_str(), reason.c_str());
    } else if (!hasSeed && !IsLocalFile(target)) {
        // A moved file: its old copy is copied, while a partial download is kept for the patch.
        result = CopyUnnamedFile(entry, doneBytes, totalBytes, copies, error);
    }
    if (result == PatchResult::WholeFile && hasSeed) result = PatchFile(entry, offer, doneBytes, totalBytes, error);
    if (result == PatchResult::Failed) return Fail(error);
    if (result == PatchResult::Installed) {
        WriteLog("updated %s", entry.path.c_str());
        return true;
    }
    return DownloadFile(entry, k, n, doneBytes, totalBytes, hasBlocks);
}

// A partial download whose entry is up to date is used by no one any more. Only files with a
// block file keep a partial, so only those are looked at: 100,000 small files cost no call.
void DiscardUnusedPartials(const Manifest& manifest, const std::vector<uint32_t>& upToDate,
                           const PatchOffer& offer) {
    for (uint32_t k : upToDate) {
        const ManifestEntry& entry = manifest.entries[k];
        if (entry.size >= offer.minBody) DiscardPartFile(TargetPath(entry.path));
    }
}

// The installation's files the manifest does not name: partial downloads no planned file uses
// are removed, and files of a size that a planned file without local bytes has are kept as
// sources for it.
std::vector<LocalSource> ScanUnnamedFiles(const Manifest& manifest, const UpdatePlan& plan,
                                          const CheckedFiles& checked, const PatchOffer& offer) {
    std::vector<uint32_t> seedless;
    for (uint32_t k : checked.absent) {
        const ManifestEntry& entry = manifest.entries[k];
        // A smaller file's partial is overwritten by its download anyway.
        if (entry.size < offer.minBody || !HasPatchSeed(TargetPath(entry.path))) seedless.push_back(k);
    }
    return ScanInstallation(MakeLocalScanRules(manifest, plan.entryIndices, seedless));
}

}  // namespace

bool RunUpdate() {
    SetStatusText(L"Verbinde mit dem Update-Server ...", std::wstring());
    WriteLog("update start, server %s, dir %s", RedactUrl(settings.baseUrl).c_str(),
             ToUtf8(settings.installDir).c_str());

    std::vector<uint8_t> manifestBytes;
    std::vector<uint8_t> signatureBytes;
    if (!FetchManifest(manifestBytes, signatureBytes)) return false;
    Manifest manifest;
    if (!AcceptManifest(manifestBytes, signatureBytes, manifest)) return false;

    // A manifest without the marker runs exactly as before: no block file, copy or resume.
    const PatchOffer offer = ReadPatchOffer(manifestBytes);
    CheckedFiles checked;
    UpdatePlan plan = CheckFiles(manifest, offer.offered ? &checked : nullptr);
    LocalCopies copies{manifest, std::move(checked.upToDate), {}};
    if (offer.offered) {
        // The walk over the installation costs a directory listing (about 0.5 s for 100,000 files
        // under Wine). A run that finds everything current at the serial it last completed has
        // nothing to copy, and its own partials the last complete run already walked past.
        uint64_t installedSerial = 0;
        if (plan.entryIndices.empty() && ReadInstalledSerial(installedSerial) && installedSerial == manifest.serial)
            DiscardUnusedPartials(manifest, copies.entries, offer);
        else
            copies.unnamed = ScanUnnamedFiles(manifest, plan, checked, offer);
        copies.Sort();
    }
    uint32_t count = static_cast<uint32_t>(plan.entryIndices.size());
    uint64_t doneBytes = 0;
    for (uint32_t k = 1; k <= count; ++k) {
        const ManifestEntry& entry = manifest.entries[plan.entryIndices[k - 1]];
        bool done = offer.offered
                        ? UpdateFile(entry, k, count, doneBytes, plan.totalBytes, offer, copies)
                        : DownloadFile(entry, k, count, doneBytes, plan.totalBytes);
        if (!done) return false;
        doneBytes = SaturatingAdd(doneBytes, entry.size);
    }

    WriteInstalledSerial(manifest.serial);
    SetProgress(1000);
    SetStatusText(count > 0 ? L"Update abgeschlossen." : L"Alles aktuell.", std::wstring());
    WriteLog("update finished");
    return true;
}

unsigned long __stdcall UpdateWorkerProc(void*) {
    bool result = RunUpdate();
    updateStatus.succeeded = result;
    if (!result) WriteLog("FAILED: %s", updateStatus.errorText.c_str());
    StatusLockHold hold;
    updateStatus.finished = true;
    updateStatus.finishedTick = GetTickCount();
    return 0;
}
