// Silent run, game launch, self-update and an interrupted update, end to end under Wine.
#include <openssl/evp.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "e2e_fixture.h"

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// Polls (bounded) for a file the fake game writes once it has run.
bool WaitForFile(const std::string& path, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Exists(path);
}

std::string LockedMessage(const std::string& path, int code) {
    return "Datei ist gesperrt (l\u00e4uft das Spiel noch?): " + path + " (Fehler " + std::to_string(code) + ")";
}

std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) hex += {kHex[digest[i] >> 4], kHex[digest[i] & 15]};
    return hex;
}

}  // namespace

class SilentLaunchE2E : public EndToEnd {
protected:
    void InstallFakeGame(const std::string& relative) {
        fs::create_directories(fs::path(install + "/" + relative).parent_path());
        fs::copy_file(FakeGameExe(), install + "/" + relative, fs::copy_options::overwrite_existing);
    }
    std::string GameLine(const std::string& windowsRelative) const {
        return "launching " + WinePath(install) + "\\" + windowsRelative;
    }
};

TEST_F(SilentLaunchE2E, SuccessStartsTheGameInTheInstallDirWithoutArguments) {
    PublishRelease(1);
    InstallFakeGame("Quillor - Launch.exe");
    ASSERT_EQ(RunSilent({}), 0);
    EXPECT_EQ(LogLines(install).back(), GameLine("Quillor - Launch.exe"));
    ASSERT_TRUE(WaitForFile(install + "/fake_game_record.txt", 10000));
    EXPECT_EQ(ReadFile(install + "/fake_game_record.txt"), WinePath(install) + "\n");
}

TEST_F(SilentLaunchE2E, InstallDirWithTrailingBackslashStillStartsTheGame) {
    PublishRelease(1);
    InstallFakeGame("Quillor - Launch.exe");
    ASSERT_EQ(RunUpdater({"/silent", "/dir", WinePath(install) + "\\", "/url", server.BaseUrl()}), 0);
    EXPECT_EQ(LogLines(install).back(), "launching " + WinePath(install) + "\\\\Quillor - Launch.exe");
    EXPECT_TRUE(WaitForFile(install + "/fake_game_record.txt", 10000));
}

TEST_F(SilentLaunchE2E, GameNamedInTheSettingsFile) {
    PublishRelease(1);
    InstallFakeGame("Spiel Ordner/Start Spiel.exe");
    WriteFile(install + "/updater.cfg", "game=Spiel Ordner\\Start Spiel.exe\r\n");
    ASSERT_EQ(RunSilent({}), 0);
    EXPECT_EQ(LogLines(install).back(), GameLine("Spiel Ordner\\Start Spiel.exe"));
    ASSERT_TRUE(WaitForFile(install + "/Spiel Ordner/fake_game_record.txt", 10000));
    EXPECT_EQ(ReadFile(install + "/Spiel Ordner/fake_game_record.txt"), WinePath(install) + "\n");
}

TEST_F(SilentLaunchE2E, NoLaunchAndFailedRunsStartNothing) {
    PublishRelease(1);
    InstallFakeGame("Quillor - Launch.exe");
    ASSERT_EQ(RunSilent({"/nolaunch"}), 0);
    EXPECT_EQ(LogLines(install).back(), "update finished");

    Misbehaviour notFound;
    notFound.status = 404;
    server.Override("/manifest.txt", notFound);
    ASSERT_EQ(RunSilent({}), 2);
    EXPECT_EQ(LogLines(install).back().rfind("FAILED: Server antwortete mit Status 404", 0), 0u);
    // The launch would have been made before the updater ended; give a started game time to write.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(Exists(install + "/fake_game_record.txt"));
    for (const std::string& line : LogLines(install)) EXPECT_EQ(line.rfind("launching", 0), std::string::npos);
}

TEST_F(SilentLaunchE2E, MissingGameStillExitsZeroAfterTheLaunchingLine) {
    PublishRelease(1);
    ASSERT_EQ(RunSilent({}), 0);
    Lines log = LogLines(install);
    EXPECT_EQ(Lines(log.end() - 2, log.end()), (Lines{"update finished", GameLine("Quillor - Launch.exe")}));
}

