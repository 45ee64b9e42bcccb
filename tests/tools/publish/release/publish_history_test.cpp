// Kept releases: history, revert (live and staged) and prune through the built tool, and the rules they keep.
#include "core/fs_util.h"
#include "release/history.h"
#include "release/history_text.h"
#include "tool_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class PublishHistory : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        ASSERT_EQ(RunTool({"keygen", dir / "k"}).exitCode, 0);
        // Three releases: one file kept by all, one changed by each, one only in the first.
        for (int i = 1; i <= 3; ++i) {
            std::string rel = dir / ("r" + std::to_string(i));
            RunCommand({"mkdir", "-p", rel + "/data"});
            WriteFileText(rel + "/game.exe", "MZ game " + std::to_string(i));
            WriteFileText(rel + "/data/common.pak", std::string(3000, 'c'));
            if (i == 1) WriteFileText(rel + "/data/first.pak", std::string(4000, 'f'));
            AgeTree(rel);
        }
    }
    CommandResult Tool(std::vector<std::string> args) {
        args.push_back(dir / "srv");
        return RunTool(args);
    }
    static time_t MtimeOf(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : 0;
    }
    CommandResult Revert(const std::string& to, const std::string& serial, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"revert", "--key", dir / "k.pem", "--to", to, "--serial", serial};
        args.insert(args.end(), extra.begin(), extra.end());
        return Tool(args);
    }
    // The history listing's line of serial ("" when none).
    std::string HistoryLine(const std::string& serial) {
        std::string text = Tool({"history"}).out;
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\n', at);
            std::string line = text.substr(at, end - at);
            if (line.compare(0, serial.size() + 1, serial + " ") == 0) return line;
            at = end + 1;
        }
        return std::string();
    }
};

TEST_F(PublishHistory, ThreeReleasesARevertLiveOneStagedAndAPruneThatKeepsWhatIsServed) {
    const char* messages[] = {"first release", "second: new exe", "third, Grüße"};
    for (int i = 1; i <= 3; ++i) {
        CommandResult published = RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(i),
                                           "--message", messages[i - 1], dir / ("r" + std::to_string(i)), dir / "srv"});
        ASSERT_EQ(published.exitCode, 0) << published.err;
    }
    EXPECT_NE(HistoryLine("3").find(" live "), std::string::npos) << HistoryLine("3");
    EXPECT_NE(HistoryLine("3").find("third, Grüße"), std::string::npos);
    // From serial 2 a player downloads the new exe (9 bytes); a first install everything (7,009).
    EXPECT_NE(HistoryLine("3").find(" 9  "), std::string::npos) << HistoryLine("3");
    EXPECT_NE(HistoryLine("1").find(" kept "), std::string::npos) << HistoryLine("1");
    EXPECT_NE(HistoryLine("1").find(" 7009  "), std::string::npos) << HistoryLine("1");
    EXPECT_NE(HistoryLine("2").find("second: new exe"), std::string::npos);

    CommandResult preview = Tool({"diff", "--to", "1"});
    EXPECT_EQ(preview.exitCode, 1);
    EXPECT_NE(preview.out.find("added              4000  data/first.pak"), std::string::npos) << preview.out;
    EXPECT_NE(preview.out.find("each player on the published serial 3 downloads 4009 bytes"), std::string::npos);

    // A revert reads no body: every kept one is unreadable while it runs.
    const std::string kept = dir / "srv.history";
    const time_t before = MtimeOf(dir / "srv/manifest.txt"), common = MtimeOf(dir / "srv/files/data/common.pak");
    RunCommand({"find", kept, dir / "srv/files", "-type", "f", "-path", "*files/*", "-exec", "chmod", "a-r", "{}", "+"});
    CommandResult reverted = Revert("1", "4", {"--message", "back to the first"});
    RunCommand({"find", kept, dir / "srv/files", "-type", "f", "-exec", "chmod", "u+r", "{}", "+"});
    ASSERT_EQ(reverted.exitCode, 0) << reverted.err;
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "4", dir / "srv"}).exitCode, 0);
    EXPECT_EQ(RunCommand({"diff", "-r", dir / "r1", dir / "srv/files"}).exitCode, 0);
    EXPECT_EQ(Tool({"diff", "--to", "1"}).exitCode, 0);
    // Edges tell bodies by time and size: one unlike the live body at its path gets a new time.
    EXPECT_GT(MtimeOf(dir / "srv/files/game.exe"), before);
    EXPECT_EQ(MtimeOf(dir / "srv/files/data/common.pak"), common);
    EXPECT_NE(HistoryLine("4").find(" live "), std::string::npos);
    EXPECT_NE(HistoryLine("4").find(" 4009  "), std::string::npos) << HistoryLine("4");
    EXPECT_NE(HistoryLine("3").find(" kept "), std::string::npos);

    CommandResult staged = Revert("2", "5", {"--share", "10"});
    ASSERT_EQ(staged.exitCode, 0) << staged.err;
    EXPECT_NE(Tool({"status"}).out.find("stage: serial 5 for 10 % of the players"), std::string::npos);
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "5", dir / "srv.stage"}).exitCode, 0);
    EXPECT_EQ(ReadFileText(dir / "srv.stage/files/game.exe"), "MZ game 2");
    EXPECT_NE(HistoryLine("5").find(" staged "), std::string::npos);

    // Hand-made names inside the history are never the tool's to remove.
    WriteFileText(kept + "/notes.txt", "mine");
    mkdir((kept + "/1-0123456789abcdef").c_str(), 0755);
    CommandResult pruned = Tool({"prune", "--keep", "1"});
    EXPECT_NE(pruned.out.find("pruned serial 2, 1 from"), std::string::npos) << pruned.out << pruned.err;
    EXPECT_EQ(HistoryLine("1"), "");
    EXPECT_NE(HistoryLine("3").find(" kept "), std::string::npos);  // the one before the live one
    EXPECT_NE(HistoryLine("4").find(" live "), std::string::npos);
    EXPECT_NE(HistoryLine("5").find(" staged "), std::string::npos);
    EXPECT_EQ(ReadFileText(kept + "/notes.txt"), "mine");
    EXPECT_TRUE(PathExists(kept + "/1-0123456789abcdef"));

    // Promoting the stage keeps the reverted live tree, which the next revert brings back.
    ASSERT_EQ(Tool({"promote"}).exitCode, 0);
    EXPECT_NE(HistoryLine("4").find(" kept "), std::string::npos) << HistoryLine("4");
    ASSERT_EQ(Revert("4", "6").exitCode, 0);
    EXPECT_EQ(RunCommand({"diff", "-r", dir / "r1", dir / "srv/files"}).exitCode, 0);
}

