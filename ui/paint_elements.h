// The frame's elements, shared by the reference painter and the cached painter.
#pragma once
#include <cstdint>
#include <string>

namespace Gdiplus {
class Bitmap;
class Graphics;
}

// What one frame is painted from: the status snapshot and the window state it needs.
struct FrameInputs {
    std::wstring statusText, detailText, errorText;
    int32_t progressPermille = 0;
    bool finished = false;
    bool failed = false;  // finished without success: the failure layout
    int32_t serverState = 0;
    uint64_t manifestSerial = 0;
    uint32_t tick = 0;  // places the waiting band
};

// Copies the status texts, progress and finished under statusLock (errorText only after a failure).
FrameInputs TakeSnapshot(uint32_t tick);

// A new windowWidth x windowHeight PARGB bitmap, or null.
Gdiplus::Bitmap* NewFrameBitmap();
void SetUpGraphics(Gdiplus::Graphics& g);

// The elements in painting order; PaintLayout is the status area or the failure panel, the
// only part that moves. None of it touches a pixel of the frame border.
void PaintBackground(Gdiplus::Graphics& g);
void PaintBackdropShade(Gdiplus::Graphics& g);
void PaintFeatureTiles(Gdiplus::Graphics& g);
void PaintSeparator(Gdiplus::Graphics& g);
void PaintServerBadge(Gdiplus::Graphics& g, int32_t serverState, uint64_t serial);
void PaintLayout(Gdiplus::Graphics& g, const FrameInputs& in);
void PaintFrameBorder(Gdiplus::Graphics& g);
