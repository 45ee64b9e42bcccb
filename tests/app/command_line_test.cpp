// The two-pass command-line grammar: exact switches, values, and what each pass skips.
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "base/log.h"
#include "base/settings.h"

namespace {

UpdaterSettings Parse(std::vector<std::wstring> args) {
    args.insert(args.begin(), L"C:\\Games\\Quillor\\Quillor - Updater.exe");
    UpdaterSettings result = DefaultSettings();
    result.installDir = L"C:\\Games\\Quillor";
    ApplyDirPass(args, result);
    ApplySwitchPass(args, result);
    return result;
}

TEST(CommandLine, NoArgumentsKeepsDefaults) {
    UpdaterSettings s = Parse({});
    EXPECT_EQ(s.installDir, L"C:\\Games\\Quillor");
    EXPECT_FALSE(s.silent);
    EXPECT_FALSE(s.noLaunch);
    EXPECT_EQ(s.baseUrl, DefaultSettings().baseUrl);
}

TEST(CommandLine, SwitchesMatchExactlyAndCaseSensitively) {
    for (const wchar_t* notASwitch : {L"/SILENT", L"-silent", L"/Silent", L"/silent ", L"/sil",
                                      L"silent", L"/silent=1", L"--silent"}) {
        EXPECT_FALSE(Parse({notASwitch}).silent) << ToUtf8(notASwitch);
    }
    EXPECT_TRUE(Parse({L"/silent"}).silent);
    EXPECT_TRUE(Parse({L"/nolaunch"}).noLaunch);
    EXPECT_EQ(Parse({L"/url=http://x"}).baseUrl, DefaultSettings().baseUrl);
    EXPECT_EQ(Parse({L"/DIR", L"D:\\x"}).installDir, L"C:\\Games\\Quillor");
}

TEST(CommandLine, ValueSwitchInLastPlaceIsIgnored) {
    EXPECT_EQ(Parse({L"/dir"}).installDir, L"C:\\Games\\Quillor");
    EXPECT_EQ(Parse({L"/url"}).baseUrl, DefaultSettings().baseUrl);
    EXPECT_EQ(Parse({L"/dir", L"D:\\One", L"/dir"}).installDir, L"D:\\One");
}

TEST(CommandLine, DirValueIsAlsoSeenByTheSwitchPass) {
    UpdaterSettings s = Parse({L"/dir", L"/silent"});
    EXPECT_EQ(s.installDir, L"/silent");
    EXPECT_TRUE(s.silent);
}

TEST(CommandLine, UrlValueIsAlsoSeenByTheDirPass) {
    UpdaterSettings s = Parse({L"/url", L"/dir", L"D:\\Game"});
    EXPECT_EQ(s.installDir, L"D:\\Game");
    EXPECT_EQ(s.baseUrl, "/dir");  // normalisation later puts http:// in front
}

TEST(CommandLine, RepeatedSwitchesLastValueWins) {
    UpdaterSettings s = Parse({L"/dir", L"A", L"/url", L"http://one/", L"/dir", L"B", L"/silent",
                               L"/url", L"http://two///", L"/silent"});
    EXPECT_EQ(s.installDir, L"B");
    EXPECT_EQ(s.baseUrl, "http://two");
    EXPECT_TRUE(s.silent);
}

TEST(CommandLine, UrlValueIsUtf8WithoutTrailingSlashes) {
    EXPECT_EQ(Parse({L"/url", L"http://h\u00f6st:81/p//"}).baseUrl, "http://h\xc3\xb6st:81/p");
    EXPECT_EQ(Parse({L"/url", L"/"}).baseUrl, "");
}

TEST(CommandLine, ProgramPathIsNeverASwitch) {
    std::vector<std::wstring> args = {L"/silent"};
    UpdaterSettings s = DefaultSettings();
    ApplySwitchPass(args, s);
    EXPECT_FALSE(s.silent);
}

}  // namespace
