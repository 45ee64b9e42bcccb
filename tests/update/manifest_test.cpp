// Tests of the manifest parser: line handling, the serial line, file lines and the path rules.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "update/manifest.h"

namespace {

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
constexpr uint64_t kPreset = 99;  // what the caller had in serial before parsing
const char kNoSerial[] = "Manifest ohne Seriennummer";
const char kMalformed[] = "Manifest-Zeile fehlerhaft";
const std::string kUnsafe = "Unsicherer Eintrag im Manifest: ";

struct Parsed {
    bool ok = false;
    uint64_t serial = kPreset;
    std::vector<ManifestEntry> entries;
    std::string error;
};

Parsed Parse(const std::string& text) {
    Parsed result;
    result.error = "untouched";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    result.ok = ParseManifest(bytes, result.serial, result.entries, result.error);
    return result;
}

std::string Line(const std::string& path, const std::string& size = "1",
                 const std::string& digest = kDigest) {
    return digest + "\t" + size + "\t" + path + "\n";
}

}  // namespace

TEST(ManifestParser, ReadsSerialAndEntriesInOrder) {
    Parsed p = Parse("serial 42\n" + Line("bin/game.exe", "1048576") + Line("a.txt", "0") +
                     Line("a.txt", "7"));
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.serial, 42u);
    ASSERT_EQ(p.entries.size(), 3u);  // a path listed twice gives two entries
    EXPECT_EQ(p.entries[0].sha256, kDigest);
    EXPECT_EQ(p.entries[0].size, 1048576u);
    EXPECT_EQ(p.entries[0].path, "bin/game.exe");
    EXPECT_EQ(p.entries[1].path, "a.txt");
    EXPECT_EQ(p.entries[2].size, 7u);
    EXPECT_EQ(p.error, "untouched");
}

TEST(ManifestParser, IgnoresCrLfAndBlankLinesAnywhere) {
    Parsed p = Parse("\n\r\n\r\r\nserial 5\r\n\r\n" + kDigest + "\t3\tx.dat\r\r\n\n\r\n" + kDigest +
                     "\t4\ty.dat\r");
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.serial, 5u);
    ASSERT_EQ(p.entries.size(), 2u);
    EXPECT_EQ(p.entries[0].path, "x.dat");
    EXPECT_EQ(p.entries[1].path, "y.dat");  // last line without LF, its CR dropped

    // A CR inside a line is an ordinary byte, so in a path it is a control character.
    p = Parse("serial 5\n" + Line("a\rb"));
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.error, kUnsafe + "a\rb");
}

TEST(ManifestParser, RefusesFirstLineThatIsNotASerialLine) {
    const char* const firstLines[] = {
        "\xEF\xBB\xBFserial 5",  // byte-order mark
        "Serial 5", " serial 5", "serial5", "serial", "SERIAL 5", "   ", "\t",
        "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\t1\ta"};
    for (const char* first : firstLines) {
        Parsed p = Parse(std::string("\r\n") + first + "\n" + Line("a"));
        EXPECT_FALSE(p.ok) << first;
        EXPECT_EQ(p.error, kNoSerial) << first;
        EXPECT_EQ(p.serial, kPreset) << first;
        EXPECT_TRUE(p.entries.empty()) << first;
    }
}

TEST(ManifestParser, ReadsSerialWithTheDecimalRule) {
    struct Case {
        const char* line;
        uint64_t serial;
    } const cases[] = {
        {"serial ", 0},
        {"serial abc", 0},
        {"serial    17", 17},
        {"serial 17 and some text", 17},
        {"serial +8", 8},
        {"serial -1", UINT64_MAX},
        {"serial 18446744073709551615", UINT64_MAX},
        {"serial 18446744073709551616", UINT64_MAX},
        {"serial 99999999999999999999999999", UINT64_MAX},
        {"serial 007", 7},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(std::string(c.line) + "\n");
        EXPECT_TRUE(p.ok) << c.line;
        EXPECT_EQ(p.serial, c.serial) << c.line;
    }
}

TEST(ManifestParser, SerialSevenWithTrailingBlankLines) {
    Parsed p = Parse("serial 7\n\n\r\n\n");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.serial, 7u);
    EXPECT_TRUE(p.entries.empty());
}

TEST(ManifestParser, AcceptsTextWithoutAnyLineKeepingPresetSerial) {
    for (const char* text : {"", "\n", "\r\n\r\n", "\r"}) {
        Parsed p = Parse(text);
        EXPECT_TRUE(p.ok);
        EXPECT_EQ(p.serial, kPreset);
        EXPECT_TRUE(p.entries.empty());
        EXPECT_EQ(p.error, "untouched");
    }
}

