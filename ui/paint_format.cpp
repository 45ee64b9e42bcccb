// The frame's pure rules: percentage and badge texts, fill width, waiting shimmer position.
#include "ui/paint_format.h"

#include <cmath>

float ClampedProgress(float displayedProgress) {
    if (!(displayedProgress > 0.0f)) return 0.0f;
    return displayedProgress > 1000.0f ? 1000.0f : displayedProgress;
}

std::wstring FormatPercent(float displayedProgress) {
    const int percent = static_cast<int>(ClampedProgress(displayedProgress) / 10.0f + 0.5f);
    return std::to_wstring(percent) + L" %";
}

std::wstring FormatBadgeText(int32_t serverState, uint64_t manifestSerial) {
    if (serverState == 2) return L"Update-Server nicht erreichbar";
    if (serverState != 1) return L"Verbinde ...";
    if (manifestSerial == 0) return L"Update-Server verbunden";
    return L"Update-Server verbunden  \u00B7  Stand " + std::to_wstring(manifestSerial);
}

uint32_t BadgeDotColour(int32_t serverState) {
    if (serverState == 1) return 0xFF46C85A;
    if (serverState == 2) return 0xFFDC4638;
    return 0xFFD2AA46;
}

float FillWidthPixels(float displayedProgress, float innerWidth, float uiScale) {
    return ClampedProgress(displayedProgress) / 1000.0f * innerWidth * uiScale;
}

bool FillVisible(float fillWidthPixels) { return fillWidthPixels > 1.0f; }

bool ShimmerVisible(int32_t progressPermille, bool finished) {
    return progressPermille <= 0 && !finished;
}

float ShimmerLeft(uint32_t tick, float innerX, float innerWidth, float uiScale) {
    // Double precision: in single precision a tick count of days would make the band jump.
    const double travelled = static_cast<double>(tick) * kShimmerSpeed * uiScale;
    const double period = (static_cast<double>(innerWidth) + kShimmerWidth) * uiScale;
    const double r = std::fmod(travelled, period);
    return static_cast<float>(innerX * uiScale + r - kShimmerWidth * uiScale);
}
