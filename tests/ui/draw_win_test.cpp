// Tests for the drawing primitives: button colours, label fallback and ellipsis, ornaments, icons.
#include <windows.h>

#include <algorithm>
using std::max;
using std::min;
#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "ui/draw.h"
#include "ui/window_state.h"

using namespace Gdiplus;

namespace {

class DrawTest : public ::testing::Test {
protected:
    void SetUp() override {
        static ULONG_PTR token = 0;
        GdiplusStartupInput input;
        if (!token) {
            ASSERT_EQ(Ok, GdiplusStartup(&token, &input, nullptr));
        }
        windowState.uiScale = 1.0f;
        canvas.reset(new Bitmap(200, 120, PixelFormat32bppPARGB));
        graphics.reset(new Graphics(canvas.get()));
        graphics->SetSmoothingMode(SmoothingModeAntiAlias);
        graphics->SetTextRenderingHint(TextRenderingHintClearTypeGridFit);
        graphics->Clear(Color(0xFF000000));
    }
    void TearDown() override { windowState = WindowState(); }
    uint32_t At(int x, int y) {
        Color c;
        canvas->GetPixel(x, y, &c);
        return c.GetValue();
    }
    // Counts pixels whose colour is not the black canvas in the box.
    int Painted(int x0, int y0, int x1, int y1) {
        int count = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) count += At(x, y) != 0xFF000000;
        return count;
    }
    std::unique_ptr<Bitmap> canvas;
    std::unique_ptr<Graphics> graphics;
};

TEST_F(DrawTest, ButtonOutlineIsTwoPixelsWideAtScaleOne) {
    DrawButton(*graphics, {10, 10, 168, 30}, L"Schlie\u00DFen", false);
    // Pen 1.5 s + 0.5 = 2 px centred on x 10: pixels 9 and 10 are outline, 8 and 11 are not.
    EXPECT_EQ(0xFFAA823Eu, At(9, 25));
    EXPECT_EQ(0xFFAA823Eu, At(10, 25));
    EXPECT_EQ(0xFF000000u, At(8, 25));
    EXPECT_NE(0xFFAA823Eu, At(11, 25));
    EXPECT_EQ(0xFFAA823Eu, At(90, 39));
    EXPECT_EQ(0xFFAA823Eu, At(90, 40));
    DrawButton(*graphics, {10, 60, 168, 30}, L"Trotzdem starten", true);
    EXPECT_EQ(0xFFEEC464u, At(10, 75));
    EXPECT_EQ(0xFFEEC464u, At(177, 75));
}

