// The log file (exclusive per line, cut at 1023 bytes) and the UTF-8 conversions.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/log.h"
#include "base/settings.h"
#include "win_test_support.h"

namespace {

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        settings = DefaultSettings();
        settings.installDir = dir.path;
        settings.logPath = dir / L"updater.log";
    }
    void TearDown() override { settings = DefaultSettings(); }
    std::string Log() {
        std::string text;
        ReadWholeFile(settings.logPath, text);
        return text;
    }
    ScratchDir dir;
};

// "DD.MM.YYYY hh:mm:ss  " is 21 bytes.
constexpr size_t kStamp = 21;

TEST_F(LogFile, LinesAreStampedAndAppended) {
    WriteLog("update start, server %s, dir %s", "http://x", "C:\\y");
    WriteLog("%u of %u files need an update (%llu bytes)", 2u, 5u, 123ull);
    std::string log = Log();
    size_t first = log.find("\r\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.substr(kStamp, first - kStamp), "update start, server http://x, dir C:\\y");
    EXPECT_EQ(log.substr(first + 2 + kStamp), "2 of 5 files need an update (123 bytes)\r\n");
    EXPECT_EQ(log[2], '.');
    EXPECT_EQ(log.substr(19, 2), "  ");
}

TEST_F(LogFile, MessageIsCutAt1023Bytes) {
    std::string exact(1023, 'a');
    std::string longer(1024, 'b');
    WriteLog("%s", exact.c_str());
    WriteLog("%s", longer.c_str());
    std::string log = Log();
    EXPECT_EQ(log.size(), 2 * (kStamp + 1023 + 2));
    EXPECT_NE(log.find(exact + "\r\n"), std::string::npos);
    EXPECT_NE(log.find(std::string(1023, 'b') + "\r\n"), std::string::npos);
}

TEST_F(LogFile, ConcurrentOpenerDropsTheLineInsteadOfInterleaving) {
    WriteLog("first");
    HANDLE holder = CreateFileW(settings.logPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    WriteLog("dropped");
    CloseHandle(holder);
    WriteLog("third");
    std::string log = Log();
    EXPECT_EQ(log.find("dropped"), std::string::npos);
    EXPECT_NE(log.find("first\r\n"), std::string::npos);
    EXPECT_NE(log.find("third\r\n"), std::string::npos);
}

TEST_F(LogFile, MissingDirectoryDropsLinesSilently) {
    settings.logPath = dir / L"missing\\updater.log";
    WriteLog("nowhere");
    EXPECT_FALSE(FileExists(settings.logPath));
}

TEST(TextConversion, RoundTripsUmlautsAndEmptyStrings) {
    EXPECT_EQ(ToWide("f\xc3\xbcr"), L"f\u00fcr");
    EXPECT_EQ(ToUtf8(L"f\u00fcr"), "f\xc3\xbcr");
    EXPECT_EQ(ToUtf8(L""), "");
    EXPECT_EQ(ToWide(""), L"");
    EXPECT_EQ(ToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
}

TEST(TextConversion, InvalidInputBecomesReplacementCharacters) {
    EXPECT_EQ(ToWide("a\xff" "b"), L"a\ufffdb");
    EXPECT_EQ(ToWide("\xc3"), L"\ufffd");
    EXPECT_EQ(ToUtf8(std::wstring(1, wchar_t(0xD800))), "\xef\xbf\xbd");
}

}  // namespace
