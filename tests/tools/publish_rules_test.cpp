// The publisher's path rules, request-target checks, manifest text and release opening, tested as functions.
#include "copy_engine.h"
#include "e2e_server.h"
#include "fs_util.h"
#include "http_get.h"
#include "path_rules.h"
#include "publish.h"
#include "request_path.h"
#include "tool_support.h"
#include "update/name_fold.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Problems(const std::vector<std::string>& paths) {
    std::vector<std::string> problems;
    CheckReleasePaths(paths, problems);
    return problems;
}

}  // namespace

TEST(PublishPathRules, FoldsToSimpleUppercaseOfTheBmpAsNtfsDoes) {
    EXPECT_EQ(FoldCaseForNtfs("Data/readme.txt"), "DATA/README.TXT");
    EXPECT_EQ(FoldCaseForNtfs("\xC3\xBC" "ber"), "\xC3\x9C" "BER");                    // ü -> Ü
    EXPECT_EQ(FoldCaseForNtfs("\xEF\xBD\x81"), "\xEF\xBC\xA1");                       // fullwidth a -> A
    EXPECT_EQ(FoldCaseForNtfs("\xD5\xA1"), "\xD4\xB1");                                 // Armenian ա -> Ա
    EXPECT_EQ(FoldCaseForNtfs("\xC3\x9F"), "\xC3\x9F");                                 // ß has no simple capital
    EXPECT_EQ(FoldCaseForNtfs("\xE2\x84\xAA"), "\xE2\x84\xAA");                       // Kelvin sign stays
    EXPECT_EQ(FoldCaseForNtfs("\xF0\x90\x90\xA8"), "\xF0\x90\x90\xA8");             // Deseret: beyond the BMP
    EXPECT_EQ(FoldCaseForNtfs("bad\xFFname"), "BAD\xFFNAME");                           // raw bytes survive
}

// The updater has no ICU; its table must give every BMP unit the key the publisher's ICU gives.
TEST(PublishPathRules, UpdaterFoldsEveryBmpUnitAsThePublisher) {
    int differing = 0;
    for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
        if (unit >= 0xD800 && unit <= 0xDFFF) continue;
        std::string text;
        AppendUtf8(text, unit);
        std::string publisher = FoldCaseForNtfs(text);
        if (publisher.size() == 1 && publisher[0] >= 'A' && publisher[0] <= 'Z') publisher[0] += 32;
        if (FoldCaseForWindows(text) != publisher && ++differing <= 5) ADD_FAILURE() << "U+" << std::hex << unit;
    }
    EXPECT_EQ(differing, 0);
}

TEST(PublishPathRules, RefusesPathsThatCollideOnWindows) {
    EXPECT_TRUE(Problems({"a.txt", "b/a.txt", "data/Maps/Erste Karte.pak"}).empty());
    EXPECT_EQ(Problems({"Readme.txt", "README.txt"}).size(), 1u);
    EXPECT_EQ(Problems({"data/\xC3\x84pfel.pak", "Data/\xC3\xA4pfel.pak"}).size(), 1u);  // Ä / ä
    EXPECT_EQ(Problems({"Maps", "maps/one.pak"}).size(), 1u);  // a file and a folder
    EXPECT_EQ(Problems({"\xEF\xBC\xA1.txt", "\xEF\xBD\x81.txt"}).size(), 1u);  // fullwidth Ａ / ａ
    EXPECT_EQ(Problems({"\xD4\xB1.txt", "\xD5\xA1.txt"}).size(), 1u);            // Armenian Ա / ա
    EXPECT_EQ(Problems({"\xCF\x82", "\xCF\x83"}).size(), 1u);                    // final and medial sigma
    EXPECT_TRUE(Problems({"\xC3\x9F.txt", "\xE1\xBA\x9E.txt", "k", "\xE2\x84\xAA"}).empty());
    EXPECT_EQ(Problems({"x.txt", "x.txt"}).size(), 1u);
}

TEST(PublishPathRules, RefusesWhatTheUpdaterOrWindowsCannotTake) {
    for (const char* path : {"a\\b.txt", "c:d.txt", "a..b", "why?.txt", "pipe|x", "tab\tx", "/abs",
                             "bad\xC3(utf8", "CON", "con.txt", "data/Lpt1.log", "name.", "trailing ",
                             "a//b.txt", "data/"}) {
        EXPECT_EQ(Problems({path}).size(), 1u) << path;
    }
    for (const char* path : {"updater.state", "Updater.LOG", "data/map.pak.part", "x.PART",
                             "updater.state.new", "updater.log/x", "data/Game.pak.Part/readme.txt"})
        EXPECT_EQ(Problems({path}).size(), 1u) << path;
    // The updater would download game.pak as "game.pak.part", which the folder then blocks.
    std::vector<std::string> folder = Problems({"game.pak", "game.pak.part/readme.txt"});
    ASSERT_EQ(folder.size(), 1u);
    EXPECT_NE(folder[0].find("block every later change of the file beside it"), std::string::npos)
        << folder[0];
    EXPECT_TRUE(Problems({"CONSOLE.txt", "com10", "a.b/c d/\xC3\xBC.bin", "data/updater.state",
                          "updater.cfg", "part"}).empty());
}

