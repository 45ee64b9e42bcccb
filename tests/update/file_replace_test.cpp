// The pure rules of file replacement: target paths, the own-executable match, the locked message.
#include <gtest/gtest.h>

#include "base/settings.h"
#include "update/file_replace.h"

namespace {
struct InstallDirScope {
    std::wstring saved = settings.installDir;
    explicit InstallDirScope(const std::wstring& dir) { settings.installDir = dir; }
    ~InstallDirScope() { settings.installDir = saved; }
};
}  // namespace

TEST(TargetPath, JoinsInstallDirAndTurnsEverySlashIntoABackslash) {
    InstallDirScope scope(L"C:/Games/Quillor");
    EXPECT_EQ(TargetPath("data/maps/north.pak"), L"C:\\Games\\Quillor\\data\\maps\\north.pak");
    EXPECT_EQ(TargetPath("game.exe"), L"C:\\Games\\Quillor\\game.exe");
}

TEST(TargetPath, ConvertsUtf8NamesAndKeepsADoubledBackslashOfTheDir) {
    InstallDirScope scope(L"D:\\Quillor\\");
    EXPECT_EQ(TargetPath("data/Gr\xC3\xBC\xC3\x9F" "e.txt"), L"D:\\Quillor\\\\data\\Gr\u00FC\u00DFe.txt");
}

TEST(IsOwnExecutable, FoldsOnlyTheLettersAToZ) {
    const std::wstring exe = L"C:\\Games\\Quillor\\Quillor - Updater.exe";
    EXPECT_TRUE(IsOwnExecutable(exe, exe));
    EXPECT_TRUE(IsOwnExecutable(L"c:\\GAMES\\quillor\\quillor - updater.EXE", exe));
    EXPECT_FALSE(IsOwnExecutable(L"C:\\Games\\Quillor\\Quillor - Updater.exe.old", exe));
    EXPECT_FALSE(IsOwnExecutable(L"C:\\Games\\Quillor\\Quillor - Updater.ex", exe));
    EXPECT_FALSE(IsOwnExecutable(L"C:/Games/Quillor/Quillor - Updater.exe", exe));
    // No folding beyond ASCII: the file system might, but the rule does not.
    EXPECT_FALSE(IsOwnExecutable(L"C:\\Spi\u00C4le\\u.exe", L"C:\\Spi\u00E4le\\u.exe"));
    EXPECT_TRUE(IsOwnExecutable(L"C:\\Spi\u00C4le\\U.exe", L"C:\\Spi\u00C4le\\u.exe"));
}

TEST(LockedFileMessage, NamesPathAndErrorCodeHoweverLongThePath) {
    EXPECT_EQ(LockedFileMessage("data/a.pak", 32),
              "Datei ist gesperrt (l\xC3\xA4uft das Spiel noch?): data/a.pak (Fehler 32)");

    // Far beyond the 200 bytes a fixed buffer would have held.
    std::string path;
    for (int i = 0; i < 300; ++i) path += "verzeichnis/";
    path += "ende.pak";
    std::string message = LockedFileMessage(path, 4294967295UL);
    EXPECT_NE(message.find(path), std::string::npos);
    const std::string tail = " (Fehler 4294967295)";
    ASSERT_GT(message.size(), tail.size());
    EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
}
