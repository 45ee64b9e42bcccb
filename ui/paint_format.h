// The frame's pure rules: percentage and badge texts, fill width, waiting shimmer position.
#pragma once
#include <cstdint>
#include <string>

// displayedProgress limited to 0..1000 (stored progress is not clamped; NaN counts as 0).
float ClampedProgress(float displayedProgress);

// "%d %%" of the clamped progress rounded half up: 994 gives "99 %", 995 gives "100 %".
std::wstring FormatPercent(float displayedProgress);

// The badge text for a serverState value (1 connected, 2 unreachable, else connecting).
std::wstring FormatBadgeText(int32_t serverState, uint64_t manifestSerial);

// The badge dot colour (0xAARRGGBB) for a serverState value.
uint32_t BadgeDotColour(int32_t serverState);

// Fill width in pixels of the clamped progress over an inner track innerWidth design units wide.
float FillWidthPixels(float displayedProgress, float innerWidth, float uiScale);

// The fill is drawn only when it is wider than one pixel.
bool FillVisible(float fillWidthPixels);

// The waiting band shows only before any download progress exists and while the run works.
bool ShimmerVisible(int32_t progressPermille, bool finished);

constexpr float kShimmerWidth = 110.0f;        // design units
constexpr float kShimmerSpeed = 0.22f;         // design units per millisecond

// Left edge in pixels of the waiting band at tick (ms) over an inner track starting at innerX.
float ShimmerLeft(uint32_t tick, float innerX, float innerWidth, float uiScale);
