// PaintFrame: the launcher frame, painted element by element from the update status and window state.
#include "ui/paint.h"
#include "ui/paint_elements.h"
#include "ui/paint_render.h"

#include <windows.h>

#include <algorithm>
using std::max;
using std::min;
#include <objidl.h>  // PROPID and IStream, left out by WIN32_LEAN_AND_MEAN
#include <gdiplus.h>

#include <cstring>
#include <string>

#include "base/log.h"
#include "ui/draw.h"
#include "ui/paint_format.h"
#include "ui/window_state.h"
#include "update/status.h"

using namespace Gdiplus;

FrameInputs TakeSnapshot(uint32_t tick) {
    FrameInputs in;
    {
        StatusLockHold hold;
        in.statusText = updateStatus.statusText;
        in.detailText = updateStatus.detailText;
        in.progressPermille = updateStatus.progressPermille;
        in.finished = updateStatus.finished;
    }
    // succeeded and errorText are final once finished has been seen under the lock.
    if (in.finished && !updateStatus.succeeded) {
        in.failed = true;
        in.errorText = ToWide(updateStatus.errorText);
    }
    in.serverState = static_cast<int32_t>(updateStatus.serverState.load());
    in.manifestSerial = updateStatus.manifestSerial.load();
    in.tick = tick;
    return in;
}

namespace {

float Scale() { return windowState.uiScale; }

PixelRect ToPixels(float x, float y, float width, float height) {
    const float u = Scale();
    return {x * u, y * u, width * u, height * u};
}
PixelRect ToPixels(const DesignRect& r) { return ToPixels(r.x, r.y, r.width, r.height); }

}  // namespace

void SetUpGraphics(Graphics& g) {
    g.SetSmoothingMode(SmoothingModeAntiAlias);
    g.SetTextRenderingHint(TextRenderingHintClearTypeGridFit);
}

void PaintBackground(Graphics& g) {
    if (windowState.backgroundBitmap)
        g.DrawImage(windowState.backgroundBitmap, 0, 0, windowState.windowWidth,
                    windowState.windowHeight);
    else
        g.Clear(Color(0xFF0E0907));
}

void PaintBackdropShade(Graphics& g) {
    const PixelRect r = ToPixels(120, 250, 724, 320);
    GraphicsPath path(FillModeAlternate);
    AddRoundedRect(path, r.x, r.y, r.width, r.height, 40 * Scale());
    PathGradientBrush shade(&path);
    shade.SetCenterColor(Color(0xFA070403));
    if (path.GetPointCount() >= 1) {
        Color surround(0x00070403);
        INT count = 1;
        shade.SetSurroundColors(&surround, &count);
    }
    shade.SetFocusScales(0.8f, 0.58f);
    g.FillPath(&shade, &path);
}

namespace {

const wchar_t* const featureTitles[4] = {L"NEUE MAPS", L"STARKE BOSSE", L"AKTIVE COMMUNITY",
                                         L"FAIRER SPIELSPASS"};
const wchar_t* const featureSubtitles[4] = {L"Entdecke neue Welten", L"Epische Belohnungen",
                                            L"Gemeinsam st\u00E4rker", L"F\u00FCr alle gleich"};

// A horizontal gradient brush's three-stop blend: transparent, rgb at middleAlpha, transparent.
void SetFadeBlend(LinearGradientBrush& brush, uint32_t rgb, uint8_t middleAlpha) {
    const Color colours[3] = {Color(rgb & 0x00FFFFFF),
                              Color((static_cast<uint32_t>(middleAlpha) << 24) | (rgb & 0x00FFFFFF)),
                              Color(rgb & 0x00FFFFFF)};
    const REAL positions[3] = {0.0f, 0.5f, 1.0f};
    brush.SetInterpolationColors(colours, positions, 3);
    brush.SetWrapMode(WrapModeTile);
}

}  // namespace

void PaintFeatureTiles(Graphics& g) {
    for (int i = 0; i < 4; ++i) {
        const float cx = 482 + (i - 1.5f) * 150;
        DrawFeatureIcon(g, i, cx, 404);
        DrawShadowedLabel(g, featureTitles[i], ToPixels(cx - 75, 418, 150, 15), 11, kFontBold,
                          0xFFECCE96, kAlignCentre, kAlignCentre, false);
        DrawShadowedLabel(g, featureSubtitles[i], ToPixels(cx - 75, 433, 150, 14), 10,
                          kFontRegular, 0xFFB2A48A, kAlignCentre, kAlignCentre, false);
    }
}

void PaintSeparator(Graphics& g) {
    const float u = Scale();
    LinearGradientBrush line(PointF(182 * u, 0), PointF(782 * u, 0), Color(0x00DCAE52),
                             Color(0x00DCAE52));
    SetFadeBlend(line, 0xDCAE52, 0xFF);
    g.FillRectangle(&line, 182 * u, 453 * u, 600 * u, 1.2f * u + 0.3f);
    FillDiamond(g, 482 * u, 453.6f * u, 4 * u, 0xFFF0C86E);
}

