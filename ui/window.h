// The launcher window: its class, procedure, button hit test and frame timer.
#pragma once
#include <cstdint>

#include "ui/geometry.h"

// Takes the geometry into windowState (windowWidth, windowHeight, uiScale).
void ApplyWindowGeometry(const WindowGeometry& geometry);

// Registers the class "QuillorUpdater" and creates the hidden popup window "Quillor - Updater"
// at (left, top) with windowState's size; stores it in windowState.mainWindow. instance is the
// HINSTANCE. False when the class or the window cannot be made.
bool CreateMainWindow(void* instance, int32_t left, int32_t top);

// The hit code at a client pixel in the current run state (reads finished/succeeded under
// statusLock).
int32_t ButtonAtPoint(int32_t x, int32_t y);

// One 33 ms tick: eases displayedProgress, closes the window 1100 ms after a successful run
// (starting the game unless noLaunch), otherwise requests a repaint. window is the HWND.
void FrameTimerTick(void* window);
