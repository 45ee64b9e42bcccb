// Tests for the frame painter: pixels at known design places in every state, and the cached
// painter's frames against the element-by-element reference.
#include <windows.h>

#include <algorithm>
using std::max;
using std::min;
#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ui/draw.h"
#include "ui/paint_render.h"
#include "ui/window_state.h"
#include "update/status.h"

using namespace Gdiplus;

namespace {

void StartGdiplus() {
    static ULONG_PTR token = 0;
    if (token) return;
    GdiplusStartupInput input;
    ASSERT_EQ(Ok, GdiplusStartup(&token, &input, nullptr));
}

// The built-in picture scaled to the window, as the window run makes it.
Bitmap* ScaledBackground(int width, int height) {
    const std::wstring path =
        std::wstring(L"Z:") + std::wstring(QUILLOR_SOURCE_DIR, QUILLOR_SOURCE_DIR + strlen(QUILLOR_SOURCE_DIR)) +
        L"/resources/background.png";
    Bitmap picture(path.c_str());
    if (picture.GetLastStatus() != Ok) return nullptr;
    auto* scaled = new Bitmap(width, height, PixelFormat32bppPARGB);
    Graphics g(scaled);
    g.SetInterpolationMode(InterpolationModeHighQualityBicubic);
    g.DrawImage(&picture, 0, 0, width, height);
    return scaled;
}

struct Argb {
    int a, r, g, b;
};
Argb Split(uint32_t c) { return {int(c >> 24), int(c >> 16 & 255), int(c >> 8 & 255), int(c & 255)}; }
Argb Lerp(uint32_t from, uint32_t to, double t) {
    const Argb x = Split(from), y = Split(to);
    auto mix = [t](int p, int q) { return int(p + (q - p) * t + 0.5); };
    return {255, mix(x.r, y.r), mix(x.g, y.g), mix(x.b, y.b)};
}
Argb Pixel(Bitmap* frame, int x, int y) {
    Color c;
    frame->GetPixel(x, y, &c);
    return Split(c.GetValue());
}
int Distance(const Argb& p, const Argb& q) {
    return std::max({std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b)});
}

#define EXPECT_COLOUR(expected, actual, tolerance)                                           \
    EXPECT_LE(Distance(expected, actual), tolerance)                                         \
        << std::hex << "expected " << (expected).r << "," << (expected).g << "," << (expected).b \
        << " got " << (actual).r << "," << (actual).g << "," << (actual).b

class PaintFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        StartGdiplus();
        ResetUpdateStatus();
        SetWindow(964, 474, false);
    }
    void TearDown() override {
        ReleasePaintCache();
        delete windowState.backgroundBitmap;
        windowState = WindowState();
        ResetUpdateStatus();
    }
    void SetWindow(int width, int height, bool withPicture) {
        ReleasePaintCache();
        delete windowState.backgroundBitmap;
        windowState = WindowState();
        windowState.windowWidth = width;
        windowState.windowHeight = height;
        windowState.uiScale = width / 964.0f;
        windowState.backgroundBitmap = withPicture ? ScaledBackground(width, height) : nullptr;
    }
    void Working(const wchar_t* status, int32_t progress, float displayed) {
        SetStatusText(status, L"data/maps/wald.map");
        SetProgress(progress);
        windowState.displayedProgress = displayed;
    }
    void Finish(bool succeeded, const char* error) {
        updateStatus.errorText = error;
        updateStatus.succeeded = succeeded;
        StatusLockHold hold;
        updateStatus.finished = true;
    }
    std::unique_ptr<Bitmap> Frame(uint32_t tick = 0) {
        return std::unique_ptr<Bitmap>(RenderFrameReference(tick));
    }
};

