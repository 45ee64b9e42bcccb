// The development server's request-target rules, tested as functions.
#include "serve/request_path.h"

#include <gtest/gtest.h>

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
