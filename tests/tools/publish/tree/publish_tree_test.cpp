// Swapping a tree in and opening a release's files beneath its folder, tested as functions.
#include "core/fs_util.h"
#include "tool_support.h"
#include "tree/copy_engine.h"
#include "tree/tree_swap.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