// Button probes: fill near the top and bottom edges away from the label, outline on the edge.
void ExpectButton(Bitmap* frame, const DesignRect& r, bool hovered) {
    const uint32_t top = hovered ? 0xFF562818 : 0xFF2C1810;
    const uint32_t bottom = hovered ? 0xFF30140C : 0xFF140A08;
    const int x = int(r.x) + 5;
    for (int y : {int(r.y) + 3, int(r.y + r.height) - 4})
        EXPECT_COLOUR(Lerp(top, bottom, (y + 0.5 - r.y) / r.height), Pixel(frame, x, y), 3);
    const Argb outline = Split(hovered ? 0xFFEEC464 : 0xFFAA823E);
    EXPECT_COLOUR(outline, Pixel(frame, int(r.x), int(r.y + r.height / 2)), 3);
    EXPECT_COLOUR(outline, Pixel(frame, int(r.x + r.width / 2), int(r.y + r.height) - 1), 3);
}

bool RegionHolds(Bitmap* frame, int x0, int y0, int x1, int y1, uint32_t colour, int tolerance) {
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (Distance(Split(colour), Pixel(frame, x, y)) <= tolerance) return true;
    return false;
}

TEST_F(PaintFrameTest, QuitButtonPlainAndHovered) {
    Working(L"Lade Update 1 von 3 ...", 400, 400);
    auto plain = Frame();
    ExpectButton(plain.get(), quitButtonRect, false);
    windowState.hoverButton = kHitClose;
    auto hovered = Frame();
    ExpectButton(hovered.get(), quitButtonRect, true);
    windowState.hoverButton = kHitLaunchAnyway;  // no such button in the normal layout
    auto other = Frame();
    ExpectButton(other.get(), quitButtonRect, false);
}

TEST_F(PaintFrameTest, FailurePanelButtonsHighlightByHitCode) {
    Working(L"Lade Update 1 von 3 ...", 400, 400);
    Finish(false, "Die Datei konnte nicht geladen werden.");
    for (int hover : {kHitNone, kHitClose, kHitLaunchAnyway}) {
        windowState.hoverButton = hover;
        auto frame = Frame();
        ExpectButton(frame.get(), launchAnywayButtonRect, hover == kHitLaunchAnyway);
        ExpectButton(frame.get(), closeButtonRect, hover == kHitClose);
    }
}

TEST_F(PaintFrameTest, FailureLayoutShowsRedTitleAndNothingOfTheStatusArea) {
    SetWindow(964, 474, false);
    Working(L"Lade Update 2 von 3 ...", 400, 400);
    Finish(false, "Die Verbindung zum Update-Server ist abgebrochen, bitte sp\xC3\xA4ter erneut versuchen.");
    auto frame = Frame();
    EXPECT_TRUE(RegionHolds(frame.get(), 282, 112, 682, 142, 0xFFE86050, 12));
    // No track, fill, outline, end diamond, status text or quit button.
    for (uint32_t colour : {0xFFC49848u, 0xFFE2B454u, 0xFFF4ECDAu, 0xFFFF9638u, 0xFFA0220Cu})
        EXPECT_FALSE(RegionHolds(frame.get(), 212, 290, 753, 372, colour, 24)) << std::hex << colour;
    EXPECT_FALSE(RegionHolds(frame.get(), 800, 15, 916, 47, 0xFFAA823E, 24));
    EXPECT_FALSE(RegionHolds(frame.get(), 800, 15, 916, 47, 0xFFE9C46A, 24));
    // The message is drawn in the panel, below the title.
    EXPECT_TRUE(RegionHolds(frame.get(), 306, 148, 658, 204, 0xFFF4ECDA, 40));
}

TEST_F(PaintFrameTest, BadgeDotFollowsServerState) {
    const struct {
        ServerState state;
        uint32_t dot;
    } cases[] = {{ServerState::Connecting, 0xFFD2AA46},
                 {ServerState::Connected, 0xFF46C85A},
                 {ServerState::Unreachable, 0xFFDC4638},
                 {static_cast<ServerState>(5), 0xFFD2AA46}};
    for (const auto& c : cases) {
        updateStatus.serverState = c.state;
        auto frame = Frame();
        EXPECT_COLOUR(Split(c.dot), Pixel(frame.get(), 69, 31), 2);
    }
}

