// The check phase's rules: what counts as up to date, how the plan adds up, the status texts.
#include "update/update_plan.h"

#include <gtest/gtest.h>

namespace {

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

ManifestEntry Entry(uint64_t size, const std::string& digest = kDigest) {
    ManifestEntry entry;
    entry.sha256 = digest;
    entry.size = size;
    entry.path = "data/a.pak";
    return entry;
}

}  // namespace

TEST(UpdatePlan, OnlyASameSizeSameDigestReadableFileIsUpToDate) {
    EXPECT_TRUE(IsUpToDate(Entry(4), true, kDigest, 4));
    EXPECT_FALSE(IsUpToDate(Entry(4), false, kDigest, 4)) << "missing or unreadable file";
    EXPECT_FALSE(IsUpToDate(Entry(4), true, kDigest, 5)) << "other size";
    std::string otherDigest = kDigest;
    otherDigest[0] = 'a';
    EXPECT_FALSE(IsUpToDate(Entry(4), true, otherDigest, 4)) << "right size, other digest";
}

TEST(UpdatePlan, UpperCaseManifestDigestNeverMatches) {
    std::string upper = kDigest;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 32 : c);
    EXPECT_FALSE(IsUpToDate(Entry(4, upper), true, kDigest, 4));
}

TEST(UpdatePlan, TotalAddsManifestSizesAndKeepsManifestOrder) {
    UpdatePlan plan;
    AddToPlan(plan, 1, 100);
    AddToPlan(plan, 3, 0);
    AddToPlan(plan, 4, 5000000000ull);
    EXPECT_EQ(plan.entryIndices, (std::vector<uint32_t>{1, 3, 4}));
    EXPECT_EQ(plan.totalBytes, 5000000100ull);
}

TEST(UpdatePlan, TotalSaturatesInsteadOfWrappingToZero) {
    UpdatePlan plan;
    AddToPlan(plan, 0, UINT64_MAX);
    AddToPlan(plan, 1, 1);
    EXPECT_EQ(plan.totalBytes, UINT64_MAX);
    EXPECT_EQ(SaturatingAdd(UINT64_MAX - 1, 1), UINT64_MAX);
    EXPECT_EQ(SaturatingAdd(2, 3), 5u);
}

TEST(UpdatePlan, StatusTextsAndFileUrl) {
    EXPECT_EQ(DownloadStatusText(3, 5), L"Lade Update 3 von 5 ...");
    EXPECT_EQ(DownloadStatusText(4294967295u, 4294967295u),
              L"Lade Update 4294967295 von 4294967295 ...");
    EXPECT_EQ(CheckStatusText(), L"Pr\u00fcfe Dateien ...");
    EXPECT_EQ(FileUrl("http://127.0.0.1:8080", "data/Erste%20Karte.pak"),
              "http://127.0.0.1:8080/files/data/Erste%20Karte.pak");
}

TEST(UpdatePlan, UpdaterWorkingFilesAreRecognisedAsWindowsResolvesNames) {
    const std::string dir = "C:\\Spiele\\Quillor";
    const std::string exe = "C:\\Spiele\\Quillor\\Quillor - Updater.exe";
    for (const char* path : {"updater.state", "UPDATER.State", "updater.log", "Updater.LOG",
                             "updater.state.new", "./updater.state", "updater.state. .",
                             "updater.\xC5\xBFtate",  // long s
                             "updater.log/inside.txt", "data/map.pak.part", "x.PART", "a.part.",
                             "game.pak.part/readme.txt", "a/B.Part /c/d.txt",  // folders too
                             "Quillor - Updater.exe.old", "quillor - updater.EXE.OLD",
                             "Quillor - Updater.exe.old/x"}) {
        EXPECT_TRUE(IsUpdaterWorkingFile(path, dir, exe)) << path;
    }
    for (const char* path : {"updater.cfg", "data/updater.state", "updater.state2", "part",
                             "a.partx/b.txt", "Quillor - Updater.exe", "game.exe.old",
                             "sub/Quillor - Updater.exe.old"}) {
        EXPECT_FALSE(IsUpdaterWorkingFile(path, dir, exe)) << path;
    }
    // The running updater's ".old" name counts only where the updater really lives.
    EXPECT_TRUE(IsUpdaterWorkingFile("bin/Up.exe.old", "Z:/inst/", "z:\\INST\\bin\\up.exe"));
    EXPECT_FALSE(IsUpdaterWorkingFile("Quillor - Updater.exe.old", dir, "D:\\other\\Quillor - Updater.exe"));
    // Letter case beyond Latin and basic Greek and Cyrillic, as NTFS upcases it: micro sign and
    // capital mu, accented Greek, fullwidth, Armenian; sharp s and the Kelvin sign stay apart.
    const std::string greek = "C:\\g\\\xC2\xB5" "Patch.exe";
    EXPECT_TRUE(IsUpdaterWorkingFile("\xCE\x9C" "PATCH.EXE.OLD", "C:\\g", greek));
    EXPECT_TRUE(IsUpdaterWorkingFile("\xCE\x86\xCE\x9B\xCE\xA6\xCE\x91.exe.old", "C:\\g",
                                     "C:\\g\\\xCE\xAC\xCE\xBB\xCF\x86\xCE\xB1.exe"));
    EXPECT_TRUE(IsUpdaterWorkingFile("\xEF\xBC\xA1.exe.old", "C:\\g", "C:\\g\\\xEF\xBD\x81.exe"));
    EXPECT_TRUE(IsUpdaterWorkingFile("\xD4\xB1.exe.old", "C:\\g", "C:\\g\\\xD5\xA1.exe"));
    EXPECT_FALSE(IsUpdaterWorkingFile("\xE1\xBA\x9E.exe.old", "C:\\g", "C:\\g\\\xC3\x9F.exe"));
    EXPECT_FALSE(IsUpdaterWorkingFile("k.exe.old", "C:\\g", "C:\\g\\\xE2\x84\xAA.exe"));
}

// What the file system resolved an entry to (a short name's long form) is checked as a full path.
TEST(UpdatePlan, ResolvedTargetsAreCheckedBelowTheInstallationAndAgainstTheOldCopy) {
    const OwnFileNames own = OwnFileNamesOf("Z:\\inst", "Z:\\inst\\Quillor - Updater.exe");
    for (const char* full : {"Z:\\inst\\updater.state", "z:\\INST\\Sub.PART\\x",
                             "Z:\\inst\\Quillor - Updater.exe.old"}) {
        EXPECT_TRUE(IsUpdaterWorkingPath(full, own)) << full;
    }
    for (const char* full : {"Z:\\inst\\data\\updater.state", "Z:\\other\\updater.state",
                             "Z:\\inst.part\\a", "Z:\\inst\\UPDA~5CR.STA"}) {
        EXPECT_FALSE(IsUpdaterWorkingPath(full, own)) << full;
    }
    EXPECT_EQ(WindowsRelativePath("./a//UPDA~5CR.STA. /b. "), "a\\UPDA~5CR.STA\\b");
}