void PaintServerBadge(Graphics& g, int32_t serverState, uint64_t serial) {
    const DesignRect& b = serverBadgeRect;
    const PixelRect plate = ToPixels(b);
    GraphicsPath path(FillModeAlternate);
    AddRoundedRect(path, plate.x, plate.y, plate.width, plate.height, 4 * Scale());
    SolidBrush plateFill(Color(0xDE080504));
    g.FillPath(&plateFill, &path);
    Pen plateOutline(Color(0x78C49848), 1.0f);
    g.DrawPath(&plateOutline, &path);
    const PixelRect dot = ToPixels(b.x + 9, b.y + (b.height - 8) / 2, 8, 8);
    SolidBrush dotFill(Color(BadgeDotColour(serverState)));
    g.FillEllipse(&dotFill, dot.x, dot.y, dot.width, dot.height);
    const std::wstring text = FormatBadgeText(serverState, serial);
    DrawLabel(g, text.c_str(), ToPixels(b.x + 22, b.y, b.width - 26, b.height), 10.5f, kFontRegular,
              0xFFD6C8AA, kAlignNear, kAlignCentre, true);
}

namespace {

void PaintProgressFill(Graphics& g, const DesignRect& inner, float displayed) {
    const float u = Scale();
    const float fw = FillWidthPixels(displayed, inner.width, u);
    if (!FillVisible(fw)) return;
    const float left = inner.x * u, top = inner.y * u, height = inner.height * u;
    LinearGradientBrush fill(PointF(0, top), PointF(0, top + height), Color(0xFFFF9638),
                             Color(0xFFA0220C));
    fill.SetWrapMode(WrapModeTile);
    g.FillRectangle(&fill, left, top, fw, height);
    SolidBrush gloss(Color(0x50FFECBE));
    g.FillRectangle(&gloss, left, top, fw, height * 0.38f);
    SolidBrush edge(Color(0xC8FFE296));
    g.FillRectangle(&edge, left + fw - 2 * u, top, 2 * u, height);
}

void PaintShimmer(Graphics& g, const DesignRect& bar, const DesignRect& inner, uint32_t tick) {
    const float u = Scale();
    const PixelRect clip = ToPixels(inner);
    Region region(RectF(clip.x, clip.y, clip.width, clip.height));
    g.SetClip(&region, CombineModeReplace);
    const float x0 = ShimmerLeft(tick, inner.x, inner.width, u);
    LinearGradientBrush band(PointF(x0, 0), PointF(x0 + kShimmerWidth * u, 0), Color(0x00FFBE6E),
                             Color(0x00FFBE6E));
    SetFadeBlend(band, 0xFFBE6E, 0x78);
    g.FillRectangle(&band, x0, bar.y * u, kShimmerWidth * u, bar.height * u);
    g.ResetClip();
}

void PaintStatusArea(Graphics& g, const FrameInputs& in) {
    const float u = Scale();
    const DesignRect& bar = progressBarRect;
    const DesignRect inner = {bar.x + 2, bar.y + 2, bar.width - 4, bar.height - 4};
    DrawShadowedLabel(g, in.statusText.c_str(), ToPixels(bar.x - 60, 303, bar.width + 120, 24), 16,
                      kFontBold, 0xFFF4ECDA, kAlignCentre, kAlignCentre, false);
    const PixelRect track = ToPixels(bar);
    SolidBrush trackFill(Color(0xFF0E0806));
    g.FillRectangle(&trackFill, track.x, track.y, track.width, track.height);
    PaintProgressFill(g, inner, windowState.displayedProgress);
    if (ShimmerVisible(in.progressPermille, in.finished)) PaintShimmer(g, bar, inner, in.tick);
    Pen outline(Color(0xFFC49848), 1.2f * u + 0.4f);
    g.DrawRectangle(&outline, track.x, track.y, track.width, track.height);
    const float midY = (bar.y + bar.height / 2) * u;
    FillDiamond(g, bar.x * u, midY, 3.5f * u, 0xFFE2B454);
    FillDiamond(g, (bar.x + bar.width) * u, midY, 3.5f * u, 0xFFE2B454);
    const std::wstring percent = FormatPercent(windowState.displayedProgress);
    DrawShadowedLabel(g, percent.c_str(), track, 11.5f, kFontBold, 0xFFFFFFFF, kAlignCentre,
                      kAlignCentre, false);
    DrawShadowedLabel(g, in.detailText.c_str(), ToPixels(bar.x, bar.y + bar.height + 4, bar.width, 18),
                      11, kFontRegular, 0xFFC8BA9C, kAlignCentre, kAlignNear, true);
    DrawButton(g, ToPixels(quitButtonRect), L"Beenden", windowState.hoverButton == kHitClose);
}

void PaintFailurePanel(Graphics& g, const FrameInputs& in) {
    const float u = Scale();
    const DesignRect& p = failurePanelRect;
    const PixelRect panel = ToPixels(p);
    SolidBrush fill(Color(0xF4090604));
    g.FillRectangle(&fill, panel.x, panel.y, panel.width, panel.height);
    Pen outline(Color(0xFFC49848), 2 * u + 0.5f);
    g.DrawRectangle(&outline, panel.x, panel.y, panel.width, panel.height);
    const PixelRect inner = ToPixels(p.x + 5, p.y + 5, p.width - 10, p.height - 10);
    Pen innerOutline(Color(0x827E5820), 1.0f);
    g.DrawRectangle(&innerOutline, inner.x, inner.y, inner.width, inner.height);
    const float right = panel.x + panel.width, bottom = panel.y + panel.height;
    FillDiamond(g, panel.x, panel.y, 5 * u, 0xFFE2B454);
    FillDiamond(g, right, panel.y, 5 * u, 0xFFE2B454);
    FillDiamond(g, panel.x, bottom, 5 * u, 0xFFE2B454);
    FillDiamond(g, right, bottom, 5 * u, 0xFFE2B454);
    DrawLabel(g, L"UPDATE FEHLGESCHLAGEN", ToPixels(p.x, p.y + 12, p.width, 30), 19, kFontBold,
              0xFFE86050, kAlignCentre, kAlignCentre, false);
    DrawLabel(g, in.errorText.c_str(), ToPixels(p.x + 24, p.y + 48, p.width - 48, 56), 12.5f,
              kFontRegular, 0xFFF4ECDA, kAlignCentre, kAlignCentre, false);
    DrawButton(g, ToPixels(launchAnywayButtonRect), L"Trotzdem starten",
               windowState.hoverButton == kHitLaunchAnyway);
    DrawButton(g, ToPixels(closeButtonRect), L"Schlie\u00DFen", windowState.hoverButton == kHitClose);
}
}  // namespace

