// Shared by the paint bench and the frame renderer: GDI+ start-up, window state and PNG output.
#pragma once
#include <windows.h>

#include <algorithm>
using std::max;
using std::min;
#include <objidl.h>
#include <gdiplus.h>

#include <string>

#include "ui/window_state.h"

// Starts GDI+ for the life of the process.
inline bool StartGdiplusOnce() {
    static ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    return token || Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
}

// Sets the window state for a width x height window; picture (may be empty) is scaled to it
// with the high-quality filter the window run uses.
inline void SetUpWindow(int width, int height, const std::wstring& picture) {
    delete windowState.backgroundBitmap;
    windowState = WindowState();
    windowState.windowWidth = width;
    windowState.windowHeight = height;
    windowState.uiScale = width / 964.0f;
    if (picture.empty()) return;
    Gdiplus::Bitmap source(picture.c_str());
    if (source.GetLastStatus() != Gdiplus::Ok) return;
    auto* scaled = new Gdiplus::Bitmap(width, height, PixelFormat32bppPARGB);
    Gdiplus::Graphics g(scaled);
    g.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    g.DrawImage(&source, 0, 0, width, height);
    windowState.backgroundBitmap = scaled;
}

// Saves bitmap as PNG at path.
inline bool SavePng(Gdiplus::Bitmap* bitmap, const std::wstring& path) {
    const CLSID png = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
    return bitmap->Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
}