TEST_F(PublishHistory, RevertKeepsTheRulesOfPublishAndStage) {
    for (int i = 1; i <= 2; ++i)
        ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(i * 10),
                           dir / ("r" + std::to_string(i)), dir / "srv"}).exitCode, 0);
    ASSERT_EQ(Revert("10", "30", {"--share", "20"}).exitCode, 0);
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* says;
    } cases[] = {
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "15"}, 1, "lower than the published serial 20"},
        {{"revert", "--key", dir / "k.pem", "--to", "7", "--serial", "40"}, 1, "no kept release of serial 7"},
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "30"}, 1, "serial 30 is staged; promote it"},
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "31", "--share", "5"}, 1, "the share only grows"},
        {{"revert", "--key", dir / "k.pem", "--serial", "40"}, 2, "revert needs --to SERIAL"},
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "40", "--message", "two\nlines"}, 2, "one line"},
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "40", "--message", std::string(201, 'm')}, 2,
         "at most 200"},
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "40", "--force"}, 2, "unknown option --force"},
        {{"prune", "--keep", "-1"}, 2, "--keep 0 to 100000"},
        {{"diff", "--to", "99"}, 2, "no kept release of serial 99"},
    };
    for (const auto& each : cases) {
        CommandResult result = Tool(each.args);
        EXPECT_EQ(result.exitCode, each.exitCode) << each.args[0] << " " << each.says << ": " << result.err;
        EXPECT_NE(result.err.find(each.says), std::string::npos) << result.err;
    }
    EXPECT_NE(Tool({"status"}).out.find("live:  serial 20"), std::string::npos);
}

