// The manifest text a publish writes, tested as a function.
#include "release/publish.h"

#include <gtest/gtest.h>

TEST(PublishManifestText, WritesSerialAndTabSeparatedLines) {
    std::vector<PublishedFile> files = {{"a b.txt", std::string(64, 'a'), 5}, {"z/\xC3\xBC", std::string(64, '0'), 0}};
    EXPECT_EQ(BuildManifestText(7, files), "serial 7\n" + std::string(64, 'a') + "\t5\ta b.txt\n" +
                                               std::string(64, '0') + "\t0\tz/\xC3\xBC\n");
    EXPECT_EQ(BuildManifestText(18446744073709551615ull, {}), "serial 18446744073709551615\n");
}
