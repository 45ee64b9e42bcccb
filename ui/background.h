// The launcher window's background picture: found beside the program or built in, scaled once.
#pragma once

namespace Gdiplus {
class Bitmap;
}

// "updater_bg.png", then "updater_bg.jpg" in installDir, then the built-in picture (RCDATA 101 of
// this program's module). Returns a bitmap the caller owns, or nullptr. GDI+ must be started.
Gdiplus::Bitmap* LoadBackgroundPicture();

// The same, with the built-in picture taken from module (an HMODULE; tests pass the updater's).
Gdiplus::Bitmap* LoadBackgroundPictureFrom(void* module);

// Makes windowState.backgroundBitmap (windowWidth x windowHeight, 32bpp PARGB) from picture, or
// fills it with 0xFF0E0907 without one; frees picture. Needs the window geometry to be set.
// Leaves backgroundBitmap null when no bitmap of that size can be made.
void BuildBackgroundBitmap(Gdiplus::Bitmap* picture);