TEST(PublishPathRules, ValidatesUtf8Strictly) {
    EXPECT_TRUE(IsValidUtf8("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x8E\xAE"));
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(IsValidUtf8("end\xC3"));           // cut short
}

// What an installation of the earlier release could never take, and only that.
TEST(PublishPathRules, RefusesAFileThatBecomesAFolderOrTheReverse) {
    const struct {
        std::vector<std::string> before, after;
        std::vector<std::string> named;  // both paths of each refusal, in order
    } cases[] = {
        {{"game.exe", "data.pak"}, {"game.exe", "data.pak/one.pak", "data.pak/two.pak"}, {"data.pak", "data.pak/one.pak"}},
        {{"maps/a/north.map"}, {"maps/a"}, {"maps/a", "maps/a/north.map"}},
        {{"Maps"}, {"maps/one.pak"}, {"Maps", "maps/one.pak"}},  // one name on NTFS
        {{"\xC3\x84pfel/x"}, {"\xC3\xA4pfel"}, {"\xC3\xA4pfel", "\xC3\x84pfel/x"}},
        {{"data.pak", "maps/a.map"}, {"data.pak", "data.pak2/x", "data/x", "maps/a.map.d/b", "maps/A.MAP"}, {}},
        {{}, {"anything/at/all"}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> problems;
        CheckFileFolderChanges(c.before, c.after, "the live release (serial 4)", problems);
        ASSERT_EQ(problems.size() * 2, c.named.size()) << c.after[0];
        for (size_t i = 0; i < problems.size(); ++i) {
            const std::string& text = problems[i];
            EXPECT_NE(text.find(c.named[2 * i] + " is a file in "), std::string::npos) << text;
            EXPECT_NE(text.find(" has " + c.named[2 * i + 1] + ";"), std::string::npos) << text;
            EXPECT_NE(text.find("the live release (serial 4)"), std::string::npos) << text;
            EXPECT_NE(text.find("ship the change under a new name"), std::string::npos) << text;
        }
    }
}

TEST(PublishPathRules, WarnsAboutFilesSomeInstallationsCannotTake) {
    const std::string ue = "\xC3\xBC", emoji = "\xF0\x9F\x8E\xAE";  // one and two UTF-16 units
    const struct {
        std::string path;
        uint64_t size;
        std::vector<std::string> codes;
    } cases[] = {
        {"small.pak", 4294967295ull, {}},
        {"big.pak", 4294967296ull, {"file-4gib"}},
        {std::string(153, 'p'), 1, {}},  // with "\\" and ".part": 159, 100 left for the folder
        {std::string(154, 'p'), 1, {"path-long"}},
        {std::string(76, 'p') + "/" + [&] { std::string t; for (int i = 0; i < 76; ++i) t += ue; return t; }(), 1, {}},
        {std::string(150, 'p') + emoji + emoji, 1, {"path-long"}},
        {std::string(300, 'p'), 5000000000ull, {"file-4gib", "path-long"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> warnings, codes;
        CheckReleaseFileLimits(c.path, c.size, warnings, codes);
        EXPECT_EQ(codes, c.codes) << c.path.size() << " bytes, size " << c.size;
        ASSERT_EQ(warnings.size(), codes.size());
        for (const std::string& warning : warnings) EXPECT_EQ(warning.rfind(c.path + " is ", 0), 0u) << warning;
    }
}

TEST(PublishRequestTarget, SplitsAndDecodesFileTargets) {
    std::vector<std::string> names;
    ASSERT_EQ(SplitRequestTarget("/files/data/Erste%20Karte.pak?x=1", names), TargetVerdict::File);
    EXPECT_EQ(names, (std::vector<std::string>{"files", "data", "Erste Karte.pak"}));
    ASSERT_EQ(SplitRequestTarget("/files/Gr%C3%BC%c3%9fe.txt", names), TargetVerdict::File);
    EXPECT_EQ(names.back(), "Gr\xC3\xBC\xC3\x9F" "e.txt");
    EXPECT_EQ(SplitRequestTarget("/", names), TargetVerdict::NotFound);
    EXPECT_EQ(SplitRequestTarget("/files/", names), TargetVerdict::NotFound);
}

TEST(PublishRequestTarget, RefusesEverythingThatCouldLeaveTheTree) {
    std::vector<std::string> names;
    for (const char* target : {"/../etc/passwd", "/files/%2e%2e/manifest.txt", "/files/%2E%2E/x",
                               "/files/./x", "//etc/passwd", "/files%5C..%5Cx", "/files/a%00b",
                               "/files/%zz", "/files/%4", "http://host/etc/passwd", "*", ""}) {
        EXPECT_EQ(SplitRequestTarget(target, names), TargetVerdict::BadRequest) << target;
    }
}

TEST(PublishManifestText, WritesSerialAndTabSeparatedLines) {
    std::vector<PublishedFile> files = {{"a b.txt", std::string(64, 'a'), 5}, {"z/\xC3\xBC", std::string(64, '0'), 0}};
    EXPECT_EQ(BuildManifestText(7, files), "serial 7\n" + std::string(64, 'a') + "\t5\ta b.txt\n" +
                                               std::string(64, '0') + "\t0\tz/\xC3\xBC\n");
    EXPECT_EQ(BuildManifestText(18446744073709551615ull, {}), "serial 18446744073709551615\n");
}

TEST(PublishManifestText, SerialArgumentIsStrict) {
    uint64_t serial = 99;
    EXPECT_TRUE(ParseSerialArgument("18446744073709551615", serial));
    EXPECT_EQ(serial, 18446744073709551615ull);
    for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1x", "0x10", "18446744073709551616", "99999999999999999999"})
        EXPECT_FALSE(ParseSerialArgument(bad, serial)) << bad;
    EXPECT_EQ(serial, 18446744073709551615ull);
}

TEST(PublishSwap, WithoutTheExchangeTheNewTreeIsLiveAndTheOldOneHandedBack) {
    TempDir dir;
    for (const char* folder : {"/srv", "/fresh"}) ASSERT_EQ(mkdir((dir.Path() + folder).c_str(), 0755), 0);
    WriteFileText(dir / "srv/manifest.txt", "serial 1\n");
    WriteFileText(dir / "fresh/manifest.txt", "serial 2\n");
    std::string oldTree, error;
    ASSERT_EQ(SwapIn(dir / "fresh", dir / "srv", false, oldTree, error), SwapResult::Swapped) << error;
    EXPECT_EQ(ReadFileText(dir / "srv/manifest.txt"), "serial 2\n");
    EXPECT_EQ(ReadFileText(oldTree + "/manifest.txt"), "serial 1\n");
    EXPECT_EQ(SwapIn(dir / "gone", dir / "srv", false, oldTree, error), SwapResult::Unchanged);
    EXPECT_EQ(ReadFileText(dir / "srv/manifest.txt"), "serial 2\n");
}

// Both ways of opening a release file, openat2 and the walk for kernels without it, refuse a link
// in any segment, also one pointing back inside, and a path that would leave the folder.
TEST(PublishReleaseOpen, FollowsNoLinkInAnySegment) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "rel").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "rel/data").c_str(), 0755), 0);
    WriteFileText(dir / "rel/data/a.pak", "inside");
    WriteFileText(dir / "secret", "outside");
    ASSERT_EQ(symlink("data", (dir / "rel/alias").c_str()), 0);
    ASSERT_EQ(symlink((dir / "secret").c_str(), (dir / "rel/data/b.pak").c_str()), 0);
    UniqueFd root(open((dir / "rel").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root.Valid());
    for (auto open : {OpenBeneath, OpenBeneathBySegments}) {
        UniqueFd good(open(root.Get(), "data/a.pak", O_RDONLY));
        char byte = 0;
        EXPECT_TRUE(good.Valid() && read(good.Get(), &byte, 1) == 1 && byte == 'i');
        for (const char* refused : {"alias/a.pak", "data/b.pak", "../secret", "data/../../secret"}) {
            UniqueFd fd(open(root.Get(), refused, O_RDONLY));
            EXPECT_FALSE(fd.Valid()) << refused;
            EXPECT_TRUE(errno == ELOOP || errno == EXDEV) << refused << ": " << errno;
        }
    }
}