TEST(ManifestParser, RefusesFileLineWithoutTwoTabs) {
    const std::string lines[] = {
        kDigest + " 1 a.txt",   // blanks instead of TABs
        kDigest + "\t1 a.txt",  // only one TAB
        kDigest + "\t",         // TAB as last byte
        kDigest,
        "     ",                // a line of blanks is not an empty line
        "serial 8",             // a second serial line is an ordinary file line
    };
    for (const std::string& line : lines) {
        Parsed p = Parse("serial 1\n" + Line("first") + line + "\n" + Line("never"));
        EXPECT_FALSE(p.ok) << line;
        EXPECT_EQ(p.error, kMalformed) << line;
        ASSERT_EQ(p.entries.size(), 1u) << line;  // kept from before the failing line
        EXPECT_EQ(p.entries[0].path, "first");
    }
}

TEST(ManifestParser, RefusesDigestOfWrongLengthNamingThePath) {
    for (size_t length : {0u, 63u, 65u}) {
        Parsed p = Parse("serial 1\n" + Line("data/x.pak", "5", std::string(length, 'a')));
        EXPECT_FALSE(p.ok) << length;
        EXPECT_EQ(p.error, kUnsafe + "data/x.pak") << length;
    }
}

TEST(ManifestParser, RefusesEachUnsafePathNamingIt) {
    const std::string paths[] = {
        "/etc/passwd", "/", "../game.exe", "data/../../x", "a..b", "..", "data/..",
        "data\\x", "C:/Windows/x", "C:", "file:stream", "a?b", "a|b", "a*", "a\"b",
        "a<b", "a>b", std::string("a\x01" "b"), std::string("a\x1f"), "tab\tinside",
        "fourth\tfield", std::string("nul\0byte", 8), "aux", "CON", "data/nul.txt",
        "Com1.tar.gz", "x/lpt9/y", "com0", "LPT\xC2\xB9", "com\xC2\xB3.dat", "prn  ",
        "conout$",
    };
    for (const std::string& path : paths) {
        EXPECT_FALSE(IsSafeManifestPath(path)) << path;
        Parsed p = Parse("serial 1\n" + Line("ok.txt") + Line(path) + Line("never"));
        EXPECT_FALSE(p.ok) << path;
        EXPECT_EQ(p.error, kUnsafe + path) << path;
        ASSERT_EQ(p.entries.size(), 1u) << path;
    }
    Parsed empty = Parse("serial 1\n" + Line(""));
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.error, kUnsafe);
    EXPECT_FALSE(IsSafeManifestPath(""));
}

TEST(ManifestParser, AcceptsPathsNoRuleRefuses) {
    const std::string paths[] = {
        "daten/Gr\xC3\xBC\xC3\x9F" "e.txt",  // umlauts in UTF-8
        "./a", "a//b", "dir/", " blank ", "a.b.c", "x\x7F", "\xFF\xFE",
        "console", "com10", "lpt", "auxiliary/x", "COM\xC2\xB4", ".nul", "nul_x",
    };
    for (const std::string& path : paths) {
        EXPECT_TRUE(IsSafeManifestPath(path)) << path;
        Parsed p = Parse("serial 1\n" + Line(path));
        ASSERT_TRUE(p.ok) << path << ": " << p.error;
        EXPECT_EQ(p.entries[0].path, path);
    }
}

TEST(ManifestParser, KeepsDigestBytesAndReadsSizeLeniently) {
    const std::string upper(64, 'F');
    const std::string notHex(64, 'z');
    Parsed p = Parse("serial 1\n" + Line("a", "", upper) + Line("b", "  12 bytes", notHex) +
                     Line("c", "-1") + Line("d", "99999999999999999999"));
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.entries.size(), 4u);
    EXPECT_EQ(p.entries[0].sha256, upper);  // stored as written, no case folding
    EXPECT_EQ(p.entries[0].size, 0u);
    EXPECT_EQ(p.entries[1].sha256, notHex);
    EXPECT_EQ(p.entries[1].size, 12u);
    EXPECT_EQ(p.entries[2].size, UINT64_MAX);
    EXPECT_EQ(p.entries[3].size, UINT64_MAX);
}