TEST_F(PaintFrameTest, FillGradientTopAndBottomWithGlossAndEdge) {
    Working(L"Lade Update 3 von 3 ...", 1000, 1000);
    auto frame = Frame();
    // Row 345 is the last of the inner track (334..346); row 340 lies below the gloss.
    EXPECT_COLOUR(Lerp(0xFFFF9638, 0xFFA0220C, 11.5 / 12), Pixel(frame.get(), 300, 345), 4);
    EXPECT_COLOUR(Lerp(0xFFFF9638, 0xFFA0220C, 6.5 / 12), Pixel(frame.get(), 300, 340), 4);
    const Argb top = Lerp(0xFFFF9638, 0xFFA0220C, 0.5 / 12);
    const Argb glossed = {255, int(top.r + (0xFF - top.r) * 80 / 255.0 + 0.5),
                          int(top.g + (0xEC - top.g) * 80 / 255.0 + 0.5),
                          int(top.b + (0xBE - top.b) * 80 / 255.0 + 0.5)};
    EXPECT_COLOUR(glossed, Pixel(frame.get(), 300, 334), 4);
    // The leading edge ends the fill at the inner track's right end (row 344 misses the diamond).
    const Argb edge = Split(0xC8FFE296);
    const Argb under = Lerp(0xFFFF9638, 0xFFA0220C, 10.5 / 12);
    const Argb blended = {255, under.r + (edge.r - under.r) * 200 / 255,
                          under.g + (edge.g - under.g) * 200 / 255, under.b + (edge.b - under.b) * 200 / 255};
    EXPECT_COLOUR(blended, Pixel(frame.get(), 689, 344), 4);
}

TEST_F(PaintFrameTest, FillOfOnePixelOrLessIsLeftOut) {
    const Argb track = Split(0xFF0E0806);
    Working(L"Lade Update 1 von 3 ...", 2, 2);  // 0.83 px
    auto thin = Frame();
    EXPECT_COLOUR(track, Pixel(thin.get(), 274, 344), 0);
    windowState.displayedProgress = 3;  // 1.25 px
    auto visible = Frame();
    EXPECT_GT(Distance(track, Pixel(visible.get(), 274, 344)), 40);
}

TEST_F(PaintFrameTest, FillNeverReachesBeyondTheTrack) {
    Working(L"Lade Update 1 von 1 ...", 1000, 1000);
    auto full = Frame();
    // A body longer than announced pushes the stored progress past 1000.
    Working(L"Lade Update 1 von 1 ...", 1700, 1700);
    auto over = Frame();
    for (int x : {689, 690, 691, 693, 700, 760, 900})
        for (int y : {336, 344}) {
            const Argb a = Pixel(full.get(), x, y), b = Pixel(over.get(), x, y);
            EXPECT_COLOUR(a, b, 0) << "at " << x << "," << y;
        }
    EXPECT_COLOUR(Split(0xFF0E0806), Pixel(over.get(), 690, 344), 0);
}

TEST_F(PaintFrameTest, ShimmerOnlyWhileWaitingForProgress) {
    const Argb track = Split(0xFF0E0806);
    Working(L"Verbinde mit dem Update-Server ...", 0, 0);
    auto waiting = Frame(909);  // band from x 364 to 474, brightest at 419
    EXPECT_GT(Distance(track, Pixel(waiting.get(), 419, 344)), 60);
    EXPECT_COLOUR(track, Pixel(waiting.get(), 300, 344), 0);
    // Progress exists but the display has not moved yet: no band, no fill.
    Working(L"Lade Update 1 von 3 ...", 1, 0);
    auto started = Frame(909);
    EXPECT_COLOUR(track, Pixel(started.get(), 419, 344), 0);
    // Finished with nothing to download: no band either.
    Working(L"Alles aktuell.", 0, 0);
    Finish(true, "");
    auto done = Frame(909);
    EXPECT_COLOUR(track, Pixel(done.get(), 419, 344), 0);
}

