// PaintFrame: draws one complete frame of the launcher window.
#pragma once

// target is the window's HDC from BeginPaint.
void PaintFrame(void* target);