// Mutated manifests and random bytes: the parser must finish, fail only with one of its three
// messages, and hand out only entries that pass its own rules.
TEST(ManifestParser, SurvivesMutatedAndRandomInput) {
    std::mt19937 random(20261208);
    const std::string alphabet = std::string("ab/.\\:?*|<>\"\t\r\n 09-+") + "\xC3\xBC\x7F\x01" +
                                 std::string(1, '\0');
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    auto randomPath = [&] {
        std::string path = "p";
        for (size_t i = pick(12); i > 0; --i) path += "ab/_\xC3\xBC"[pick(6)];
        return path;
    };
    const auto start = std::chrono::steady_clock::now();
    size_t accepted = 0;
    for (int iteration = 0; iteration < 4000; ++iteration) {
        std::string valid = "serial " + std::to_string(random()) + "\n";
        std::vector<ManifestEntry> expected;
        for (size_t i = pick(6); i > 0; --i) {
            expected.push_back({kDigest, random(), randomPath()});
            valid += Line(expected.back().path, std::to_string(expected.back().size));
        }
        if (iteration % 10 == 0) {  // the unmutated text must come back exactly
            Parsed p = Parse(valid);
            ASSERT_TRUE(p.ok) << valid << p.error;
            ASSERT_EQ(p.entries.size(), expected.size());
            for (size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(p.entries[i].path, expected[i].path);
                EXPECT_EQ(p.entries[i].size, expected[i].size);
            }
        }
        std::string text = valid;
        if (iteration % 4 == 3) {
            text.assign(pick(300), '\0');
            for (char& c : text) c = static_cast<char>(random());
        } else {
            for (size_t edits = 1 + pick(8); edits > 0; --edits) {
                size_t at = pick(text.size() + 1);
                char c = alphabet[pick(alphabet.size())];
                switch (pick(3)) {
                    case 0: text.insert(at, 1, c); break;
                    case 1: if (at < text.size()) text[at] = c; break;
                    default: if (at < text.size()) text.erase(at, 1); break;
                }
            }
        }
        Parsed p = Parse(text);
        if (p.ok) {
            ++accepted;
            for (const ManifestEntry& e : p.entries) {
                EXPECT_EQ(e.sha256.size(), 64u);
                EXPECT_TRUE(IsSafeManifestPath(e.path)) << e.path;
            }
        } else {
            bool known = p.error == kNoSerial || p.error == kMalformed ||
                         p.error.compare(0, kUnsafe.size(), kUnsafe) == 0;
            EXPECT_TRUE(known) << p.error;
        }
    }
    EXPECT_GT(accepted, 100u);  // the mutations must not all be refused, or little is exercised
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

namespace {

PatchOffer OfferOf(const std::string& text) {
    return ReadPatchOffer(std::vector<uint8_t>(text.begin(), text.end()));
}

}  // namespace

TEST(PatchOfferMarker, ReadsBlocksAndMinFromTheSerialLineOnly) {
    struct Row {
        const char* text;
        bool offered;
        const char* dir;
        uint64_t minBody;
    };
    const Row rows[] = {
        {"serial 42\n", false, "", 0},
        {"serial 42 blocks=patch min=1048576\n", true, "patch", 1048576},
        {"\r\n\nserial 42 min=0 blocks=p-2\r\n", true, "p-2", 0},
        {"serial 42 blocks=patch min=1048576 future=1 x\n", true, "patch", 1048576},
        {"serial 42 blocks=patch\n", false, "", 0},
        {"serial 42 min=1048576\n", false, "", 0},
        {"serial 42 blocks=Patch min=1\n", false, "", 0},
        {"serial 42 blocks=../x min=1\n", false, "", 0},
        {"serial 42 blocks= min=1\n", false, "", 0},
        {"serial 42 blocks=abcdefghijabcdefghijabcdefghijabc min=1\n", false, "", 0},
        {"serial 42 blocks=abcdefghijabcdefghijabcdefghijab min=1\n", true,
         "abcdefghijabcdefghijabcdefghijab", 1},
        {"serial 42 blocks=patch min=-1\n", false, "", 0},
        {"serial 42 blocks=patch min=1e6\n", false, "", 0},
        {"serial 42 blocks=patch min=99999999999999999999\n", false, "", 0},
        {"serial 42 blocks=patch min=1 min=2\n", false, "", 0},
        {"serial 42 blocks=a blocks=b min=1\n", false, "", 0},
        {"serial 42  blocks=patch min=1\n", false, "", 0},
        {"serial 42 blocks=patch min=1 \n", false, "", 0},
        {"serial 42 blocks=patch\tmin=1\n", false, "", 0},
        {"serial 42blocks=patch min=1\n", false, "", 0},
        {"serial blocks=patch min=1\n", false, "", 0},
        {"serial 42\nserial 43 blocks=patch min=1\n", false, "", 0},
        {"", false, "", 0},
    };
    for (const Row& row : rows) {
        PatchOffer offer = OfferOf(row.text);
        EXPECT_EQ(offer.offered, row.offered) << row.text;
        EXPECT_EQ(offer.dir, row.dir) << row.text;
        EXPECT_EQ(offer.minBody, row.minBody) << row.text;
    }
}

TEST(PatchOfferMarker, TheSerialAndEntriesReadAsWithoutIt) {
    const std::string entries = Line("bin/game.exe", "1048576");
    Parsed plain = Parse("serial 42\n" + entries);
    Parsed marked = Parse("serial 42 blocks=patch min=1048576\n" + entries);
    ASSERT_TRUE(marked.ok) << marked.error;
    EXPECT_EQ(marked.serial, plain.serial);
    ASSERT_EQ(marked.entries.size(), 1u);
    EXPECT_EQ(marked.entries[0].path, "bin/game.exe");
}