// The ornament's long stroke and its inner diamond at each corner of the border.
void ExpectOrnaments(Bitmap* frame, int width, int height, float u) {
    const float m = 10 * u;
    const struct {
        float x, y;
        int dx, dy;
    } corners[] = {{m, m, 1, 1}, {width - m, m, -1, 1}, {m, height - m, 1, -1}, {width - m, height - m, -1, -1}};
    for (const auto& c : corners) {
        // Middle of the horizontal stroke of pen A, well inside its 2.6 u width.
        const int sx = int(c.x + 22 * u * c.dx), sy = int(c.y + (c.dy > 0 ? 0.0f : -0.5f));
        EXPECT_COLOUR(Split(0xFFDCAE52), Pixel(frame, sx, c.dy > 0 ? int(c.y) : int(c.y) - 1), 6)
            << "stroke at " << sx << "," << sy;
        const int dx = int(c.x + 7 * u * c.dx), dy = int(c.y + 7 * u * c.dy);
        EXPECT_COLOUR(Split(0xFFF0C86E), Pixel(frame, dx - (c.dx < 0), dy - (c.dy < 0)), 12)
            << "diamond at " << dx << "," << dy;
    }
}

TEST_F(PaintFrameTest, BorderAndOrnamentsAtBothScales) {
    for (int width : {964, 1728}) {
        const int height = width == 964 ? 474 : 972;
        SetWindow(width, height, false);
        auto frame = Frame();
        ExpectOrnaments(frame.get(), width, height, width / 964.0f);
        // The faint border line halfway down the left side is lighter than the dark fill.
        const int m = int(10 * width / 964.0f);
        EXPECT_GT(Pixel(frame.get(), m, height / 2).r, 0x30);
        EXPECT_COLOUR(Split(0xFF0E0907), Pixel(frame.get(), m + 6, height / 2), 0);
    }
}

// Every state the window shows, in the order a run passes through them and back; layout
// changes happen both with and without a change of the badge (which rebuilds the cache).
struct FrameState {
    const char* name;
    ServerState server;
    uint64_t serial;
    const wchar_t* status;
    const wchar_t* detail;
    int32_t progress;
    float displayed;
    int hover;
    int finished;  // 0 working, 1 succeeded, 2 failed, 3 failed with another message
    uint32_t tick;
};

const FrameState kStates[] = {
    {"connecting", ServerState::Connecting, 0, L"Verbinde mit dem Update-Server ...", L"", 0, 0, 0, 0, 100},
    {"connecting-later", ServerState::Connecting, 0, L"Verbinde mit dem Update-Server ...", L"", 0, 0, 0, 0, 1700},
    {"checking", ServerState::Connected, 0, L"Pr\u00FCfe Dateien ...", L"data/maps/wald.map", 0, 0, 1, 0, 2300},
    {"serial", ServerState::Connected, 4711, L"Pr\u00FCfe Dateien ...",
     L"data/very/deep/folder/structure/with/many/levels/and/a/long/name/textures_high.pak", 0, 0, 0, 0, 40},
    {"long-texts", ServerState::Connected, 4711,
     L"Lade Update 4 von 9 ... mit einem sehr langen Statustext, der nicht in die Zeile passt und abgeschnitten wird",
     L"data/very/deep/folder/structure/with/many/levels/and/a/long/name/and/even/more/levels/below/"
     L"that/one/and/then/some/more/of/them/textures_high.pak", 120, 80, 0, 0, 0},
    {"thin-fill", ServerState::Connected, 4711, L"Lade Update 1 von 9 ...", L"bin/game.dll", 2, 2, 0, 0, 0},
    {"downloading", ServerState::Connected, 4711, L"Lade Update 4 von 9 ...", L"bin/game.dll", 400, 371.5f, 1, 0, 0},
    {"downloading-eased", ServerState::Connected, 4711, L"Lade Update 4 von 9 ...", L"bin/game.dll", 400, 372.5f, 1, 0, 0},
    {"downloading-unhovered", ServerState::Connected, 4711, L"Lade Update 4 von 9 ...", L"bin/game.dll", 400, 372.5f, 0, 0, 0},
    {"next-file", ServerState::Connected, 4711, L"Lade Update 4 von 9 ...", L"bin/other.dll", 400, 372.5f, 0, 0, 0},
    {"over-full", ServerState::Connected, 4711, L"Lade Update 9 von 9 ...", L"bin/game.dll", 1600, 1600, 0, 0, 0},
    {"succeeded", ServerState::Connected, 4711, L"Update abgeschlossen.", L"", 1000, 1000, 1, 1, 0},
    {"failed-same-badge", ServerState::Connected, 4711, L"", L"", 300, 300, 1, 2, 0},
    {"working-after-failure", ServerState::Connected, 4711, L"Lade Update 4 von 9 ...", L"bin/game.dll", 400, 400, 1, 0, 0},
    {"failed", ServerState::Unreachable, 0, L"Verbinde mit dem Update-Server ...", L"", 0, 0, 0, 2, 500},
    {"failed-hover-launch", ServerState::Unreachable, 0, L"", L"", 0, 0, 2, 2, 0},
    {"failed-hover-gone", ServerState::Unreachable, 0, L"", L"", 0, 0, 0, 2, 0},
    {"failed-other-message", ServerState::Unreachable, 0, L"", L"", 0, 0, 0, 3, 0},
    {"working-again", ServerState::Connected, 4711, L"Lade Update 4 von 9 ...", L"bin/game.dll", 400, 400, 0, 0, 0},
};

