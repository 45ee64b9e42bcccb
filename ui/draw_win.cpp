// Drawing primitives of the launcher frame on GDI+: labels, buttons, ornaments and feature icons.
#include "ui/draw.h"

#include <windows.h>

#include <algorithm>
using std::max;
using std::min;
#include <objidl.h>  // PROPID and IStream, left out by WIN32_LEAN_AND_MEAN
#include <gdiplus.h>

#include "ui/window_state.h"

using namespace Gdiplus;

namespace {

// Fonts and string formats are looked up more than twenty times a frame at 30 frames a
// second; creating them anew each time costs more than the drawing, so they are kept.
struct CachedFont {
    float emPixels;
    int style;
    Font* font;
};
struct CachedFormat {
    int horizontalAlign, verticalAlign;
    bool ellipsis;
    StringFormat* format;
};

constexpr int kFontCacheSize = 32;
constexpr int kFormatCacheSize = 18;  // 3 x 3 alignments x ellipsis on or off

struct DrawCache {
    bool familyTried = false;
    FontFamily* family = nullptr;
    CachedFont fonts[kFontCacheSize] = {};
    int fontCount = 0;
    CachedFormat formats[kFormatCacheSize] = {};
    int formatCount = 0;
};
DrawCache drawCache;

const FontFamily* LabelFamily() {
    if (drawCache.familyTried) return drawCache.family;
    drawCache.familyTried = true;
    for (const wchar_t* name : {L"Segoe UI", L"Arial"}) {
        auto* family = new FontFamily(name);
        if (family->GetLastStatus() == Ok && family->IsAvailable()) {
            drawCache.family = family;
            break;
        }
        delete family;
    }
    return drawCache.family;
}

const Font* LabelFont(float emPixels, int style) {
    for (int i = 0; i < drawCache.fontCount; ++i) {
        const CachedFont& entry = drawCache.fonts[i];
        if (entry.emPixels == emPixels && entry.style == style) return entry.font;
    }
    const FontFamily* family = LabelFamily();
    if (!family || drawCache.fontCount == kFontCacheSize) return nullptr;
    auto* font = new Font(family, emPixels, style == kFontBold ? FontStyleBold : FontStyleRegular,
                          UnitPixel);
    if (font->GetLastStatus() != Ok) {
        delete font;
        return nullptr;
    }
    drawCache.fonts[drawCache.fontCount++] = {emPixels, style, font};
    return font;
}

StringAlignment ToAlignment(int align) {
    if (align == kAlignCentre) return StringAlignmentCenter;
    if (align == kAlignFar) return StringAlignmentFar;
    return StringAlignmentNear;
}

const StringFormat* LabelFormat(int horizontalAlign, int verticalAlign, bool ellipsis) {
    for (int i = 0; i < drawCache.formatCount; ++i) {
        const CachedFormat& entry = drawCache.formats[i];
        if (entry.horizontalAlign == horizontalAlign && entry.verticalAlign == verticalAlign &&
            entry.ellipsis == ellipsis)
            return entry.format;
    }
    if (drawCache.formatCount == kFormatCacheSize) return nullptr;
    auto* format = new StringFormat(0, LANG_NEUTRAL);
    format->SetAlignment(ToAlignment(horizontalAlign));
    format->SetLineAlignment(ToAlignment(verticalAlign));
    if (ellipsis) format->SetTrimming(StringTrimmingEllipsisPath);
    drawCache.formats[drawCache.formatCount++] = {horizontalAlign, verticalAlign, ellipsis, format};
    return format;
}

}  // namespace

void DrawLabel(Graphics& graphics, const wchar_t* text, const PixelRect& rect, float size,
               int style, uint32_t colour, int horizontalAlign, int verticalAlign, bool ellipsis) {
    if (!text || !*text) return;
    const Font* font = LabelFont(size * windowState.uiScale, style);
    const StringFormat* format = LabelFormat(horizontalAlign, verticalAlign, ellipsis);
    if (!font || !format) return;
    SolidBrush brush{Color(colour)};
    const RectF layout(rect.x, rect.y, rect.width, rect.height);
    // Text that does not fit is cut off at the rectangle's edge. Windows' GDI+ does that by
    // itself; Wine's draws the overflowing lines outside, over the neighbouring elements.
    const GraphicsState saved = graphics.Save();
    graphics.IntersectClip(layout);
    graphics.DrawString(text, -1, font, layout, format, &brush);
    graphics.Restore(saved);
}

void DrawShadowedLabel(Graphics& graphics, const wchar_t* text, const PixelRect& rect, float size,
                       int style, uint32_t colour, int horizontalAlign, int verticalAlign,
                       bool ellipsis) {
    const float shift = windowState.uiScale;
    const PixelRect shadowRect = {rect.x + shift, rect.y + shift, rect.width, rect.height};
    DrawLabel(graphics, text, shadowRect, size, style, 0xBE000000, horizontalAlign, verticalAlign,
              ellipsis);
    DrawLabel(graphics, text, rect, size, style, colour, horizontalAlign, verticalAlign, ellipsis);
}

void DrawButton(Graphics& graphics, const PixelRect& rect, const wchar_t* text, bool hovered) {
    const float s = windowState.uiScale;
    LinearGradientBrush fill(PointF(rect.x, rect.y), PointF(rect.x, rect.y + rect.height),
                             Color(hovered ? 0xFF562818 : 0xFF2C1810),
                             Color(hovered ? 0xFF30140C : 0xFF140A08));
    fill.SetWrapMode(WrapModeTile);
    graphics.FillRectangle(&fill, rect.x, rect.y, rect.width, rect.height);
    Pen outline(Color(hovered ? 0xFFEEC464 : 0xFFAA823E), 1.5f * s + 0.5f);
    graphics.DrawRectangle(&outline, rect.x, rect.y, rect.width, rect.height);
    DrawLabel(graphics, text, rect, 12.5f, kFontBold, hovered ? 0xFFFFE8A0 : 0xFFE9C46A,
              kAlignCentre, kAlignCentre, false);
}

