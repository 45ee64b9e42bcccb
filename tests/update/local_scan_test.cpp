// Tests of the installation scan's rules: which unnamed files may hold a moved file, which partials go.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/local_scan.h"

namespace {

Manifest Release() {
    Manifest manifest;
    manifest.entries = {{std::string(64, 'a'), 500, "data/Pack.pak"},
                        {std::string(64, 'b'), 700, "data/new.pak"},
                        {std::string(64, 'c'), 900, "game.exe"},
                        {std::string(64, 'd'), 0, "empty.txt"}};
    return manifest;
}

}  // namespace

TEST(LocalScan, RolesOfFilesFoundInTheInstallation) {
    // data/Pack.pak and data/new.pak are planned; new.pak and empty.txt have no local bytes.
    const LocalScanRules rules = MakeLocalScanRules(Release(), {0, 1, 3}, {1, 3});
    struct Row {
        const char* path;
        uint64_t size;
        LocalFileRole role;
    } rows[] = {
        {"old/pack-v1.pak", 700, LocalFileRole::Source},  // the size of a file with no local bytes
        {"old\\pack-v1.pak", 700, LocalFileRole::Source},
        {"old/pack-v1.pak", 500, LocalFileRole::Ignore},  // Pack.pak is installed: it gets patched
        {"old/other.pak", 701, LocalFileRole::Ignore},
        {"notes.txt", 0, LocalFileRole::Ignore},  // an empty file needs no source
        {"DATA\\NEW.PAK", 700, LocalFileRole::Ignore},  // a manifest path, however spelled
        {"game.exe", 700, LocalFileRole::Ignore},
        {"updater.log", 700, LocalFileRole::Ignore},
        {"updater.state.new", 700, LocalFileRole::Ignore},
        {"data/Pack.pak.part", 3, LocalFileRole::Ignore},  // its file is planned: resumed
        {"Data/PACK.PAK.PART", 3, LocalFileRole::Ignore},
        {"game.exe.part", 3, LocalFileRole::UnusedPartial},   // up to date
        {"gone/level.pak.part", 3, LocalFileRole::UnusedPartial},  // left the manifest
        {"gone. /level.pak.part", 3, LocalFileRole::UnusedPartial},
        {"x.part/level.pak.part", 3, LocalFileRole::Ignore},  // not beside a target of ours
        {".part", 3, LocalFileRole::Ignore},
        {"data/.part", 3, LocalFileRole::Ignore},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(RoleOfLocalFile(rules, row.path, row.size), row.role);
    }
}

TEST(LocalScan, NameKeysFollowWindowsNames) {
    EXPECT_EQ(LocalNameKey("Data/Pack.pak"), LocalNameKey("data\\PACK.PAK"));
    EXPECT_EQ(LocalNameKey("data/./pack.pak. "), LocalNameKey("data/pack.pak"));
    EXPECT_EQ(LocalNameKey("\xC3\x84rger.pak"), LocalNameKey("\xC3\xA4rger.pak"));  // Ä and ä
    EXPECT_NE(LocalNameKey("data/pack.pak"), LocalNameKey("datapack.pak"));
    EXPECT_NE(LocalNameKey("a/b"), LocalNameKey("a/b/c"));
}

TEST(LocalScan, OnlyPartialsAndWantedSizesAreLookedAt) {
    const LocalScanRules none = MakeLocalScanRules(Release(), {0}, {});
    EXPECT_TRUE(none.named.empty());  // nothing wanted: no name needs a key
    EXPECT_FALSE(MayMatterToLocalScan(none, false, 700));
    EXPECT_TRUE(MayMatterToLocalScan(none, true, 700));
    const LocalScanRules some = MakeLocalScanRules(Release(), {0, 1}, {1});
    EXPECT_EQ(some.named.size(), 4u);
    EXPECT_TRUE(MayMatterToLocalScan(some, false, 700));
    EXPECT_FALSE(MayMatterToLocalScan(some, false, 500));
}
