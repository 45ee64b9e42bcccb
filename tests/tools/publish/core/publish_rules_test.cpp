// The publisher's path rules and its strict number arguments, tested as functions.
#include "core/cli_args.h"
#include "core/path_rules.h"
#include "update/name_fold.h"

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

// One folded release held against several (live, kept), each refusal naming the release whose
// players it strands; a path both hold is never a clash, whatever else changed.
TEST(PublishPathRules, NamesEachHeldReleaseThatCouldNotTakeTheNewOne) {
    const struct {
        std::vector<std::string> after;
        std::vector<std::pair<std::vector<std::string>, std::string>> held;  // paths, name
        std::vector<std::string> starts;  // the problems, by their beginnings
    } cases[] = {
        {{"game.exe", "data.pak/new.pak"},
         {{{"game.exe"}, "the live release (serial 9)"},
          {{"data.pak"}, "the kept release (serial 3)"},
          {{"data.pak/old.pak", "game.exe"}, "the kept release (serial 2)"}},
         {"a file becomes a folder: data.pak is a file in the kept release (serial 3), this release has data.pak/new.pak"}},
        {{"data.pak", "DATA/x"},
         {{{"data.pak/a", "data.pak/b", "data/x"}, "the kept release (serial 2)"}},
         {"a folder becomes a file: data.pak is a file in this release, the kept release (serial 2) has data.pak/a"}},
        {{"a/b/c", "a/d"}, {{{"A/B/C", "a/d", "a/e"}, "the kept release (serial 1)"}}, {}},
    };
    for (const auto& c : cases) {
        const FoldedRelease folded = FoldRelease(c.after);
        std::vector<std::string> problems;
        for (const auto& [paths, name] : c.held) CheckFileFolderChanges(paths, folded, name, problems);
        ASSERT_EQ(problems.size(), c.starts.size()) << c.after[0];
        for (size_t i = 0; i < problems.size(); ++i) EXPECT_EQ(problems[i].rfind(c.starts[i], 0), 0u) << problems[i];
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

TEST(PublishManifestText, SerialArgumentIsStrict) {
    uint64_t serial = 99;
    EXPECT_TRUE(ParseSerialArgument("18446744073709551615", serial));
    EXPECT_EQ(serial, 18446744073709551615ull);
    for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1x", "0x10", "18446744073709551616", "99999999999999999999"})
        EXPECT_FALSE(ParseSerialArgument(bad, serial)) << bad;
    EXPECT_EQ(serial, 18446744073709551615ull);
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
