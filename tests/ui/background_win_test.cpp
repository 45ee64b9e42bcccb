// Finding, decoding and scaling the background picture, with GDI+ started in the test.
#include <windows.h>
#include <objidl.h>

#include <algorithm>
using std::max;
using std::min;
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/settings.h"
#include "ui/background.h"
#include "ui/geometry.h"
#include "ui/window_state.h"
#include "win_test_support.h"

namespace {

bool EncoderFor(const wchar_t* mime, CLSID& clsid) {
    UINT count = 0, bytes = 0;
    Gdiplus::GetImageEncodersSize(&count, &bytes);
    std::vector<unsigned char> buffer(bytes);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (bytes == 0 || Gdiplus::GetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) return false;
    for (UINT i = 0; i < count; ++i) {
        if (wcscmp(codecs[i].MimeType, mime) == 0) {
            clsid = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

// Writes a one-colour picture of the given size as PNG or JPEG.
bool WritePicture(const std::wstring& path, int width, int height, const wchar_t* mime,
                  Gdiplus::ARGB colour = 0xFF3060C0) {
    Gdiplus::Bitmap bitmap(width, height, PixelFormat24bppRGB);
    {
        Gdiplus::Graphics graphics(&bitmap);
        graphics.Clear(Gdiplus::Color(colour));
    }
    CLSID clsid;
    return EncoderFor(mime, clsid) && bitmap.Save(path.c_str(), &clsid, nullptr) == Gdiplus::Ok;
}

struct PictureSize {
    UINT width = 0, height = 0;
    bool operator==(const PictureSize& o) const { return width == o.width && height == o.height; }
};

std::ostream& operator<<(std::ostream& out, const PictureSize& s) {
    return out << s.width << "x" << s.height;
}

class BackgroundPicture : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr);
    }
    static void TearDownTestSuite() { Gdiplus::GdiplusShutdown(gdiplusToken); }

    void SetUp() override {
        savedInstallDir = settings.installDir;
        settings.installDir = dir.path;
        updater = LoadLibraryExW(ShippedExePath().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(updater, nullptr) << "the updater exe must be built";
    }
    void TearDown() override {
        settings.installDir = savedInstallDir;
        FreeLibrary(updater);
        delete windowState.backgroundBitmap;
        windowState = WindowState();
    }

    // Loads the picture as the window run does and reports its size (0x0 for none).
    PictureSize Load() {
        std::unique_ptr<Gdiplus::Bitmap> picture(LoadBackgroundPictureFrom(updater));
        if (!picture) return {};
        return {picture->GetWidth(), picture->GetHeight()};
    }

    static ULONG_PTR gdiplusToken;
    ScratchDir dir;
    std::wstring savedInstallDir;
    HMODULE updater = nullptr;
};
ULONG_PTR BackgroundPicture::gdiplusToken = 0;

const PictureSize kBuiltIn{964, 474};

}  // namespace

TEST_F(BackgroundPicture, BuiltInPictureWithoutFilesIsAnIndependentCopy) {
    std::unique_ptr<Gdiplus::Bitmap> picture(LoadBackgroundPictureFrom(updater));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->GetWidth(), 964u);
    EXPECT_EQ(picture->GetHeight(), 474u);
    EXPECT_EQ(picture->GetPixelFormat(), PixelFormat32bppPARGB);
    // The built-in picture is dark, not a blank fill: its pixels differ and are opaque.
    Gdiplus::Color a, b;
    picture->GetPixel(10, 10, &a);
    picture->GetPixel(482, 280, &b);
    EXPECT_EQ(a.GetAlpha(), 255);
    EXPECT_NE(a.GetValue(), b.GetValue());
}

TEST_F(BackgroundPicture, ModuleWithoutBuiltInPictureGivesNone) {
    // The test program carries no RCDATA 101.
    std::unique_ptr<Gdiplus::Bitmap> picture(LoadBackgroundPicture());
    EXPECT_FALSE(picture);
}

