// Start-up in-process with a given command line and directory, and a few starts of the real exe.
#include <windows.h>

#include <gtest/gtest.h>

#include "app/startup.h"
#include "base/log.h"
#include "base/settings.h"
#include "win_test_support.h"

namespace {

class Startup : public ::testing::Test {
protected:
    void TearDown() override { settings = DefaultSettings(); }
    ScratchDir dir;
    std::wstring Exe() const { return dir / L"Quillor - Updater.exe"; }
    void Start(const std::wstring& arguments) {
        std::wstring line = L"\"" + Exe() + L"\" " + arguments;
        RunStartup(line.c_str(), Exe());
    }
};

TEST_F(Startup, WithoutArgumentsInstallDirIsTheExeDirectory) {
    Start(L"");
    EXPECT_EQ(settings.exePath, Exe());
    EXPECT_EQ(settings.installDir, dir.path);
    EXPECT_EQ(settings.logPath, dir.path + L"\\updater.log");
    EXPECT_FALSE(settings.silent);
    EXPECT_EQ(settings.baseUrl, DefaultSettings().baseUrl);
}

TEST_F(Startup, QuotedArgumentsAreSplitByTheSystemRules) {
    Start(L"/dir \"D:\\Mein Spiel\\\" /silent\" /url \"patch host:81/\"");
    EXPECT_EQ(settings.installDir, L"D:\\Mein Spiel\" /silent");
    EXPECT_FALSE(settings.silent);
    EXPECT_EQ(settings.baseUrl, "http://patch host:81");
}

TEST_F(Startup, ExeWithoutBackslashIsItsOwnDirectory) {
    EXPECT_EQ(DirectoryOfExe(L"updater.exe"), L"updater.exe");
    EXPECT_EQ(DirectoryOfExe(L"C:\\a\\b.exe"), L"C:\\a");
}

TEST_F(Startup, LeftoverOldCopyIsDeletedAndNothingElse) {
    ASSERT_TRUE(WriteWholeFile(Exe() + L".old", "old updater"));
    ASSERT_TRUE(WriteWholeFile(dir / L"game.exe.old", "x"));
    ASSERT_TRUE(WriteWholeFile(dir / L"data.pak.part", "x"));
    Start(L"");
    EXPECT_FALSE(FileExists(Exe() + L".old"));
    EXPECT_TRUE(FileExists(dir / L"game.exe.old"));
    EXPECT_TRUE(FileExists(dir / L"data.pak.part"));
}

TEST_F(Startup, SettingsFileIsReadFromTheFinalInstallDir) {
    ScratchDir other;
    ASSERT_TRUE(WriteWholeFile(dir / L"updater.cfg", "url=http://exe-dir\n"));
    ASSERT_TRUE(WriteWholeFile(other / L"updater.cfg",
                               "# comment\r\nurl=patch.example.com:8080/q/ \r\ngame=Spi\xc3\xa9l.exe\r\n"));
    Start(L"/dir \"" + other.path + L"\"");
    EXPECT_EQ(settings.baseUrl, "http://patch.example.com:8080/q");
    EXPECT_EQ(settings.gameExe, L"Spi\u00e9l.exe");
    EXPECT_EQ(settings.logPath, other.path + L"\\updater.log");
}

TEST_F(Startup, CommandLineUrlOverridesTheSettingsFile) {
    ASSERT_TRUE(WriteWholeFile(dir / L"updater.cfg", "url=http://from-file\n"));
    Start(L"/url http://from-switch//");
    EXPECT_EQ(settings.baseUrl, "http://from-switch");
}

TEST_F(Startup, SettingsFileWithByteOrderMarkIgnoresItsFirstLine) {
    ASSERT_TRUE(WriteWholeFile(dir / L"updater.cfg", "\xEF\xBB\xBFurl=http://bom\ngame=g.exe\n"));
    Start(L"");
    EXPECT_EQ(settings.baseUrl, DefaultSettings().baseUrl);
    EXPECT_EQ(settings.gameExe, L"g.exe");
}

TEST_F(Startup, LongLinesArriveInPiecesOf511Bytes) {
    // The second piece of an over-long comment line is a line of its own.
    std::string line = "#" + std::string(510, 'x') + "url=http://piece\n";
    ASSERT_TRUE(WriteWholeFile(dir / L"updater.cfg", line));
    Start(L"");
    EXPECT_EQ(settings.baseUrl, "http://piece");
}

TEST_F(Startup, NulInALineDropsTheRestOfThatRead) {
    ASSERT_TRUE(WriteWholeFile(dir / L"updater.cfg", std::string("game=a.exe\0url=http://x\nurl=http://y\n", 36)));
    Start(L"");
    EXPECT_EQ(settings.gameExe, L"a.exe");
    EXPECT_EQ(settings.baseUrl, "http://y");
}

TEST_F(Startup, DirWithTrailingBackslashDoublesItInDerivedPaths) {
    Start(L"/dir C:\\Spiel\\");
    EXPECT_EQ(settings.logPath, L"C:\\Spiel\\\\updater.log");
}

// The real exe, started as a child process; "/silent" with a refused port ends quickly with 2.
DWORD RunExe(const std::wstring& exe, const std::wstring& arguments) {
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return 0xFFFFFFFF;
    }
    DWORD code = 0xFFFFFFFE;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

class RealExe : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CopyFileW(BuildTreePath("Quillor - Updater.exe").c_str(), Exe().c_str(), FALSE));
    }
    ScratchDir dir;
    std::wstring Exe() const { return dir / L"Quillor - Updater.exe"; }
};

TEST_F(RealExe, LeftoverOldCopyIsGoneAfterAStart) {
    ASSERT_TRUE(WriteWholeFile(Exe() + L".old", "previous updater"));
    EXPECT_EQ(RunExe(Exe(), L"/silent /nolaunch /url http://127.0.0.1:1"), 2u);
    EXPECT_FALSE(FileExists(Exe() + L".old"));
}

TEST_F(RealExe, DirInLastPlaceIsIgnoredAndTheLogStaysBesideTheExe) {
    EXPECT_EQ(RunExe(Exe(), L"/silent /nolaunch /url http://127.0.0.1:1 /dir"), 2u);
    std::string log;
    ASSERT_TRUE(ReadWholeFile(dir / L"updater.log", log));
    EXPECT_NE(log.find("  update start, server http://127.0.0.1:1, dir " + ToUtf8(dir.path) + "\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("  FAILED: Der Update-Server ist nicht erreichbar."), std::string::npos);
}

}  // namespace