TEST_F(SilentLaunchE2E, SelfUpdateSetsTheRunningExeAsideAndTheNextStartRemovesIt) {
    std::string oldExe = ReadFile(UpdaterExe());
    std::string newExe = oldExe + "new release of the updater";  // trailing bytes; still runs
    AddToRelease("Quillor - Updater.exe", newExe);
    PublishRelease(2);
    std::string ownExe = install + "/Quillor - Updater.exe";
    fs::copy_file(UpdaterExe(), ownExe);

    std::vector<std::string> args = {"/silent", "/url", server.BaseUrl(), "/nolaunch"};
    ASSERT_EQ(RunUpdater(args, ownExe), 0);
    EXPECT_TRUE(ReadFile(ownExe) == newExe);
    EXPECT_TRUE(ReadFile(ownExe + ".old") == oldExe);
    EXPECT_EQ(LogLines(install)[3], "updated Quillor - Updater.exe");

    ASSERT_EQ(RunUpdater(args, ownExe), 0);
    EXPECT_FALSE(Exists(ownExe + ".old"));
    EXPECT_EQ(LogLines(install).back(), "update finished");
    EXPECT_EQ(LogLines(install)[7], "0 of 1 files need an update (0 bytes)");
}

TEST_F(SilentLaunchE2E, SignedExeRunsLikeTheUnsignedAndUpdatesItselfToAnotherSignedExe) {
    const std::string cert = WinBuildDir() + "/codesign/throwaway-cert.pem";
    const std::string unsignedExe = WinBuildDir() + "/Quillor - Updater.unsigned.exe";
    if (!Exists(cert) || !Exists(unsignedExe)) GTEST_SKIP() << "the build signs with its own certificate";
    AddToRelease("readme.txt", "Quillor 1.3\r\n");
    PublishRelease(1);
    ASSERT_EQ(RunSilent(), 0);
    Lines signedLog = LogLines(install);
    fs::remove_all(install);
    fs::create_directories(install);
    ASSERT_NE(ReadFile(unsignedExe), ReadFile(UpdaterExe()));
    std::vector<std::string> args = {"/silent", "/dir", WinePath(install), "/url", server.BaseUrl(),
                                     "/nolaunch"};
    ASSERT_EQ(RunUpdater(args, unsignedExe), 0);
    EXPECT_EQ(LogLines(install), signedLog);

    // The next release's updater: the same image signed at another time, so other bytes.
    std::string nextExe = tree / "next.exe";
    ASSERT_EQ(RunProcess({"osslsigncode", "sign", "-certs", cert, "-key",
                          WinBuildDir() + "/codesign/throwaway-key.pem", "-h", "sha256", "-time",
                          "1700000000", "-in", unsignedExe, "-out", nextExe},
                         30000),
              0);
    std::string signedNext = ReadFile(nextExe);
    ASSERT_NE(signedNext, ReadFile(UpdaterExe()));
    AddToRelease("Quillor - Updater.exe", signedNext);
    PublishRelease(2);
    for (const PublishedEntry& entry : PublishedEntries(served)) {
        if (entry.path == "Quillor - Updater.exe") {
            EXPECT_EQ(entry.sha256, Sha256Hex(signedNext));
        }
    }

    std::string ownExe = install + "/Quillor - Updater.exe";
    fs::copy_file(UpdaterExe(), ownExe);
    args = {"/silent", "/url", server.BaseUrl(), "/nolaunch"};
    ASSERT_EQ(RunUpdater(args, ownExe), 0);
    EXPECT_TRUE(ReadFile(ownExe) == signedNext);
    EXPECT_EQ(RunProcess({"osslsigncode", "verify", "-CAfile", cert, "-in", ownExe}, 30000), 0);
    ASSERT_EQ(RunUpdater(args, ownExe), 0);
    EXPECT_FALSE(Exists(ownExe + ".old"));
    EXPECT_EQ(LogLines(install).back(), "update finished");
}

