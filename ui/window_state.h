// The launcher window's state and its fixed design rectangles (main thread only).
#pragma once
#include <cstdint>

// A rectangle in design units (the 964 x 474 layout of the built-in picture).
struct DesignRect {
    float x, y, width, height;
};

constexpr float kDesignWidth = 964.0f;
constexpr float kDesignHeight = 474.0f;

constexpr DesignRect serverBadgeRect = {56, 20, 250, 22};
constexpr DesignRect progressBarRect = {272, 332, 420, 16};
constexpr DesignRect quitButtonRect = {804, 19, 108, 24};
constexpr DesignRect failurePanelRect = {282, 100, 400, 150};
constexpr DesignRect launchAnywayButtonRect = {302, 202, 168, 30};
constexpr DesignRect closeButtonRect = {494, 202, 168, 30};

// Hit codes, also the values of hoverButton.
constexpr int kHitNone = 0;
constexpr int kHitClose = 1;  // "Beenden", or "Schließen" on the failure panel
constexpr int kHitLaunchAnyway = 2;

namespace Gdiplus {
class Bitmap;
}

struct WindowState {
    void* mainWindow = nullptr;  // HWND
    int32_t windowWidth = 0;
    int32_t windowHeight = 0;
    float uiScale = 1.0f;
    Gdiplus::Bitmap* backgroundBitmap = nullptr;  // window-sized, owned for the process's life
    int32_t hoverButton = kHitNone;
    float displayedProgress = 0.0f;
};

extern WindowState windowState;