TEST_F(DrawTest, LabelDrawsInTheFallbackFamilyAndIsCutOffAtItsRectangle) {
    DrawLabel(*graphics, L"Beenden", {20, 20, 160, 30}, 16, kFontBold, 0xFFFFFFFF, kAlignCentre,
              kAlignCentre, false);
    EXPECT_GT(Painted(20, 20, 180, 50), 40);  // no "Segoe UI" under Wine: drawn in "Arial"
    EXPECT_EQ(0, Painted(0, 0, 200, 18) + Painted(0, 52, 200, 120));
    // A text too long for its rectangle wraps and is cut off at the rectangle's edge.
    DrawLabel(*graphics, L"Lade Update 4 von 9 mit einem Statustext, der nicht in die Zeile passt",
              {20, 20, 160, 30}, 16, kFontBold, 0xFFFFFFFF, kAlignCentre, kAlignCentre, false);
    EXPECT_EQ(0, Painted(0, 0, 200, 20) + Painted(0, 50, 200, 120) + Painted(0, 0, 20, 120) +
                     Painted(180, 0, 200, 120));
    // An empty text draws nothing at all.
    DrawLabel(*graphics, L"", {20, 60, 160, 30}, 16, kFontBold, 0xFFFFFFFF, kAlignCentre, kAlignCentre, false);
    EXPECT_EQ(0, Painted(0, 50, 200, 120));
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

TEST_F(DrawTest, LongPathKeepsItsEndWithEllipsisInsteadOfWrapping) {
    // Wine's GDI+ ignores string trimming: there the path wraps and is cut off instead.
    if (RunningUnderWine()) GTEST_SKIP() << "Wine's GDI+ does not trim strings";
    const wchar_t* path = L"data/very/deep/folder/structure/with/many/levels/textures_high.pak";
    DrawLabel(*graphics, path, {0, 0, 200, 30}, 11, kFontRegular, 0xFFFFFFFF, kAlignNear, kAlignNear, true);
    // One line only, and its right half shows text: the last path segment survives.
    EXPECT_EQ(0, Painted(0, 16, 200, 30));
    EXPECT_GT(Painted(100, 0, 200, 16), 20);
}

// Whether every strongly painted pixel in the box has a painted partner at its point mirror
// (through the canvas centre), allowing the one-pixel shift of anti-aliasing.
bool MirroredWithin(Bitmap* canvas, int size, int box) {
    auto red = [&](int x, int y) {
        Color c;
        canvas->GetPixel(x, y, &c);
        return int(c.GetR());
    };
    for (int y = 0; y < box; ++y)
        for (int x = 0; x < box; ++x) {
            if (red(x, y) < 160) continue;
            bool partner = false;
            for (int dy = -1; dy <= 1 && !partner; ++dy)
                for (int dx = -1; dx <= 1 && !partner; ++dx)
                    partner = red(size - 1 - x + dx, size - 1 - y + dy) >= 64;
            if (!partner) return false;
        }
    return true;
}

TEST_F(DrawTest, CornerOrnamentMirrorsAcrossTheFrame) {
    canvas.reset(new Bitmap(160, 160, PixelFormat32bppPARGB));
    graphics.reset(new Graphics(canvas.get()));
    graphics->SetSmoothingMode(SmoothingModeAntiAlias);
    graphics->Clear(Color(0xFF000000));
    DrawCornerOrnament(*graphics, 10, 10, +1, +1);
    DrawCornerOrnament(*graphics, 150, 150, -1, -1);
    EXPECT_GT(Painted(0, 0, 80, 80), 200);
    EXPECT_TRUE(MirroredWithin(canvas.get(), 160, 80));
    // And the other way round: the bottom right one has nothing the top left one lacks.
    Bitmap turned(160, 160, PixelFormat32bppPARGB);
    {
        Graphics g(&turned);
        g.DrawImage(canvas.get(), 0, 0, 160, 160);
    }
    turned.RotateFlip(Rotate180FlipNone);
    EXPECT_TRUE(MirroredWithin(&turned, 160, 80));
    EXPECT_EQ(0xFFDCAE52u, At(30, 9));    // pen A, 2.6 px about y 10
    EXPECT_EQ(0xFFDCAE52u, At(129, 150)); // its mirror about y 150
    // Only the two corners are painted.
    EXPECT_EQ(0, Painted(70, 0, 160, 60) + Painted(0, 70, 60, 160));
}

TEST_F(DrawTest, FeatureIconsDifferAndUnknownIndexDrawsTheShield) {
    windowState.uiScale = 2.0f;
    canvas.reset(new Bitmap(100, 100, PixelFormat32bppPARGB));
    auto draw = [&](int index) {
        graphics.reset(new Graphics(canvas.get()));
        graphics->SetSmoothingMode(SmoothingModeAntiAlias);
        graphics->Clear(Color(0xFF000000));
        DrawFeatureIcon(*graphics, index, 25, 25);  // design centre (25, 25) is pixel (50, 50)
        std::vector<uint32_t> pixels;
        for (int y = 0; y < 100; ++y)
            for (int x = 0; x < 100; ++x) pixels.push_back(At(x, y));
        return pixels;
    };
    const auto compass = draw(0), swords = draw(1), figures = draw(2), shield = draw(3);
    EXPECT_NE(compass, swords);
    EXPECT_NE(swords, figures);
    EXPECT_NE(figures, shield);
    EXPECT_EQ(shield, draw(4));
    EXPECT_EQ(shield, draw(-1));
    // The compass star's centre is solid icon gold; the swords cross there too.
    EXPECT_EQ(0xFFE8BE64u, compass[50 * 100 + 50]);
    EXPECT_EQ(0xFFE8BE64u, swords[50 * 100 + 50]);
    // Nothing lies outside the icon's 20-unit box.
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            if (std::abs(x - 50) > 24 || std::abs(y - 50) > 24) {
                ASSERT_EQ(0xFF000000u, shield[y * 100 + x]);
            }
}

}  // namespace