// The quick pre-checks (a device name's first two letters, "updater" or "part" before the updater's
// own names) must refuse exactly what the full rules refuse, whatever the letter case.
TEST(PublishPathRules, QuickChecksKeepEveryVerdict) {
    const struct {
        const char* path;
        size_t problems;
    } cases[] = {
        {"Aux.txt", 1}, {"nUl", 1}, {"x/cOm\xC2\xB9", 1}, {"lpt9.x", 1}, {"conin$", 1}, {"CONOUT$.log", 1},
        {"Prn .txt", 1}, {"auxiliary", 0}, {"nul2", 0}, {"com0x", 0}, {"lpt", 0}, {" con", 0}, {".aux", 0},
        {"assets/cpm1", 0}, {"a.ux", 0}, {"lPt\xC2\xB3.x", 1}, {"NU", 0},
        {"UPDATER.\xC5\xBFTATE", 1},      // the long s folds to S on Windows
        {"uPdAtEr.LoG", 1}, {"a/B.pArT", 1}, {"a/b.part./c", 1}, {"pArT.dat", 0}, {"x.p\xC3\xA1rt", 0},
        {"updater.stat", 0}, {"updaters.log", 0}, {"data/updater.log", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(Problems({c.path}).size(), c.problems) << c.path;
}

// The GET client's reading of answers, each sent raw by the loopback server: the three ways a body
// ends, and a clear refusal of every answer past a limit or out of form.
TEST(PublishHttpGet, ReadsBodiesAndRefusesWhatIsPastItsLimits) {
    TempDir dir;
    LoopbackServer server(dir.Path());
    ASSERT_NE(server.Port(), 0);
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    std::string hundred, longLine = "X-Long: " + std::string(8192, 'l') + "\r\n";
    for (int n = 0; n < 100; ++n) hundred += "X-" + std::to_string(n) + ": v\r\n";
    struct Case {
        std::string raw;
        size_t stopAbove;  // onBody stops once more than this has come
        int status;
        const char* body;  // nullptr: HttpGet fails with error
        const char* error;
    };
    const Case cases[] = {
        {ok + "Content-Length: 5\r\n\r\nhello, more", 99, 200, "hello", ""},
        {ok + "Transfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n6\r\n world\r\n0\r\nX-T: 1\r\n\r\n", 99, 200,
         "hello world", ""},
        {"HTTP/1.0 200 OK\r\n\r\nall until the close", 99, 200, "all until the close", ""},
        {ok + hundred + "\r\nfine", 99, 200, "fine", ""},
        {"HTTP/1.1 302 Found\r\nLocation: /else\r\nContent-Length: 3\r\n\r\nabc", 99, 302, "", ""},
        {ok + "Content-Length: 10\r\n\r\nabc", 99, 200, nullptr, "the connection closed 7 bytes before the body's end"},
        {ok + "Content-Length: 9\r\n\r\nabcdefghi", 3, 200, nullptr, "stopped by the reader"},
        {ok + hundred + "X-100: v\r\n\r\n", 99, 200, nullptr, "more than 100 header lines"},
        {ok + longLine + "\r\n", 99, 200, nullptr, "a header line is longer than 8192 bytes"},
        {"HTTP/1.1 200 " + std::string(8192, 'k') + "\r\n\r\n", 99, 0, nullptr, "the status line is longer than 8192 bytes"},
        {"SSH-2.0-OpenSSH\r\n\r\n", 99, 0, nullptr, "not an HTTP/1.x status line"},
        {ok + "Header without colon\r\n\r\n", 99, 200, nullptr, "a header line without a name"},
        {ok + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", 99, 200, nullptr, "two different Content-Length"},
        {ok + "Content-Length: -1\r\n\r\n", 99, 200, nullptr, "not a Content-Length"},
        {ok + "Transfer-Encoding: gzip\r\n\r\n", 99, 200, nullptr, "transfer coding \"gzip\" is not supported"},
        {ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", 99, 200, nullptr, "not a chunk size"},
        {ok + "Transfer-Encoding: chunked\r\n\r\n1" + std::string(1100, ' ') + "\r\n", 99, 200, nullptr,
         "a chunk-size line is longer than 1024 bytes"},
        {ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", 99, 200, nullptr, "a chunk longer than its size"},
        {ok + "Transfer-Encoding: chunked\r\n\r\n10000000000000000\r\n", 99, 200, nullptr, "not a chunk size"},
    };
    for (const Case& test : cases) {
        Misbehaviour how;
        how.raw = test.raw;
        server.ClearOverrides();
        server.Override("/r", how);
        HttpGetRequest request;
        request.hostPort = "127.0.0.1:" + std::to_string(server.Port());
        request.path = "/r";
        request.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string body, error;
        HttpGetAnswer answer;
        bool whole = HttpGet(
            request,
            [&](const char* data, size_t size) {
                body.append(data, size);
                return body.size() <= test.stopAbove;
            },
            answer, error);
        std::string label = test.raw.substr(0, 60);
        EXPECT_EQ(whole, test.body != nullptr) << label << ": " << error;
        EXPECT_EQ(answer.status, test.status) << label;
        if (test.body) {
            EXPECT_EQ(body, test.body) << label;
        }
        EXPECT_NE(error.find(test.error), std::string::npos) << label << ": " << error;
        EXPECT_FALSE(answer.late) << label;
    }
}
