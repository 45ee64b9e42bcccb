// Drawing primitives of the launcher frame: labels, buttons, rounded rectangles, ornaments, icons.
#pragma once
#include <cstdint>

namespace Gdiplus {
class Graphics;
class GraphicsPath;
}

// A rectangle in window pixels.
struct PixelRect {
    float x, y, width, height;
};

constexpr int kFontRegular = 0;
constexpr int kFontBold = 1;
constexpr int kAlignNear = 0;  // left or top
constexpr int kAlignCentre = 1;
constexpr int kAlignFar = 2;

// Draws text (NUL-terminated) in rect; size is in design units (times uiScale gives pixels).
// "Segoe UI", else "Arial"; a label whose font cannot be made is left out. With ellipsis a
// line that does not fit loses its middle (path ellipsis), in either family.
void DrawLabel(Gdiplus::Graphics& graphics, const wchar_t* text, const PixelRect& rect, float size,
               int style, uint32_t colour, int horizontalAlign, int verticalAlign, bool ellipsis);

// A shadowed label: the same text once in 0xBE000000 one design unit right and down, then in colour.
void DrawShadowedLabel(Gdiplus::Graphics& graphics, const wchar_t* text, const PixelRect& rect,
                       float size, int style, uint32_t colour, int horizontalAlign,
                       int verticalAlign, bool ellipsis);

// A plain rectangular button with gradient fill, outline and centred bold label.
void DrawButton(Gdiplus::Graphics& graphics, const PixelRect& rect, const wchar_t* text, bool hovered);

// Adds one closed rounded-rectangle figure (pixels) to path.
void AddRoundedRect(Gdiplus::GraphicsPath& path, float x, float y, float width, float height,
                    float radius);

// The gold corner ornament at pixel corner (x, y), opening towards (dx, dy), each +1 or -1.
void DrawCornerOrnament(Gdiplus::Graphics& graphics, float x, float y, int dx, int dy);

// Feature icon 0 compass, 1 crossed swords, 2 three figures, anything else shield with star;
// the centre is in design units.
void DrawFeatureIcon(Gdiplus::Graphics& graphics, int index, float centreX, float centreY);

// A diamond of half-diagonal halfDiagonal (pixels) centred on (x, y), filled in colour.
void FillDiamond(Gdiplus::Graphics& graphics, float x, float y, float halfDiagonal, uint32_t colour);

// Frees the cached font family, fonts and formats; call before GdiplusShutdown.
void ReleaseDrawCache();
