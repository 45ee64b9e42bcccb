// The update run: fetch and verify the manifest, check the local files, download, record the serial.
#include "update/update_run.h"

#include <windows.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "base/settings.h"
#include "update/file_hash.h"
#include "update/file_replace.h"
#include "update/http.h"
#include "update/manifest.h"
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

UpdatePlan CheckFiles(const Manifest& manifest) {
    UpdatePlan plan;
    for (size_t i = 0; i < manifest.entries.size(); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        SetStatusText(CheckStatusText(), ToWide(entry.path));
        std::string hex;
        uint64_t size = 0;
        bool hashed = HashFile(TargetPath(entry.path), hex, size);
        if (!IsUpToDate(entry, hashed, hex, size)) AddToPlan(plan, static_cast<uint32_t>(i), entry.size);
    }
    WriteLog("%u of %u files need an update (%llu bytes)",
             static_cast<unsigned>(plan.entryIndices.size()),
             static_cast<unsigned>(manifest.entries.size()),
             static_cast<unsigned long long>(plan.totalBytes));
    return plan;
}

// One planned file: ".part", transfer, check and move into place.
bool DownloadFile(const ManifestEntry& entry, uint32_t k, uint32_t n, uint64_t doneBytes,
                  uint64_t totalBytes) {
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
    if (fetched) MakePartDurable(part.handle, target);
    part.Close();
    if (!fetched) {
        DiscardPartFile(target);
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

    UpdatePlan plan = CheckFiles(manifest);
    uint32_t count = static_cast<uint32_t>(plan.entryIndices.size());
    uint64_t doneBytes = 0;
    for (uint32_t k = 1; k <= count; ++k) {
        const ManifestEntry& entry = manifest.entries[plan.entryIndices[k - 1]];
        if (!DownloadFile(entry, k, count, doneBytes, plan.totalBytes)) return false;
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
