// The cached frame painter: the parts that never move drawn once, the moving part each frame.
#include "ui/paint_render.h"

#include <windows.h>

#include <algorithm>
using std::max;
using std::min;
#include <objidl.h>  // PROPID and IStream, left out by WIN32_LEAN_AND_MEAN
#include <gdiplus.h>

#include <cstring>

#include "ui/paint_elements.h"
#include "ui/paint_format.h"
#include "ui/window_state.h"

using namespace Gdiplus;

namespace {

// The cached painter keeps what does not move: the background up to the badge and the frame
// border, drawn once in their order. Leaving out the moving part in between is exact because
// the moving part never touches a pixel of the border (the identity test checks this).
struct PaintCache {
    Bitmap* staticLayer = nullptr;
    Bitmap* backBuffer = nullptr;
    int32_t width = 0, height = 0;
    float scale = 0;
    const Bitmap* background = nullptr;
    int32_t badgeState = -1;
    uint64_t badgeSerial = 0;
    // What the back buffer's moving part was painted from; the idle failure panel repaints
    // the same frame thirty times a second.
    bool painted = false;
    FrameInputs last;
    float lastDisplayed = 0;
    int32_t lastHover = 0;
};
PaintCache paintCache;

// Whether painting in's moving part would reproduce the back buffer exactly.
bool SameMovingPart(const FrameInputs& in) {
    const PaintCache& c = paintCache;
    const FrameInputs& last = c.last;
    if (!c.painted || in.failed != last.failed || windowState.hoverButton != c.lastHover) return false;
    if (in.failed) return in.errorText == last.errorText;
    const bool shimmer = ShimmerVisible(in.progressPermille, in.finished);
    return shimmer == ShimmerVisible(last.progressPermille, last.finished) &&
           (!shimmer || in.tick == last.tick) && in.statusText == last.statusText &&
           in.detailText == last.detailText &&
           memcmp(&windowState.displayedProgress, &c.lastDisplayed, sizeof(float)) == 0;
}

// Every pixel the status area, the quit button or the failure panel can touch lies in one of
// these design rectangles (margins included); they are restored from the static layer each frame.
const DesignRect kMovingRects[3] = {{200, 294, 564, 86}, {796, 11, 124, 42}, {270, 88, 424, 174}};

bool CacheMatches(const FrameInputs& in) {
    const PaintCache& c = paintCache;
    return c.staticLayer && c.backBuffer && c.width == windowState.windowWidth &&
           c.height == windowState.windowHeight && c.scale == windowState.uiScale &&
           c.background == windowState.backgroundBitmap && c.badgeState == in.serverState &&
           c.badgeSerial == in.manifestSerial;
}

// Copies rect (pixels) between two PARGB bitmaps of the same size, byte for byte.
bool CopyPixels(Bitmap* from, Bitmap* to, const Rect& rect) {
    if (rect.Width <= 0 || rect.Height <= 0) return true;
    BitmapData source, target;
    if (from->LockBits(&rect, ImageLockModeRead, PixelFormat32bppPARGB, &source) != Ok) return false;
    bool done = false;
    if (to->LockBits(&rect, ImageLockModeWrite, PixelFormat32bppPARGB, &target) == Ok) {
        const size_t rowBytes = static_cast<size_t>(rect.Width) * 4;
        for (INT y = 0; y < rect.Height; ++y)
            memcpy(static_cast<BYTE*>(target.Scan0) + y * target.Stride,
                   static_cast<const BYTE*>(source.Scan0) + y * source.Stride, rowBytes);
        to->UnlockBits(&target);
        done = true;
    }
    from->UnlockBits(&source);
    return done;
}

Rect PixelBounds(const DesignRect& r) {
    const float u = windowState.uiScale;
    const int left = max(0, static_cast<int>(r.x * u) - 2);
    const int top = max(0, static_cast<int>(r.y * u) - 2);
    const int right = min(windowState.windowWidth, static_cast<int>((r.x + r.width) * u) + 3);
    const int bottom = min(windowState.windowHeight, static_cast<int>((r.y + r.height) * u) + 3);
    return Rect(left, top, right - left, bottom - top);
}

bool RebuildCache(const FrameInputs& in) {
    ReleasePaintCache();
    PaintCache& c = paintCache;
    c.staticLayer = NewFrameBitmap();
    c.backBuffer = NewFrameBitmap();
    if (!c.staticLayer || !c.backBuffer) return false;
    {
        Graphics g(c.staticLayer);
        SetUpGraphics(g);
        PaintBackground(g);
        PaintBackdropShade(g);
        PaintFeatureTiles(g);
        PaintSeparator(g);
        PaintServerBadge(g, in.serverState, in.manifestSerial);
        PaintFrameBorder(g);
    }
    if (!CopyPixels(c.staticLayer, c.backBuffer,
                    Rect(0, 0, windowState.windowWidth, windowState.windowHeight)))
        return false;
    c.width = windowState.windowWidth;
    c.height = windowState.windowHeight;
    c.scale = windowState.uiScale;
    c.background = windowState.backgroundBitmap;
    c.badgeState = in.serverState;
    c.badgeSerial = in.manifestSerial;
    return true;
}

}  // namespace

Bitmap* RenderFrameCached(uint32_t tick) {
    const FrameInputs in = TakeSnapshot(tick);
    if (!CacheMatches(in)) {
        if (!RebuildCache(in)) {
            ReleasePaintCache();
            return nullptr;
        }
    } else {
        if (SameMovingPart(in)) return paintCache.backBuffer;
        for (const DesignRect& r : kMovingRects)
            if (!CopyPixels(paintCache.staticLayer, paintCache.backBuffer, PixelBounds(r))) {
                ReleasePaintCache();
                return nullptr;
            }
    }
    {
        Graphics g(paintCache.backBuffer);
        SetUpGraphics(g);
        PaintLayout(g, in);
    }
    PaintCache& c = paintCache;
    c.painted = true;
    c.last = in;
    c.lastDisplayed = windowState.displayedProgress;
    c.lastHover = windowState.hoverButton;
    return c.backBuffer;
}

void ReleasePaintCache() {
    delete paintCache.staticLayer;
    delete paintCache.backBuffer;
    paintCache = PaintCache();
}
