// Window geometry, button hit test and progress easing of the launcher window.
#include "ui/geometry.h"

#include <cmath>

namespace {

// Every step works in single precision. The 32-bit build computes on the x87 unit, which keeps
// extra precision even across assignments (GCC 12 has no standard excess precision for C++):
// 1080 * 0.9f would truncate to 971 instead of 972. A store through memory rounds to float.
float Single(float value) {
    volatile float stored = value;
    return stored;
}

}  // namespace

WindowGeometry ComputeWindowGeometry(bool hasPicture, uint32_t pictureWidth,
                                     uint32_t pictureHeight, int32_t screenWidth,
                                     int32_t screenHeight) {
    // A picture without pixels would divide by zero; it counts as no picture.
    if (pictureWidth == 0 || pictureHeight == 0) hasPicture = false;
    const float aspect = hasPicture ? Single(static_cast<float>(pictureWidth) /
                                             static_cast<float>(pictureHeight))
                                    : Single(kDesignWidth / kDesignHeight);
    const int64_t widest = hasPicture ? static_cast<int64_t>(pictureWidth) : 964;

    const float maxWidth = Single(static_cast<float>(screenWidth) * 0.92f);
    const float maxHeight = Single(static_cast<float>(screenHeight) * 0.9f);
    int32_t width = static_cast<int32_t>(maxWidth);
    if (widest < width) width = static_cast<int32_t>(widest);
    const float heightF = Single(static_cast<float>(width) / aspect);
    int32_t height = static_cast<int32_t>(heightF);
    if (height > static_cast<int32_t>(maxHeight)) {
        height = static_cast<int32_t>(maxHeight);
        const float widthF = Single(static_cast<float>(height) * aspect);
        width = static_cast<int32_t>(widthF);
    }

    WindowGeometry geometry;
    geometry.width = width;
    geometry.height = height;
    geometry.uiScale = Single(static_cast<float>(width) / kDesignWidth);
    geometry.left = (screenWidth - width) / 2;
    geometry.top = (screenHeight - height) / 2;
    return geometry;
}

bool PointInDesignRect(float x, float y, const DesignRect& rect, float scale) {
    const float left = Single(rect.x * scale);
    const float right = Single(left + Single(rect.width * scale));
    const float top = Single(rect.y * scale);
    const float bottom = Single(top + Single(rect.height * scale));
    return x >= left && x <= right && y >= top && y <= bottom;
}

int32_t HitCodeAt(int32_t x, int32_t y, bool failed, float scale) {
    const float fx = static_cast<float>(x);
    const float fy = static_cast<float>(y);
    if (failed) {
        if (PointInDesignRect(fx, fy, launchAnywayButtonRect, scale)) return kHitLaunchAnyway;
        if (PointInDesignRect(fx, fy, closeButtonRect, scale)) return kHitClose;
        return kHitNone;
    }
    return PointInDesignRect(fx, fy, quitButtonRect, scale) ? kHitClose : kHitNone;
}

float EaseProgress(float displayed, int32_t targetPermille) {
    const float target = static_cast<float>(targetPermille);
    float next = Single(displayed + Single(Single(target - displayed) * 0.18f));
    const float rest = Single(std::fabs(target - next));
    if (rest < 0.8f) next = target;
    return next;
}
