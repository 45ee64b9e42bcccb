// updater.cfg lines, the layer order of the base URL, and its normalisation.
#include <gtest/gtest.h>

#include "base/log.h"
#include "base/settings.h"

namespace {

class SettingsLines : public ::testing::Test {
protected:
    void SetUp() override { settings = DefaultSettings(); }
    void TearDown() override { settings = DefaultSettings(); }
};

TEST_F(SettingsLines, UrlLoosesTrailingSlashesAndLineEnd) {
    ApplySettingsLine("url=http://patch.example.com:81/live///\r\n");
    EXPECT_EQ(settings.baseUrl, "http://patch.example.com:81/live");
    ApplySettingsLine("url=http://a/b  \r \n");
    EXPECT_EQ(settings.baseUrl, "http://a/b");
}

TEST_F(SettingsLines, KeysAreExactAtTheStartOfTheLine) {
    const std::string original = settings.baseUrl;
    for (const char* line : {"URL=http://x\n", " url=http://x\n", "url =http://x\n", "#url=x\n",
                             "\xEF\xBB\xBFurl=http://x\n", "Game=x.exe\n", "game =x.exe\n"}) {
        ApplySettingsLine(line);
        EXPECT_EQ(settings.baseUrl, original) << line;
        EXPECT_EQ(settings.gameExe, L"Quillor - Launch.exe") << line;
    }
}

TEST_F(SettingsLines, EmptyValuesChangeNothing) {
    ApplySettingsLine("url=\r\n");
    ApplySettingsLine("game=   \n");
    EXPECT_EQ(settings.baseUrl, DefaultSettings().baseUrl);
    EXPECT_EQ(settings.gameExe, L"Quillor - Launch.exe");
}

TEST_F(SettingsLines, TabsAndLeadingBlanksStayInTheValue) {
    ApplySettingsLine("game=Spiel.exe\t\n");
    EXPECT_EQ(settings.gameExe, L"Spiel.exe\t");
    ApplySettingsLine("url=  http://x\n");
    EXPECT_EQ(settings.baseUrl, "  http://x");
    NormalizeBaseUrl();
    EXPECT_EQ(settings.baseUrl, "http://x");
}

TEST_F(SettingsLines, GameValueIsUtf8AndLaterLineWins) {
    ApplySettingsLine("game=first.exe\n");
    ApplySettingsLine("game=Gr\xc3\xbc" "\xc3\x9f" "e.exe\n");
    EXPECT_EQ(settings.gameExe, L"Gr\u00fc\u00dfe.exe");
}

TEST_F(SettingsLines, NulCutsTheLine) {
    ApplySettingsLine(std::string("game=a.exe\0tail\n", 16));
    EXPECT_EQ(settings.gameExe, L"a.exe");
}

TEST_F(SettingsLines, NormalisationAddsSchemeOnlyWhenMissing) {
    settings.baseUrl = "patch.example.com:8080";
    NormalizeBaseUrl();
    EXPECT_EQ(settings.baseUrl, "http://patch.example.com:8080");
    settings.baseUrl = "ftp://x/";
    NormalizeBaseUrl();
    EXPECT_EQ(settings.baseUrl, "ftp://x/");  // only "url=" and "/url" strip slashes
    settings.baseUrl = "";
    NormalizeBaseUrl();
    EXPECT_EQ(settings.baseUrl, "http://");
    settings.baseUrl = " \t://";
    NormalizeBaseUrl();
    EXPECT_EQ(settings.baseUrl, "://");
}

TEST_F(SettingsLines, UrlOfOnlySlashesEndsAsBareScheme) {
    ApplySettingsLine("url=///\n");
    EXPECT_EQ(settings.baseUrl, "");
    NormalizeBaseUrl();
    EXPECT_EQ(settings.baseUrl, "http://");
}

TEST(Settings, DefaultBaseUrlIsPlainHttpOnPort8080) {
    std::string url = DefaultSettings().baseUrl;
    EXPECT_EQ(url.rfind("http://", 0), 0u);
    EXPECT_EQ(url.substr(url.size() - 5), ":8080");
    EXPECT_EQ(DefaultSettings().gameExe, L"Quillor - Launch.exe");
}

}  // namespace