// A run killed in the middle of a file, then run again. With block files (the publisher's default)
// the rerun keeps the whole blocks its ".part" holds and fetches the rest as one range; without them
// (--no-blocks) it fetches the file whole again, as before block files existed.
TEST_F(SilentLaunchE2E, KilledMidDownloadThenARerunConverges) {
    AddToRelease("a.bin", std::string(1000, 'a'));
    AddToRelease("b.bin", std::string(3000000, 'b'));
    AddToRelease("c.bin", std::string(1000, 'c'));
    const struct {
        const char* name;
        bool blocks;
    } rows[] = {{"block files", true}, {"no block files", false}};
    uint64_t serial = 6;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string dir = tree / ("install-" + std::to_string(serial));
        fs::create_directories(dir);
        ASSERT_TRUE(Publish(release, served, serial, false, DevKey("quillor-dev"),
                            row.blocks ? std::vector<std::string>{} : std::vector<std::string>{"--no-blocks"}));
        std::vector<PublishedEntry> entries = PublishedEntries(served);
        ASSERT_EQ(entries.size(), 3u);
        const std::string stalled = entries[1].path;
        ASSERT_TRUE(KillMidTransfer(dir, stalled, 1000000, 65536 * 2));

        EXPECT_EQ(ReadFile(dir + "/" + entries[0].path), std::string(entries[0].size, entries[0].path[0]));
        EXPECT_EQ(FilesEndingIn(dir, ".part"), (std::vector<std::string>{stalled + ".part"}));
        EXPECT_FALSE(Exists(dir + "/updater.state"));
        EXPECT_EQ(LogLines(dir).back(), "updated " + entries[0].path);
        std::error_code ignored;
        const uint64_t kept = fs::file_size(dir + "/" + stalled + ".part", ignored) / 4096 * 4096;

        ASSERT_EQ(RunSilentFrom(server.BaseUrl(), dir), 0);
        for (const PublishedEntry& entry : entries) {
            EXPECT_EQ(ReadFile(dir + "/" + entry.path), std::string(entry.size, entry.path[0])) << entry.path;
        }
        EXPECT_TRUE(FilesEndingIn(dir, ".part").empty());
        EXPECT_EQ(ReadFile(dir + "/updater.state"), std::to_string(serial) + "\r\n");
        Lines expected = {"2 of 3 files need an update (3001000 bytes)", "updated " + entries[1].path,
                          "updated " + entries[2].path, "update finished"};
        if (row.blocks) {
            expected.insert(expected.begin() + 1, "patched " + stalled + ": " + std::to_string(entries[1].size - kept) +
                                                      " bytes fetched in 1 ranges, " + std::to_string(kept) +
                                                      " bytes taken locally");
        }
        Lines log = LogLines(dir);
        ASSERT_GE(log.size(), expected.size());
        EXPECT_EQ(Lines(log.end() - expected.size(), log.end()), expected);
        ++serial;
    }
}

// Key rotation as docs/publishing.md's workflow does it: the same release, holding the updater
// that trusts the new key and an updater.cfg naming the new tree, goes first into the new tree
// (new key), then into the old tree (old key).
TEST_F(SilentLaunchE2E, KeyRotationMovesAnOldInstallationToTheNewTreeForGood) {
    ASSERT_TRUE(Exists(RotatedUpdaterExe()));
    const std::string newServed = tree / "server-rotated";
    LoopbackServer newServer{newServed};
    const std::string newKey = DevKey("quillor-rotated");
    const std::string rotatedExe = ReadFile(RotatedUpdaterExe());
    const std::string newCfg = "url=" + newServer.BaseUrl() + "\r\n";
    AddToRelease("game.pak", "release 5");
    AddToRelease("Quillor - Updater.exe", rotatedExe);
    AddToRelease("updater.cfg", newCfg);
    ASSERT_TRUE(Publish(release, newServed, 5, false, newKey));
    PublishRelease(5);

    // A player on the old updater, whose updater.cfg names the old tree.
    const std::string ownExe = install + "/Quillor - Updater.exe";
    fs::copy_file(UpdaterExe(), ownExe);
    WriteFile(install + "/updater.cfg", "url=" + server.BaseUrl() + "\r\n");
    WriteFile(install + "/updater.state", "4\r\n");
    const std::vector<std::string> args = {"/silent", "/nolaunch"};
    ASSERT_EQ(RunUpdater(args, ownExe), 0);
    EXPECT_TRUE(ReadFile(ownExe) == rotatedExe);
    EXPECT_EQ(Installed("updater.cfg"), newCfg);
    EXPECT_TRUE(newServer.Requests().empty());

    ASSERT_EQ(RunUpdater(args, ownExe), 0);
    Lines log = LogLines(install);
    EXPECT_EQ(Lines(log.end() - 4, log.end()),
              (Lines{"update start, server " + newServer.BaseUrl() + ", dir " + WinePath(install),
                     "manifest ok: serial 5, 3 files", "0 of 3 files need an update (0 bytes)",
                     "update finished"}));

    AddToRelease("game.pak", "release 6");
    ASSERT_TRUE(Publish(release, newServed, 6, false, newKey));
    ASSERT_EQ(RunUpdater(args, ownExe), 0);
    EXPECT_EQ(Installed("game.pak"), "release 6");
    AddToRelease("game.pak", "release 7");
    ASSERT_TRUE(Publish(release, newServed, 7));  // signed with the old key
    EXPECT_EQ(RunUpdater(args, ownExe), 2);
    EXPECT_EQ(LogLines(install).back(), FailedLine(kSignatureMessage));
    EXPECT_EQ(Installed("game.pak"), "release 6");
    EXPECT_EQ(StateFile(), "6\r\n");

    // Without updater.cfg the new updater asks its own built-in base.
    ScratchTree bare;
    RunUpdater({"/silent", "/nolaunch", "/dir", WinePath(bare.path)}, ownExe);
    EXPECT_EQ(LogLines(bare.path).at(0),
              "update start, server http://127.0.0.1:8080/rotated, dir " + WinePath(bare.path));
}

