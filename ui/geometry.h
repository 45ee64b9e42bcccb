// Window geometry, button hit test and progress easing of the launcher window (no platform code).
#pragma once
#include <cstdint>

#include "ui/window_state.h"

// Where the window goes and how the 964 x 474 layout maps onto it.
struct WindowGeometry {
    int32_t width = 0;
    int32_t height = 0;
    int32_t left = 0;
    int32_t top = 0;
    float uiScale = 1.0f;
};

// Fits the picture (or, when hasPicture is false, the built-in 964 x 474 ratio) into 92 % of the
// screen width and 90 % of its height, never enlarging it, centred on the screen.
WindowGeometry ComputeWindowGeometry(bool hasPicture, uint32_t pictureWidth,
                                     uint32_t pictureHeight, int32_t screenWidth,
                                     int32_t screenHeight);

// True when the pixel point lies in the design rectangle scaled by scale; all four edges inside.
bool PointInDesignRect(float x, float y, const DesignRect& rect, float scale);

// The hit code (kHitNone, kHitClose, kHitLaunchAnyway) of a client pixel; failed is the state
// "finished and not succeeded", in which only the failure panel's buttons are live.
int32_t HitCodeAt(int32_t x, int32_t y, bool failed, float scale);

// One timer tick of the progress display: 18 % of the gap to the target, snapping when close.
float EaseProgress(float displayed, int32_t targetPermille);