void AddRoundedRect(GraphicsPath& path, float x, float y, float width, float height, float radius) {
    const float d = 2 * radius;
    path.AddArc(x, y, d, d, 180, 90);
    path.AddArc(x + width - d, y, d, d, 270, 90);
    path.AddArc(x + width - d, y + height - d, d, d, 0, 90);
    path.AddArc(x, y + height - d, d, d, 90, 90);
    path.CloseFigure();
}

void FillDiamond(Graphics& graphics, float x, float y, float halfDiagonal, uint32_t colour) {
    const PointF points[4] = {PointF(x, y - halfDiagonal), PointF(x + halfDiagonal, y),
                              PointF(x, y + halfDiagonal), PointF(x - halfDiagonal, y)};
    SolidBrush brush{Color(colour)};
    graphics.FillPolygon(&brush, points, 4, FillModeAlternate);
}

void DrawCornerOrnament(Graphics& graphics, float x, float y, int dx, int dy) {
    const float u = windowState.uiScale;
    auto at = [&](float a, float b) { return PointF(x + a * u * dx, y + b * u * dy); };
    Pen penA(Color(0xFFDCAE52), 2.6f * u);
    Pen penB(Color(0xD2DCAE52), u + 0.3f);
    graphics.DrawLine(&penA, at(0, 0), at(44, 0));
    graphics.DrawLine(&penA, at(0, 0), at(0, 44));
    graphics.DrawLine(&penB, at(7, 7), at(31, 7));
    graphics.DrawLine(&penB, at(7, 7), at(7, 31));
    const PointF inner = at(7, 7), right = at(51, 0), down = at(0, 51);
    FillDiamond(graphics, inner.X, inner.Y, 3.6f * u, 0xFFF0C86E);
    FillDiamond(graphics, right.X, right.Y, 2.2f * u, 0xFFDCAE52);
    FillDiamond(graphics, down.X, down.Y, 2.2f * u, 0xFFDCAE52);
}

namespace {

struct IconPainter {
    Graphics& graphics;
    float cx, cy, u;
    Pen pen;
    SolidBrush brush;

    IconPainter(Graphics& g, float centreX, float centreY)
        : graphics(g), cx(centreX), cy(centreY), u(windowState.uiScale),
          pen(Color(0xFFE8BE64), 1.7f * windowState.uiScale), brush(Color(0xFFE8BE64)) {
        pen.SetLineJoin(LineJoinRound);
        pen.SetStartCap(LineCapRound);
        pen.SetEndCap(LineCapRound);
    }
    PointF At(float a, float b) const { return PointF((cx + a) * u, (cy + b) * u); }
    void Line(float a0, float b0, float a1, float b1) { graphics.DrawLine(&pen, At(a0, b0), At(a1, b1)); }
    void FillStar(const float (*offsets)[2], int count) {
        PointF points[8];
        for (int i = 0; i < count; ++i) points[i] = At(offsets[i][0], offsets[i][1]);
        graphics.FillPolygon(&brush, points, count, FillModeAlternate);
    }
    void Compass() {
        graphics.DrawEllipse(&pen, (cx - 9) * u, (cy - 9) * u, 18 * u, 18 * u);
        static const float star[8][2] = {{0, -7}, {2, -2}, {7, 0}, {2, 2},
                                         {0, 7},  {-2, 2}, {-7, 0}, {-2, -2}};
        FillStar(star, 8);
    }
    void Swords() {
        Line(-8, 8, 8, -8);
        Line(-8, -8, 8, 8);
        Line(-9, 3, -3, 9);
        Line(9, 3, 3, 9);
    }
    void Figures() {
        static const float centres[3][2] = {{-7.5f, -3}, {0, -5}, {7.5f, -3}};
        for (const auto& c : centres) {
            const float fx = cx + c[0], fy = cy + c[1];
            graphics.FillEllipse(&brush, (fx - 3.2f) * u, (fy - 3.2f) * u, 6.4f * u, 6.4f * u);
            GraphicsPath body(FillModeAlternate);
            body.AddArc((fx - 5) * u, (fy + 2.5f) * u, 10 * u, 11 * u, 180, 180);
            body.CloseFigure();
            graphics.FillPath(&brush, &body);
        }
    }
    void Shield() {
        const PointF outline[5] = {At(-8, -9), At(8, -9), At(8, 1), At(0, 10), At(-8, 1)};
        graphics.DrawPolygon(&pen, outline, 5);
        static const float star[8][2] = {{0, -5},     {1.6f, -1.6f},  {5, 0},  {1.6f, 1.6f},
                                         {0, 5},      {-1.6f, 1.6f},  {-5, 0}, {-1.6f, -1.6f}};
        FillStar(star, 8);
    }
};

}  // namespace

void DrawFeatureIcon(Graphics& graphics, int index, float centreX, float centreY) {
    IconPainter icon(graphics, centreX, centreY);
    switch (index) {
        case 0: icon.Compass(); break;
        case 1: icon.Swords(); break;
        case 2: icon.Figures(); break;
        default: icon.Shield(); break;
    }
}

void ReleaseDrawCache() {
    for (int i = 0; i < drawCache.fontCount; ++i) delete drawCache.fonts[i].font;
    for (int i = 0; i < drawCache.formatCount; ++i) delete drawCache.formats[i].format;
    delete drawCache.family;
    drawCache = DrawCache();
}