// A virus scanner holds a new file for a moment; a game holds it for as long as it runs. Both
// without delete sharing, on a game file and on the running updater.
TEST_F(SilentLaunchE2E, BriefHoldsAreWaitedOutAndALastingOneNamesTheFileAndTheError) {
    const std::string oldExe = ReadFile(UpdaterExe()), newExe = oldExe + "next updater";
    const std::string kExe = "Quillor - Updater.exe", kGame = "bin/game.dll";
    AddToRelease(kExe, newExe);
    AddToRelease(kGame, std::string(300000, 'n'));
    PublishRelease(3);
    const struct {
        const char* held;
        bool lasting;
    } cases[] = {{"bin/game.dll", false}, {"bin/game.dll", true}, {"Quillor - Updater.exe", false},
                 {"Quillor - Updater.exe", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.held) + (c.lasting ? ", held for the whole run" : ", held briefly"));
        install = tree / ("install-" + std::to_string(&c - cases));
        const std::string ownExe = install + "/" + kExe, held = install + "/" + c.held;
        fs::create_directories(install + "/bin");
        fs::copy_file(UpdaterExe(), ownExe);
        WriteFile(install + "/" + kGame, "old game");
        FileHold hold(held);
        ASSERT_TRUE(hold.held);
        pid_t run = StartUpdater({"/silent", "/url", server.BaseUrl(), "/nolaunch"}, ownExe);
        ASSERT_GT(run, 0);
        if (!c.lasting) {
            // Its download is complete, so the updater is about to move it into place, or trying to.
            std::error_code missing;
            const uint64_t size = c.held == kExe ? newExe.size() : 300000;
            for (int waited = 0; waited < 30000 && fs::file_size(held + ".part", missing) != size; waited += 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            hold.Release();
        }
        const int exitCode = WaitProcess(run, 60000);
        hold.Release();
        Lines log = LogLines(install);
        if (!c.lasting) {
            EXPECT_EQ(exitCode, 0);
            EXPECT_EQ(log, (Lines{"update start, server " + server.BaseUrl() + ", dir " + WinePath(install),
                                  "manifest ok: serial 3, 2 files", "2 of 2 files need an update (" + std::to_string(newExe.size() + 300000) + " bytes)",
                                  "updated " + kExe, "updated " + kGame, "update finished"}))
                << "the waiting adds no line";
            EXPECT_TRUE(ReadFile(ownExe) == newExe);
            EXPECT_EQ(Installed(kGame), std::string(300000, 'n'));
            EXPECT_EQ(StateFile(), "3\r\n");
            continue;
        }
        EXPECT_EQ(exitCode, 2);
        ASSERT_FALSE(log.empty());
        // Windows reports a sharing violation (32); Wine, replacing a held file, access denied (5).
        EXPECT_TRUE(log.back() == FailedLine(LockedMessage(c.held, 32)) ||
                    log.back() == FailedLine(LockedMessage(c.held, 5)))
            << log.back();
        EXPECT_EQ(Installed(c.held), c.held == kExe ? oldExe : "old game") << "the held file is as it was";
        EXPECT_TRUE(FilesEndingIn(install, ".part").empty());
        EXPECT_FALSE(Exists(install + "/updater.state"));
    }
}

