// The "\\?\" form of long paths: when it is needed, its prefix, and the normalisation it skips.
#include "base/long_path.h"

#include <gtest/gtest.h>

TEST(LongPath, ExtendedFormOnlyFromTheLimitOnAndNormalisedAsWin32Would) {
    const std::wstring name259(256, L'a');  // "C:\" + 256 = 259 characters, the longest plain path
    EXPECT_FALSE(NeedsExtendedForm(L"C:\\" + name259, kMaxPathLength));
    EXPECT_TRUE(NeedsExtendedForm(L"C:\\" + name259 + L"b", kMaxPathLength));
    EXPECT_TRUE(NeedsExtendedForm(std::wstring(248, L'd'), kMaxDirectoryPathLength));
    EXPECT_FALSE(NeedsExtendedForm(std::wstring(247, L'd'), kMaxDirectoryPathLength));

    const struct {
        const wchar_t* given;
        const wchar_t* extended;
    } cases[] = {
        {L"C:\\Games\\Quillor\\data\\a.pak", L"\\\\?\\C:\\Games\\Quillor\\data\\a.pak"},
        {L"z:/tmp/install/a.pak.part", L"\\\\?\\z:\\tmp\\install\\a.pak.part"},
        // The installation folder given with a trailing backslash doubles the one before a name.
        {L"D:\\Quillor\\\\data\\.\\maps\\..\\b.pak", L"\\\\?\\D:\\Quillor\\data\\b.pak"},
        {L"C:\\..\\..\\x", L"\\\\?\\C:\\x"},
        {L"C:\\Games\\", L"\\\\?\\C:\\Games\\"},
        {L"\\\\server\\share\\Quillor\\..\\..\\a.pak", L"\\\\?\\UNC\\server\\share\\a.pak"},
        {L"\\\\?\\C:\\already\\..\\as\\is", L"\\\\?\\C:\\already\\..\\as\\is"},
        {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
        {L"relative\\a.pak", L"relative\\a.pak"},
        {L"C:relative", L"C:relative"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtendedLengthPath(c.given), c.extended) << std::wstring(c.given).size();
        const bool prefixed = std::wstring(c.extended).rfind(L"\\\\?\\", 0) == 0;
        if (prefixed && std::wstring(c.given) != c.extended) {
            EXPECT_EQ(ExtendedLengthPath(WithoutExtendedPrefix(c.extended)), c.extended) << "round trip";
        }
    }
    EXPECT_EQ(WithoutExtendedPrefix(L"\\\\?\\UNC\\server\\share\\a"), L"\\\\server\\share\\a");
    EXPECT_EQ(WithoutExtendedPrefix(L"C:\\plain"), L"C:\\plain");
}
