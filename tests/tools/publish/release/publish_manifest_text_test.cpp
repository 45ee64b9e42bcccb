// The manifest text a publish writes, and its serial line with the block-file offer, tested as functions.
#include "core/serial_line.h"
#include "release/publish.h"
#include "update/manifest.h"

#include <gtest/gtest.h>

TEST(PublishManifestText, WritesSerialAndTabSeparatedLines) {
    std::vector<PublishedFile> files = {{"a b.txt", std::string(64, 'a'), 5}, {"z/\xC3\xBC", std::string(64, '0'), 0}};
    EXPECT_EQ(BuildManifestText(7, files), "serial 7\n" + std::string(64, 'a') + "\t5\ta b.txt\n" +
                                               std::string(64, '0') + "\t0\tz/\xC3\xBC\n");
    EXPECT_EQ(BuildManifestText(18446744073709551615ull, {}), "serial 18446744073709551615\n");
    BlocksOffer offer{true, "patch", 1048576};
    EXPECT_EQ(BuildManifestText(42, files, offer).substr(0, 36), "serial 42 blocks=patch min=1048576\n" + std::string(1, 'a'));
}

// The publisher's readers take the serial from the digits and the offer only when both tokens are
// well formed; the updater's parser (the one in the field) reads the digits alone.
TEST(PublishManifestText, SerialLineCarriesTheOfferAndEveryReaderTakesTheDigits) {
    struct Row {
        std::string line;
        bool parses;
        uint64_t serial;
        bool offered;
        std::string dir;
        uint64_t min;
    };
    const Row rows[] = {
        {"serial 42", true, 42, false, "", 0},
        {"serial 42 blocks=patch min=1048576", true, 42, true, "patch", 1048576},
        {"serial 42 min=0 blocks=p-2", true, 42, true, "p-2", 0},
        {"serial 42 blocks=patch min=1048576\r", true, 42, true, "patch", 1048576},
        {"serial 42 blocks=patch min=1048576 future=yes", true, 42, true, "patch", 1048576},
        {"serial 42 blocks=patch", true, 42, false, "", 0},                       // no min=: no offer
        {"serial 42 min=1048576", true, 42, false, "", 0},                        // no blocks=
        {"serial 42 blocks=Patch min=1", true, 42, false, "", 0},                 // upper case
        {"serial 42 blocks=../x min=1", true, 42, false, "", 0},                  // leaves the base
        {"serial 42 blocks=" + std::string(33, 'a') + " min=1", true, 42, false, "", 0},
        {"serial 42 blocks=patch min=1x", true, 42, false, "", 0},
        {"serial 42 blocks=patch min=99999999999999999999", true, 42, false, "", 0},  // beyond 64 bits
        {"serial 42  blocks=patch min=7", true, 42, true, "patch", 7},           // an empty token is skipped
        {"serial 42x", false, 0, false, "", 0},
        {"serial  42", false, 0, false, "", 0},
        {"Serial 42", false, 0, false, "", 0},
        {"serial ", false, 0, false, "", 0},
        {"serial 18446744073709551616", false, 0, false, "", 0},
    };
    for (const Row& row : rows) {
        uint64_t serial = 0;
        BlocksOffer offer;
        EXPECT_EQ(ParseSerialLine(row.line, serial, offer), row.parses) << row.line;
        if (!row.parses) continue;
        EXPECT_EQ(serial, row.serial) << row.line;
        EXPECT_EQ(offer.present, row.offered) << row.line;
        EXPECT_EQ(offer.dir, row.dir) << row.line;
        EXPECT_EQ(offer.min, row.min) << row.line;
        // What every updater in the field reads from the same line.
        std::string text = row.line + "\n" + std::string(64, 'a') + "\t1\tx\n";
        uint64_t updaterSerial = 0;
        std::vector<ManifestEntry> entries;
        std::string error;
        EXPECT_TRUE(ParseManifest(std::vector<uint8_t>(text.begin(), text.end()), updaterSerial, entries, error)) << row.line;
        EXPECT_EQ(updaterSerial, row.serial) << row.line;
    }
    BlocksOffer offer{true, "patch", 1048576};
    uint64_t serial = 0;
    BlocksOffer read;
    ASSERT_TRUE(ParseSerialLine(SerialLineText(18446744073709551615ull, offer), serial, read));
    EXPECT_EQ(serial, 18446744073709551615ull);
    EXPECT_TRUE(read.present && read.dir == "patch" && read.min == 1048576);
    EXPECT_EQ(SerialLineText(5, BlocksOffer()), "serial 5");
}