TEST_F(PublishHistory, ARevertLinksOnlyWholeListedBodiesAndPrunedEntriesGoAfterTheResult) {
    for (int i = 1; i <= 3; ++i)
        ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(i),
                           dir / ("r" + std::to_string(i)), dir / "srv"}).exitCode, 0);
    std::string tree1;
    for (const std::string& name : Names(dir / "srv.history"))
        if (name.compare(0, 2, "1-") == 0) tree1 = dir / ("srv.history/" + name + "/tree");
    ASSERT_TRUE(PathExists(tree1 + "/manifest.txt"));

    // A kept body cut short is refused before anything changes; a file the manifest does not list
    // is not carried over.
    const std::string first = ReadFileText(tree1 + "/files/data/first.pak");
    WriteFileText(tree1 + "/files/data/first.pak", "short");
    const std::vector<std::string> around = Names(dir.Path());
    CommandResult damaged = Revert("1", "4");
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_NE(damaged.err.find("data/first.pak: not the body of 4000 bytes its manifest lists"), std::string::npos)
        << damaged.err;
    EXPECT_EQ(ReadFileText(dir / "srv/files/game.exe"), "MZ game 3");
    EXPECT_EQ(Names(dir.Path()), around);
    WriteFileText(tree1 + "/files/data/first.pak", first);
    WriteFileText(tree1 + "/files/data/stray.txt", "not listed");
    ASSERT_EQ(Revert("1", "4").exitCode, 0);
    EXPECT_EQ(RunCommand({"diff", "-r", dir / "r1", dir / "srv/files"}).exitCode, 0);

    // The reverted tree's record vouches for its bodies: publishing release 1 again reads nothing.
    CommandResult again = RunTool({"publish", "--key", dir / "k.pem", "--serial", "5", dir / "r1", dir / "srv"});
    EXPECT_NE(again.out.find("(0 read from the release, 3 taken over unchanged)"), std::string::npos) << again.out;

    // Pruned entries are removed once the result is out, but an entry whose removal another
    // process holds (its folder locked) is left to that process.
    const std::string held = dir / ("srv.history/" + EntryName(9) + ".gone");
    mkdir(held.c_str(), 0755);
    WriteFileText(held + "/info", "being removed");
    UniqueFd lock(open(held.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_EQ(flock(lock.Get(), LOCK_EX | LOCK_NB), 0);
    CommandResult pruned = RunTool({"publish", "--key", dir / "k.pem", "--keep", "1", "--serial", "6", dir / "r2",
                                    dir / "srv"});
    ASSERT_EQ(pruned.exitCode, 0) << pruned.err;
    EXPECT_NE(pruned.out.find("pruned serial 4, 3, 2, 1 from"), std::string::npos) << pruned.out;
    auto goneLeft = [&] {
        int count = 0;
        for (const std::string& name : Names(dir / "srv.history")) count += name.find(".gone") != std::string::npos;
        return count;
    };
    for (int i = 0; i < 100 && goneLeft() > 1; ++i) usleep(50 * 1000);
    EXPECT_EQ(goneLeft(), 1);
    EXPECT_EQ(ReadFileText(held + "/info"), "being removed");
    lock = UniqueFd();
    ASSERT_EQ(Tool({"prune"}).exitCode, 0);
    EXPECT_FALSE(PathExists(held));
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "6", dir / "srv"}).exitCode, 0);
}

TEST_F(PublishHistory, AHistoryFolderThePublisherDidNotMakeIsRefusedAndLeftAlone) {
    mkdir((dir / "srv.history").c_str(), 0755);
    WriteFileText(dir / "srv.history/manifest.txt", "another site");
    CommandResult refused = RunTool({"publish", "--key", dir / "k.pem", "--serial", "1", dir / "r1", dir / "srv"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("was not made by quillor-publish"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFileText(dir / "srv.history/manifest.txt"), "another site");
    EXPECT_EQ(Tool({"history"}).exitCode, 1);
}

TEST(HistoryRules, MessagesAreOneBoundedLineOfText) {
    const struct {
        std::string text;
        bool ok;
    } cases[] = {
        {"", true},           {"Fixed the map loader", true}, {"Grüße, 修正", true}, {std::string(200, 'x'), true},
        {std::string(201, 'x'), false}, {"a\nb", false}, {"a\rb", false}, {"tab\there", false}, {"\x7f", false},
        {"\xc2\x85", false},  // NEL, a C1 line break
        {"\xff", false},      {"\xc3", false}, {"\xc0\xaf", false},
    };
    for (const auto& each : cases) {
        std::string error;
        EXPECT_EQ(CheckMessage(each.text, error), each.ok) << testing::PrintToString(each.text);
    }
}

TEST(HistoryRules, TheDownloadCountsAddedAndChangedFilesOnly) {
    auto manifest = [](const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); };
    std::string a(64, 'a'), b(64, 'b');
    std::vector<uint8_t> before = manifest("serial 1\n" + a + "\t10\tdata/x\n" + a + "\t20\tgame.exe\n" + a + "\t5\tz\n");
    std::vector<uint8_t> after = manifest("serial 2\n" + a + "\t7\tdata/new\n" + a + "\t10\tdata/x\n" + b +
                                          "\t21\tgame.exe\n");
    std::vector<std::string> lines;
    EXPECT_EQ(DownloadBetween(after, before, &lines), 28u);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "added                 7  data/new");
    EXPECT_EQ(lines[1], "changed              21  game.exe");
    EXPECT_EQ(lines[2], "removed               0  z");
    EXPECT_EQ(DownloadBetween(after, {}, nullptr), 38u);
}

}  // namespace