void PaintFrameBorder(Graphics& g) {
    const float u = Scale();
    const float m = 10 * u;
    const float w = static_cast<float>(windowState.windowWidth);
    const float h = static_cast<float>(windowState.windowHeight);
    Pen border(Color(0x6EDCAE52), u + 0.3f);
    g.DrawRectangle(&border, m, m, w - 2 * m, h - 2 * m);
    DrawCornerOrnament(g, m, m, +1, +1);
    DrawCornerOrnament(g, w - m, m, -1, +1);
    DrawCornerOrnament(g, m, h - m, +1, -1);
    DrawCornerOrnament(g, w - m, h - m, -1, -1);
}

// Everything between the badge and the border: the only part that moves.
void PaintLayout(Graphics& g, const FrameInputs& in) {
    if (in.failed)
        PaintFailurePanel(g, in);
    else
        PaintStatusArea(g, in);
}

Bitmap* NewFrameBitmap() {
    auto* bitmap = new Bitmap(windowState.windowWidth, windowState.windowHeight, PixelFormat32bppPARGB);
    if (bitmap->GetLastStatus() == Ok) return bitmap;
    delete bitmap;
    return nullptr;
}

Bitmap* RenderFrameReference(uint32_t tick) {
    Bitmap* frame = NewFrameBitmap();
    if (!frame) return nullptr;
    {
        Graphics g(frame);
        SetUpGraphics(g);
        PaintBackground(g);
        const FrameInputs in = TakeSnapshot(tick);
        PaintBackdropShade(g);
        PaintFeatureTiles(g);
        PaintSeparator(g);
        PaintServerBadge(g, in.serverState, in.manifestSerial);
        PaintLayout(g, in);
        PaintFrameBorder(g);
    }
    return frame;
}

namespace {

// One copy of an opaque frame to the window; the premultiplied pixels equal the plain ones.
void Present(HDC target, Bitmap* frame) {
    const Rect whole(0, 0, static_cast<INT>(frame->GetWidth()), static_cast<INT>(frame->GetHeight()));
    BitmapData data;
    if (frame->LockBits(&whole, ImageLockModeRead, PixelFormat32bppPARGB, &data) == Ok) {
        if (data.Stride == whole.Width * 4) {
            BITMAPINFO info = {};
            info.bmiHeader.biSize = sizeof info.bmiHeader;
            info.bmiHeader.biWidth = whole.Width;
            info.bmiHeader.biHeight = -whole.Height;  // top-down rows
            info.bmiHeader.biPlanes = 1;
            info.bmiHeader.biBitCount = 32;
            info.bmiHeader.biCompression = BI_RGB;
            SetDIBitsToDevice(target, 0, 0, whole.Width, whole.Height, 0, 0, 0, whole.Height,
                              data.Scan0, &info, DIB_RGB_COLORS);
            frame->UnlockBits(&data);
            return;
        }
        frame->UnlockBits(&data);
    }
    Graphics screen(target);
    screen.SetCompositingMode(CompositingModeSourceCopy);
    screen.SetInterpolationMode(InterpolationModeNearestNeighbor);
    screen.DrawImage(frame, 0, 0, whole.Width, whole.Height);
}

}  // namespace

void PaintFrame(void* target) {
    HDC dc = static_cast<HDC>(target);
    if (Bitmap* frame = RenderFrameCached(GetTickCount())) {
        Present(dc, frame);
        return;
    }
    // Not enough memory for the layers: paint this frame element by element instead.
    if (Bitmap* frame = RenderFrameReference(GetTickCount())) {
        Present(dc, frame);
        delete frame;
    }
}
