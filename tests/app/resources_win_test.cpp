// The resources inside the built exe: manifest, version record, icon and background picture.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "win_test_support.h"

namespace {

struct LoadedExe {
    LoadedExe() {
        module = LoadLibraryExW(ShippedExePath().c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    ~LoadedExe() {
        if (module) FreeLibrary(module);
    }
    std::string Resource(LPCWSTR type, LPCWSTR name) const {
        HRSRC found = FindResourceW(module, name, type);
        if (!found) return std::string();
        HGLOBAL loaded = LoadResource(module, found);
        const char* bytes = static_cast<const char*>(LockResource(loaded));
        return bytes ? std::string(bytes, SizeofResource(module, found)) : std::string();
    }
    HMODULE module = nullptr;
};

// The VS_VERSIONINFO strings are UTF-16 key/value pairs; find the value after a key.
std::wstring VersionString(const std::string& block, const std::wstring& key) {
    std::wstring text(reinterpret_cast<const wchar_t*>(block.data()), block.size() / 2);
    size_t at = text.find(key + L'\0');
    if (at == std::wstring::npos) return std::wstring();
    at += key.size();
    while (at < text.size() && text[at] == L'\0') ++at;
    return std::wstring(text.c_str() + at);
}

TEST(Resources, ManifestNeverElevatesAndNamesTheSupportedSystems) {
    LoadedExe exe;
    ASSERT_NE(exe.module, nullptr);
    std::string manifest = exe.Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    EXPECT_NE(manifest.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos);
    EXPECT_NE(manifest.find("installer detection"), std::string::npos);
    EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
    EXPECT_NE(manifest.find("SMI/2016/WindowsSettings\">true</longPathAware>"), std::string::npos);
    EXPECT_NE(manifest.find("{1f676c76-80e1-4239-95bb-83d0f6d0da78}"), std::string::npos);
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
}

TEST(Resources, VersionRecordCarriesTheFiveStrings) {
    LoadedExe exe;
    std::string block = exe.Resource(MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1));
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(VersionString(block, L"CompanyName"), L"Quillor");
    EXPECT_EQ(VersionString(block, L"ProductName"), L"Quillor");
    EXPECT_EQ(VersionString(block, L"FileDescription"),
              L"Quillor Patcher - aktualisiert den Quillor-Spielclient");
    EXPECT_EQ(VersionString(block, L"InternalName"), L"QuillorPatcher");
    EXPECT_EQ(VersionString(block, L"OriginalFilename"), L"Quillor - Updater.exe");
    // VS_FIXEDFILEINFO follows the "VS_VERSION_INFO" key: file and product version 1.3.0.0.
    size_t fixed = block.find("\xBD\x04\xEF\xFE");
    ASSERT_NE(fixed, std::string::npos);
    const DWORD* info = reinterpret_cast<const DWORD*>(block.data() + fixed);
    EXPECT_EQ(info[2], 0x00010003u);
    EXPECT_EQ(info[3], 0u);
    EXPECT_EQ(info[4], 0x00010003u);
    EXPECT_EQ(info[5], 0u);
}

TEST(Resources, IconGroupOneHoldsOne64PixelImageOf32Bits) {
    LoadedExe exe;
    std::string group = exe.Resource(MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(1));
    ASSERT_EQ(group.size(), 6u + 14u);
    EXPECT_EQ(group[4], 1);                       // one image
    EXPECT_EQ(static_cast<unsigned char>(group[6]), 64u);  // 64 wide
    EXPECT_EQ(static_cast<unsigned char>(group[7]), 64u);  // 64 high
    EXPECT_EQ(group[12], 32);                     // bits per pixel
}

TEST(Resources, BuiltInPictureIsA964By474RgbPng) {
    LoadedExe exe;
    std::string png = exe.Resource(MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(101));
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    auto be32 = [&](size_t at) {
        return (unsigned(uint8_t(png[at])) << 24) | (unsigned(uint8_t(png[at + 1])) << 16) |
               (unsigned(uint8_t(png[at + 2])) << 8) | unsigned(uint8_t(png[at + 3]));
    };
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(be32(16), 964u);
    EXPECT_EQ(be32(20), 474u);
    EXPECT_EQ(png[24], 8);   // bits per channel
    EXPECT_EQ(png[25], 2);   // RGB, no alpha
    EXPECT_EQ(png[28], 0);   // not interlaced
}

}  // namespace
