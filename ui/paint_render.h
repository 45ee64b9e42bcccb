// Frame rendering into off-screen bitmaps: the element-by-element reference and the cached painter.
#pragma once
#include <cstdint>

namespace Gdiplus {
class Bitmap;
}

// Paints the current frame (update status and window state) element by element into a new
// windowWidth x windowHeight PARGB bitmap, the waiting band placed for tick. Caller deletes it.
Gdiplus::Bitmap* RenderFrameReference(uint32_t tick);

// The same frame from the cached layers (background up to the badge, and the frame border,
// drawn once); returns the painter's own back buffer, valid until the next call. Null on failure.
Gdiplus::Bitmap* RenderFrameCached(uint32_t tick);

// Drops the cached layers and back buffer (after the window state changed, and before
// GdiplusShutdown).
void ReleasePaintCache();