void ApplyState(const FrameState& s) {
    ResetUpdateStatus();
    updateStatus.serverState = s.server;
    updateStatus.manifestSerial = s.serial;
    SetStatusText(s.status, s.detail);
    SetProgress(s.progress);
    windowState.displayedProgress = s.displayed;
    windowState.hoverButton = s.hover;
    if (s.finished) {
        updateStatus.succeeded = s.finished == 1;
        updateStatus.errorText = s.finished == 3 ? "Die Signatur der Dateiliste ist ung\xC3\xBCltig."
            : s.finished == 2
            ? "Das Update konnte nicht abgeschlossen werden: Die Datei bin/game.dll ist auf dem "
              "Server kleiner als angek\xC3\xBCndigt, bitte sp\xC3\xA4ter erneut versuchen."
            : "";
        StatusLockHold hold;
        updateStatus.finished = true;
    }
}

// Index of the first differing pixel, or -1 when both frames are identical.
long FirstDifference(Bitmap* a, Bitmap* b) {
    const Rect whole(0, 0, int(a->GetWidth()), int(a->GetHeight()));
    if (b->GetWidth() != a->GetWidth() || b->GetHeight() != a->GetHeight()) return 0;
    BitmapData da, db;
    if (a->LockBits(&whole, ImageLockModeRead, PixelFormat32bppPARGB, &da) != Ok) return 0;
    if (b->LockBits(&whole, ImageLockModeRead, PixelFormat32bppPARGB, &db) != Ok) {
        a->UnlockBits(&da);
        return 0;
    }
    long result = -1;
    for (int y = 0; y < whole.Height && result < 0; ++y) {
        const auto* ra = static_cast<const uint32_t*>(da.Scan0) + y * da.Stride / 4;
        const auto* rb = static_cast<const uint32_t*>(db.Scan0) + y * db.Stride / 4;
        for (int x = 0; x < whole.Width; ++x)
            if (ra[x] != rb[x]) {
                result = long(y) * whole.Width + x;
                break;
            }
    }
    a->UnlockBits(&da);
    b->UnlockBits(&db);
    return result;
}

TEST_F(PaintFrameTest, CachedFramesEqualReferenceFramesInEveryStateAtBothScales) {
    for (int width : {964, 1728}) {
        const int height = width == 964 ? 474 : 972;
        for (bool picture : {true, false}) {
            SetWindow(width, height, picture);
            // Twice through, so every state also follows every other one in the cache.
            for (int round = 0; round < 2; ++round)
                for (const FrameState& s : kStates) {
                    ApplyState(s);
                    std::unique_ptr<Bitmap> reference(RenderFrameReference(s.tick));
                    // The second time, an unchanged frame may come straight from the back buffer.
                    for (int repeat = 0; repeat < 2; ++repeat) {
                        Bitmap* cached = RenderFrameCached(s.tick);
                        ASSERT_TRUE(reference && cached);
                        const long at = FirstDifference(reference.get(), cached);
                        EXPECT_EQ(-1, at) << s.name << " at " << width << " px, picture " << picture
                                          << ": first difference at x " << at % width << " y " << at / width;
                    }
                }
        }
    }
}

}  // namespace
