// Downloads brought into place: ".part" creation, checks, the running updater, locked targets.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/log.h"
#include "base/settings.h"
#include "update/file_hash.h"
#include "update/file_replace.h"
#include "update/manifest.h"
#include "win_test_support.h"

namespace {

// An installation in a scratch directory; the process-wide settings point at it for one test.
struct Installation {
    ScratchDir dir;
    UpdaterSettings saved = settings;
    Installation() {
        settings.installDir = dir.path;
        settings.logPath = dir / L"updater.log";
        settings.exePath = dir / L"Quillor - Updater.exe";
    }
    ~Installation() { settings = saved; }
};

// Writes bytes as target's ".part" and returns the manifest entry that describes them.
ManifestEntry StagePart(const std::string& path, const std::string& bytes) {
    EXPECT_TRUE(WriteWholeFile(TargetPath(path) + L".part", bytes));
    ManifestEntry entry;
    entry.path = path;
    entry.size = bytes.size();
    uint64_t size = 0;
    EXPECT_TRUE(HashFile(TargetPath(path) + L".part", entry.sha256, size));
    return entry;
}

std::string Contents(const std::wstring& path) {
    std::string bytes;
    return ReadWholeFile(path, bytes) ? bytes : std::string("<missing>");
}

HANDLE OpenShared(const std::wstring& path, DWORD share) {
    return CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

TEST(CreatePartFile, CreatesMissingDirectoriesAndTruncatesALeftover) {
    Installation install;
    std::wstring target = TargetPath("data/maps/north/a.pak");
    ASSERT_TRUE(CreateDirectoryW((install.dir / L"data").c_str(), nullptr));  // one level exists
    HANDLE part = CreatePartFile(target);
    ASSERT_NE(part, nullptr);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(part, "leftover", 8, &written, nullptr));
    // Held with no sharing while the download writes it.
    EXPECT_EQ(OpenShared(target + L".part", FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    CloseHandle(part);
    EXPECT_EQ(Contents(target + L".part"), "leftover");

    part = CreatePartFile(target);
    ASSERT_NE(part, nullptr);
    CloseHandle(part);
    EXPECT_EQ(Contents(target + L".part"), "");
    EXPECT_FALSE(FileExists(target));
}

TEST(CreatePartFile, WorksWithAnInstallDirWrittenWithForwardSlashes) {
    Installation install;
    for (wchar_t& c : settings.installDir) {
        if (c == L'\\') c = L'/';
    }
    std::wstring target = TargetPath("a/b/c.txt");
    EXPECT_EQ(target.find(L'/'), std::wstring::npos);
    HANDLE part = CreatePartFile(target);
    ASSERT_NE(part, nullptr);
    CloseHandle(part);
    EXPECT_TRUE(FileExists(install.dir / L"a\\b\\c.txt.part"));
}

TEST(CreatePartFile, ReportsFailureOrADeviceAsNullptr) {
    Installation install;
    ASSERT_TRUE(WriteWholeFile(install.dir / L"plain", "x"));  // a file where a directory must go
    EXPECT_EQ(CreatePartFile(TargetPath("plain/x.dat")), nullptr);
    EXPECT_EQ(CreatePartFile(TargetPath("NUL")), nullptr) << "\"NUL.part\" is the NUL device";
}

TEST(InstallDownloadedFile, ReplacesAnOrdinaryFileInOneStep) {
    Installation install;
    CreateDirectoryW((install.dir / L"data").c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(TargetPath("data/a.pak"), "old"));
    ManifestEntry entry = StagePart("data/a.pak", "new contents");
    std::string error;
    ASSERT_TRUE(InstallDownloadedFile(entry, TargetPath("data/a.pak"), error)) << error;
    EXPECT_EQ(Contents(TargetPath("data/a.pak")), "new contents");
    EXPECT_FALSE(FileExists(TargetPath("data/a.pak") + L".part"));
    EXPECT_FALSE(FileExists(TargetPath("data/a.pak") + L".old"));
    EXPECT_TRUE(error.empty());
}

TEST(InstallDownloadedFile, RefusesWrongSizeDigestOrMissingPartAndLogsIt) {
    Installation install;
    ASSERT_TRUE(WriteWholeFile(TargetPath("a.pak"), "old"));
    ManifestEntry good = StagePart("a.pak", "new");

    ManifestEntry longer = good;
    longer.size += 1;
    ManifestEntry upper = good;  // the same digest in capitals is not the same text
    for (char& c : upper.sha256) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (const ManifestEntry& entry : {longer, upper}) {
        StagePart("a.pak", "new");
        std::string error;
        EXPECT_FALSE(InstallDownloadedFile(entry, TargetPath("a.pak"), error));
        EXPECT_EQ(error, "Prüfsumme stimmt nicht: a.pak");
        EXPECT_FALSE(FileExists(TargetPath("a.pak") + L".part"));
        EXPECT_EQ(Contents(TargetPath("a.pak")), "old");
    }
    std::string error;
    EXPECT_FALSE(InstallDownloadedFile(good, TargetPath("a.pak"), error));  // .part is gone now
    EXPECT_EQ(error, "Prüfsumme stimmt nicht: a.pak");

    std::string log = Contents(install.dir / L"updater.log");
    size_t count = 0;
    for (size_t at = log.find("  HASH MISMATCH a.pak\r\n"); at != std::string::npos;
         at = log.find("  HASH MISMATCH a.pak\r\n", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 3u) << log;
}

TEST(InstallDownloadedFile, FailsOnATargetHeldOpenWithoutDeleteSharing) {
    Installation install;
    ASSERT_TRUE(WriteWholeFile(TargetPath("game.dat"), "old"));
    ManifestEntry entry = StagePart("game.dat", "new");
    HANDLE game = OpenShared(TargetPath("game.dat"), FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(game, INVALID_HANDLE_VALUE);
    std::string error;
    EXPECT_FALSE(InstallDownloadedFile(entry, TargetPath("game.dat"), error));
    CloseHandle(game);
    // Windows reports a sharing violation or access denied for this, depending on the version.
    EXPECT_TRUE(error == LockedFileMessage("game.dat", ERROR_SHARING_VIOLATION) ||
                error == LockedFileMessage("game.dat", ERROR_ACCESS_DENIED))
        << error;
    EXPECT_FALSE(FileExists(TargetPath("game.dat") + L".part"));
    EXPECT_EQ(Contents(TargetPath("game.dat")), "old");
}

namespace {

// A copy of the sleeper helper running under the updater's name, ended by its handle.
struct RunningCopy {
    PROCESS_INFORMATION process = {};
    bool started = false;
    explicit RunningCopy(const std::wstring& exe) {
        if (!CopyFileW(BuildTreePath("sleeper.exe").c_str(), exe.c_str(), FALSE)) return;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        std::wstring commandLine = L"\"" + exe + L"\"";
        started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                 nullptr, nullptr, &startup, &process) != 0;
    }
    ~RunningCopy() {
        if (!started) return;
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, 10000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
};

}  // namespace

TEST(InstallDownloadedFile, SetsTheRunningUpdaterAsideAsOld) {
    Installation install;
    std::wstring target = TargetPath("Quillor - Updater.exe");
    RunningCopy running(target);
    ASSERT_TRUE(running.started);
    std::string runningBytes = Contents(target);
    ASSERT_TRUE(WriteWholeFile(target + L".old", "stale copy of an earlier run"));

    ManifestEntry entry = StagePart("Quillor - Updater.exe", "new updater");
    std::string error;
    ASSERT_TRUE(InstallDownloadedFile(entry, target, error)) << error;
    EXPECT_EQ(Contents(target), "new updater");
    EXPECT_EQ(Contents(target + L".old"), runningBytes);
    EXPECT_FALSE(FileExists(target + L".part"));
}

TEST(InstallDownloadedFile, RecognisesTheUpdaterHoweverItsPathIsSpelled) {
    Installation install;
    ASSERT_TRUE(CreateDirectoryW((install.dir / L"sub").c_str(), nullptr));
    const std::wstring exe = settings.exePath;
    auto updates = [&](const std::wstring& installDir, const std::string& path) {
        settings.installDir = installDir;
        ManifestEntry entry = StagePart(path, "new updater");
        std::string error;
        ASSERT_TRUE(InstallDownloadedFile(entry, TargetPath(path), error)) << error;
        EXPECT_EQ(Contents(exe + L".old"), "running updater") << path;
        EXPECT_EQ(Contents(exe), "new updater") << path;
        DeleteFileW((exe + L".old").c_str());
    };
    ASSERT_TRUE(WriteWholeFile(exe, "running updater"));
    updates(install.dir.path, "QUILLOR - updater.EXE");
    ASSERT_TRUE(WriteWholeFile(exe, "running updater"));
    updates(install.dir.path + L"/sub/..", "Quillor - Updater.exe");
    ASSERT_TRUE(WriteWholeFile(exe, "running updater"));
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameW(exe.c_str(), shortPath, MAX_PATH), 0u);
    std::wstring shortName(shortPath);
    shortName = shortName.substr(shortName.rfind(L'\\') + 1);
    ASSERT_NE(shortName.find(L'~'), std::wstring::npos);
    updates(install.dir.path, ToUtf8(shortName));
}

// Windows refuses to replace a read-only file; Wine allows it, so what shows here is that no
// installed file keeps the attribute.
TEST(InstallDownloadedFile, ReadOnlyTargetsAndUpdaterAreReplacedWithoutTheAttribute) {
    Installation install;
    std::wstring old = settings.exePath + L".old";
    for (const std::wstring& path : {TargetPath("a.pak"), settings.exePath, old}) {
        ASSERT_TRUE(WriteWholeFile(path, "old"));
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    for (const char* path : {"a.pak", "Quillor - Updater.exe"}) {
        ManifestEntry entry = StagePart(path, "new");
        std::string error;
        ASSERT_TRUE(InstallDownloadedFile(entry, TargetPath(path), error)) << error;
        EXPECT_EQ(Contents(TargetPath(path)), "new");
        EXPECT_FALSE(GetFileAttributesW(TargetPath(path).c_str()) & FILE_ATTRIBUTE_READONLY) << path;
    }
    EXPECT_FALSE(GetFileAttributesW(old.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(DeleteFileW(old.c_str())) << "the next start must be able to remove it";
}

TEST(InstallDownloadedFile, PutsTheUpdaterAndTheReadOnlyAttributeBackWhenTheFinalMoveFails) {
    Installation install;
    for (const std::string path : {"Quillor - Updater.exe", "a.pak"}) {
        ASSERT_TRUE(WriteWholeFile(TargetPath(path), "installed"));
        ASSERT_TRUE(SetFileAttributesW(TargetPath(path).c_str(), FILE_ATTRIBUTE_READONLY));
        ManifestEntry entry = StagePart(path, "new");
        // Readable for the check, but it cannot be renamed while this handle lacks delete sharing.
        HANDLE part = OpenShared(TargetPath(path) + L".part", FILE_SHARE_READ);
        ASSERT_NE(part, INVALID_HANDLE_VALUE);
        std::string error;
        EXPECT_FALSE(InstallDownloadedFile(entry, TargetPath(path), error));
        CloseHandle(part);
        EXPECT_EQ(error.rfind("Datei ist gesperrt (läuft das Spiel noch?): " + path + " (Fehler ", 0), 0u)
            << error;
        EXPECT_EQ(Contents(TargetPath(path)), "installed");
        EXPECT_FALSE(FileExists(TargetPath(path) + L".old"));
        // The player made it read-only; a failed update leaves it so.
        EXPECT_TRUE(GetFileAttributesW(TargetPath(path).c_str()) & FILE_ATTRIBUTE_READONLY) << path;
    }
}

namespace {
uint64_t SerialOf(const ScratchDir& dir, const std::string& stateBytes, bool* found = nullptr) {
    EXPECT_TRUE(WriteWholeFile(dir / L"updater.state", stateBytes));
    uint64_t serial = 12345;
    bool read = ReadInstalledSerial(serial);
    if (found) *found = read;
    return serial;
}
}  // namespace

TEST(InstalledSerial, ReadsTheDigitsOfTheFirstLineAndNothingElse) {
    Installation install;
    bool found = false;
    EXPECT_EQ(SerialOf(install.dir, "\n", &found), 0u);
    EXPECT_TRUE(found);
    EXPECT_EQ(SerialOf(install.dir, ""), 0u);
    EXPECT_EQ(SerialOf(install.dir, "abc\r\n"), 0u);
    EXPECT_EQ(SerialOf(install.dir, "  \t 42\r\n"), 42u);
    EXPECT_EQ(SerialOf(install.dir, "17 apples\r\n"), 17u);
    EXPECT_EQ(SerialOf(install.dir, "\n99\r\n"), 0u);  // only the first line counts
    EXPECT_EQ(SerialOf(install.dir, "5\r\n9\r\n"), 5u);
    EXPECT_EQ(SerialOf(install.dir, "18446744073709551615\r\n"), 18446744073709551615u);
    EXPECT_EQ(SerialOf(install.dir, "18446744073709551616\r\n"), 18446744073709551615u);
    EXPECT_EQ(SerialOf(install.dir, "99999999999999999999999999\r\n"), 18446744073709551615u);
    // At most 63 bytes are read: digits starting at byte 63 are never seen.
    EXPECT_EQ(SerialOf(install.dir, std::string(62, ' ') + "7\r\n"), 7u);
    EXPECT_EQ(SerialOf(install.dir, std::string(63, ' ') + "7\r\n"), 0u);
}

TEST(InstalledSerial, MissingFileIsReportedAndLeavesTheSerialAlone) {
    Installation install;
    uint64_t serial = 12345;
    EXPECT_FALSE(ReadInstalledSerial(serial));
    EXPECT_EQ(serial, 12345u);
}

TEST(InstalledSerial, WritesExactlyTheDecimalAndCrLfReplacingTheOldFileWhole) {
    Installation install;
    WriteInstalledSerial(18446744073709551615u);
    EXPECT_EQ(Contents(install.dir / L"updater.state"), "18446744073709551615\r\n");
    WriteInstalledSerial(7);
    EXPECT_EQ(Contents(install.dir / L"updater.state"), "7\r\n");
    WriteInstalledSerial(0);
    EXPECT_EQ(Contents(install.dir / L"updater.state"), "0\r\n");
    uint64_t serial = 1;
    EXPECT_TRUE(ReadInstalledSerial(serial));
    EXPECT_EQ(serial, 0u);
    EXPECT_FALSE(FileExists(install.dir / L"updater.state.new"));
}

// An installer may ship updater.state read-only; Windows refuses a rename over it, Wine does not,
// so what shows here is that the attribute is off for the rename and back on the new file.
TEST(InstalledSerial, AReadOnlyStateFileIsReplacedAndStaysReadOnly) {
    Installation install;
    const std::wstring state = install.dir / L"updater.state";
    ASSERT_TRUE(WriteWholeFile(state, "3\r\n"));
    ASSERT_TRUE(SetFileAttributesW(state.c_str(), FILE_ATTRIBUTE_READONLY));
    WriteInstalledSerial(4);
    EXPECT_EQ(Contents(state), "4\r\n");
    EXPECT_TRUE(GetFileAttributesW(state.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(FileExists(state + L".new"));
    SetFileAttributesW(state.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(InstalledSerial, AFailedWriteKeepsThePreviousSerialWhole) {
    Installation install;
    WriteInstalledSerial(41);
    HANDLE holder = OpenShared(install.dir / L"updater.state", FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    WriteInstalledSerial(42);  // cannot replace the held file; nothing is reported
    CloseHandle(holder);
    EXPECT_EQ(Contents(install.dir / L"updater.state"), "41\r\n");
    EXPECT_FALSE(FileExists(install.dir / L"updater.state.new"));

    settings.installDir = install.dir / L"no such dir";
    WriteInstalledSerial(43);
    EXPECT_FALSE(FileExists(install.dir / L"no such dir"));
}