// Wine does not enforce MAX_PATH, so what shows that Windows would take these paths is the form
// the calls receive: every file call below the installation gets the "\\?\" form.
TEST_F(SilentLaunchE2E, InstallationBeyondMaxPathUpdatesAndUpdatesItself) {
    // Its folders are named so that every path the trace cuts short lies below the installation:
    // the folder above it has under 190 characters, the installation itself over 300.
    install = tree / (std::string(150, 'L') + "/" + std::string(125, 'M'));
    ASSERT_GT(WinePath(install).size(), 300u);
    ASSERT_LT(WinePath(tree / std::string(150, 'L')).size(), 190u);
    const std::string oldExe = ReadFile(UpdaterExe()), newExe = oldExe + "next updater";
    AddToRelease("Quillor - Updater.exe", newExe);
    AddToRelease("data/maps/" + std::string(40, 'k') + ".pak", "a map");
    PublishRelease(5);
    const std::string ownExe = install + "/Quillor - Updater.exe";
    fs::create_directories(install);
    fs::copy_file(UpdaterExe(), ownExe);
    WriteFile(install + "/updater.state", "4\r\n");
    const std::vector<std::string> args = {"/silent", "/url", server.BaseUrl(), "/nolaunch"};
    ASSERT_EQ(RunUpdaterTracingFiles(args, ownExe, tree / "trace.txt"), 0);
    EXPECT_TRUE(ReadFile(ownExe) == newExe);
    EXPECT_TRUE(ReadFile(ownExe + ".old") == oldExe);
    EXPECT_EQ(Installed("data/maps/" + std::string(40, 'k') + ".pak"), "a map");
    EXPECT_EQ(StateFile(), "5\r\n");
    EXPECT_EQ(LogLines(install).back(), "update finished");

    // Wine's trace shows each argument as L"..." with "\" doubled, cut after about 200 characters.
    std::map<std::string, int> calls;
    std::istringstream trace(ReadFile(tree / "trace.txt"));
    for (std::string line; std::getline(trace, line);) {
        size_t name = line.find("trace:file:");
        if (name == std::string::npos) continue;
        std::string call = line.substr(name + 11, line.find_first_of(" (", name + 11) - name - 11);
        if (call.rfind("Nt", 0) == 0 || call.rfind("Rtl", 0) == 0 || call.find('_') != std::string::npos) continue;
        for (size_t at = line.find("L\""); at != std::string::npos; at = line.find("L\"", at + 2)) {
            size_t end = line.find('"', at + 2);
            if (end == std::string::npos || line.compare(end, 4, "\"...") != 0) continue;  // whole, so short
            const std::string extended = "\\\\\\\\?\\\\Z:";  // "\\?\Z:", each backslash doubled
            EXPECT_EQ(line.compare(at + 2, extended.size(), extended), 0) << line;
            ++calls[call];
        }
    }
    for (const char* call : {"CreateFileW", "DeleteFileW", "MoveFileWithProgressW", "GetFileAttributesW"})
        EXPECT_GT(calls[call], 0) << call << " is not among the long-path calls seen";

    ASSERT_EQ(RunUpdater(args, ownExe), 0);
    EXPECT_FALSE(Exists(ownExe + ".old"));
    EXPECT_EQ(LogLines(install).back(), "update finished");

    // Then the game is started from there too. The shell takes no path of that length, so it gets
    // the game and the folder by their short names. (Wine's CreateProcess cannot start a program
    // whose long path exceeds MAX_PATH at all, so what is checked is what the shell was handed.)
    InstallFakeGame("Quillor - Launch.exe");
    ASSERT_EQ(RunUpdaterTracingFiles({"/silent", "/url", server.BaseUrl()}, ownExe, tree / "launch.txt",
                                     "trace+exec"), 0);
    EXPECT_EQ(LogLines(install).back(), GameLine("Quillor - Launch.exe"));
    // trace:exec:SHELL_execute mask=... verb=L"open" file=L"Z:\\...\\QUIL~W22.EXE" parm=(null) dir=L"Z:\\..." show=...
    const std::string shell = ReadFile(tree / "launch.txt");
    std::smatch call;
    ASSERT_TRUE(std::regex_search(shell, call, std::regex(R"re(SHELL_execute .*verb=L"open" file=L"([^"]*)" parm=\(null\) dir=L"([^"]*)" show=0x00000001)re")))
        << shell.substr(0, 2000);
    auto unescape = [](std::string text) {
        for (size_t at = text.find("\\\\"); at != std::string::npos; at = text.find("\\\\", at + 1)) text.erase(at, 1);
        return text;
    };
    const std::string game = unescape(call[1]), folder = unescape(call[2]);
    EXPECT_LT(game.size(), 260u) << game;
    EXPECT_LT(folder.size(), 259u) << folder;
    EXPECT_EQ(game.rfind(folder + "\\", 0), 0u) << game;
    EXPECT_TRUE(std::regex_match(game.substr(folder.size() + 1), std::regex(R"([A-Z0-9_~]{1,8}\.EXE)"))) << game;
    auto depth = [](const std::string& path) { return std::count(path.begin(), path.end(), '\\'); };
    EXPECT_EQ(depth(folder), depth(WinePath(install))) << folder;
}