TEST_F(BackgroundPicture, CandidatesInOrderAndByContent) {
    ASSERT_TRUE(WritePicture(dir / L"updater_bg.jpg", 300, 100, L"image/jpeg"));
    EXPECT_EQ(Load(), (PictureSize{300, 100})) << "JPEG alone";
    ASSERT_TRUE(WritePicture(dir / L"updater_bg.png", 320, 200, L"image/png"));
    EXPECT_EQ(Load(), (PictureSize{320, 200})) << "the PNG name wins";
    ASSERT_TRUE(WriteWholeFile(dir / L"updater_bg.png", "not a picture at all"));
    EXPECT_EQ(Load(), (PictureSize{300, 100})) << "undecodable PNG beside a JPEG";
    ASSERT_TRUE(WriteWholeFile(dir / L"updater_bg.png", ""));
    EXPECT_EQ(Load(), (PictureSize{300, 100})) << "empty PNG beside a JPEG";
    ASSERT_TRUE(WritePicture(dir / L"updater_bg.png", 200, 150, L"image/jpeg"));
    EXPECT_EQ(Load(), (PictureSize{200, 150})) << "JPEG data under the PNG name";
    ASSERT_TRUE(DeleteFileW((dir / L"updater_bg.png").c_str()));
    ASSERT_TRUE(WritePicture(dir / L"updater_bg.jpg", 250, 125, L"image/png"));
    EXPECT_EQ(Load(), (PictureSize{250, 125})) << "PNG data under the JPEG name";
    ASSERT_TRUE(WriteWholeFile(dir / L"updater_bg.jpg", "\xFF\xD8\xFF broken"));
    EXPECT_EQ(Load(), kBuiltIn) << "nothing decodable: the built-in picture";
}

TEST_F(BackgroundPicture, DirectoryUnderThePictureNameIsSkipped) {
    ASSERT_TRUE(CreateDirectoryW((dir / L"updater_bg.png").c_str(), nullptr));
    EXPECT_EQ(Load(), kBuiltIn);
    ASSERT_TRUE(WritePicture(dir / L"updater_bg.jpg", 300, 100, L"image/jpeg"));
    EXPECT_EQ(Load(), (PictureSize{300, 100}));
}

TEST_F(BackgroundPicture, LargePictureIsShrunkIntoTheWindowAsAWhole) {
    // Left half red, right half green: the scaled bitmap must keep both halves.
    {
        Gdiplus::Bitmap bitmap(1920, 1080, PixelFormat24bppRGB);
        Gdiplus::Graphics graphics(&bitmap);
        graphics.Clear(Gdiplus::Color(0xFFC00000));
        Gdiplus::SolidBrush green{Gdiplus::Color(0xFF00C000)};
        graphics.FillRectangle(&green, 960, 0, 960, 1080);
        CLSID png;
        ASSERT_TRUE(EncoderFor(L"image/png", png));
        ASSERT_EQ(bitmap.Save((dir / L"updater_bg.png").c_str(), &png, nullptr), Gdiplus::Ok);
    }
    Gdiplus::Bitmap* picture = LoadBackgroundPictureFrom(updater);
    ASSERT_NE(picture, nullptr);
    WindowGeometry g =
        ComputeWindowGeometry(true, picture->GetWidth(), picture->GetHeight(), 1920, 1080);
    windowState.windowWidth = g.width;
    windowState.windowHeight = g.height;
    BuildBackgroundBitmap(picture);
    Gdiplus::Bitmap* background = windowState.backgroundBitmap;
    ASSERT_NE(background, nullptr);
    EXPECT_EQ(background->GetWidth(), 1728u);
    EXPECT_EQ(background->GetHeight(), 972u);
    EXPECT_EQ(background->GetPixelFormat(), PixelFormat32bppPARGB);
    Gdiplus::Color left, right, corner;
    background->GetPixel(100, 486, &left);
    background->GetPixel(1627, 486, &right);
    background->GetPixel(1727, 971, &corner);
    EXPECT_GT(left.GetRed(), 150);
    EXPECT_LT(left.GetGreen(), 40);
    EXPECT_GT(right.GetGreen(), 150);
    EXPECT_GT(corner.GetGreen(), 150) << "no bars: the picture reaches the far corner";
    // The picture was freed, so its file is no longer held open.
    EXPECT_TRUE(DeleteFileW((dir / L"updater_bg.png").c_str()));
}

TEST_F(BackgroundPicture, WithoutPictureTheBackgroundIsTheDarkFill) {
    windowState.windowWidth = 736;
    windowState.windowHeight = 361;
    BuildBackgroundBitmap(nullptr);
    ASSERT_NE(windowState.backgroundBitmap, nullptr);
    EXPECT_EQ(windowState.backgroundBitmap->GetWidth(), 736u);
    EXPECT_EQ(windowState.backgroundBitmap->GetHeight(), 361u);
    Gdiplus::Color pixel;
    windowState.backgroundBitmap->GetPixel(735, 360, &pixel);
    EXPECT_EQ(pixel.GetValue(), 0xFF0E0907u);
}

TEST_F(BackgroundPicture, WindowWithoutPixelsLeavesNoBackground) {
    windowState.windowWidth = 0;
    windowState.windowHeight = 0;
    BuildBackgroundBitmap(nullptr);
    EXPECT_EQ(windowState.backgroundBitmap, nullptr);
}
