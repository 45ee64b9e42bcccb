// Tests for the frame's pure rules: percentage and badge texts, fill width, waiting band.
#include "ui/paint_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(PaintFormat, PercentRoundsHalfUpAndNeverLeavesZeroToHundred) {
    EXPECT_EQ(L"0 %", FormatPercent(0));
    EXPECT_EQ(L"0 %", FormatPercent(4.9f));
    EXPECT_EQ(L"1 %", FormatPercent(5));
    EXPECT_EQ(L"40 %", FormatPercent(400));
    EXPECT_EQ(L"99 %", FormatPercent(994));
    EXPECT_EQ(L"100 %", FormatPercent(995));
    EXPECT_EQ(L"100 %", FormatPercent(1000));
    // Stored progress is not clamped: a body longer than its size pushes it past 1000.
    EXPECT_EQ(L"100 %", FormatPercent(1500));
    EXPECT_EQ(L"100 %", FormatPercent(std::numeric_limits<float>::infinity()));
    EXPECT_EQ(L"0 %", FormatPercent(-20));
    EXPECT_EQ(L"0 %", FormatPercent(std::nanf("")));
}

TEST(PaintFormat, BadgeTextAndDotFollowServerState) {
    EXPECT_EQ(L"Verbinde ...", FormatBadgeText(0, 0));
    EXPECT_EQ(L"Verbinde ...", FormatBadgeText(7, 4711));
    EXPECT_EQ(L"Verbinde ...", FormatBadgeText(-1, 0));
    EXPECT_EQ(L"Update-Server nicht erreichbar", FormatBadgeText(2, 4711));
    EXPECT_EQ(L"Update-Server verbunden", FormatBadgeText(1, 0));
    EXPECT_EQ(L"Update-Server verbunden  \u00B7  Stand 4711", FormatBadgeText(1, 4711));
    EXPECT_EQ(L"Update-Server verbunden  \u00B7  Stand 18446744073709551615",
              FormatBadgeText(1, UINT64_MAX));
    EXPECT_EQ(0xFFD2AA46u, BadgeDotColour(0));
    EXPECT_EQ(0xFFD2AA46u, BadgeDotColour(3));
    EXPECT_EQ(0xFF46C85Au, BadgeDotColour(1));
    EXPECT_EQ(0xFFDC4638u, BadgeDotColour(2));
}

TEST(PaintFormat, FillWidthIsClampedAndDrawnOnlyAboveOnePixel) {
    EXPECT_FLOAT_EQ(416.0f, FillWidthPixels(1000, 416, 1.0f));
    EXPECT_FLOAT_EQ(416.0f, FillWidthPixels(1800, 416, 1.0f));
    EXPECT_FLOAT_EQ(0.0f, FillWidthPixels(-3, 416, 1.0f));
    EXPECT_NEAR(416.0f * 1.7925311f, FillWidthPixels(1000, 416, 1.7925311f), 1e-3);
    EXPECT_NEAR(166.4f, FillWidthPixels(400, 416, 1.0f), 1e-3);
    EXPECT_FALSE(FillVisible(FillWidthPixels(2, 416, 1.0f)));   // 0.83 px
    EXPECT_FALSE(FillVisible(1.0f));
    EXPECT_TRUE(FillVisible(FillWidthPixels(3, 416, 1.0f)));    // 1.25 px
    EXPECT_TRUE(FillVisible(FillWidthPixels(2, 416, 1.7925311f)));  // 1.49 px at a larger scale
}

TEST(PaintFormat, ShimmerOnlyBeforeProgressWhileWorking) {
    EXPECT_TRUE(ShimmerVisible(0, false));
    EXPECT_TRUE(ShimmerVisible(-5, false));
    // Gone as soon as progress exists, even while the display still eases up from 0.
    EXPECT_FALSE(ShimmerVisible(1, false));
    EXPECT_FALSE(ShimmerVisible(0, true));
    EXPECT_FALSE(ShimmerVisible(1000, true));
}

TEST(PaintFormat, ShimmerEntersLeftMovesRightAndRepeats) {
    // At tick 0 the band lies wholly left of the inner track, ending at its left edge.
    EXPECT_FLOAT_EQ(274.0f - 110.0f, ShimmerLeft(0, 274, 416, 1.0f));
    EXPECT_NEAR(274.0f - 110.0f + 220.0f, ShimmerLeft(1000, 274, 416, 1.0f), 1e-3);
    const float s = 1.7925311f;
    EXPECT_NEAR((274.0f - 110.0f + 220.0f) * s, ShimmerLeft(1000, 274, 416, s), 1e-2);
    // A full sweep lasts (416 + 110) / 0.22 ms at every scale.
    const uint32_t sweep = 2391;
    EXPECT_LT(ShimmerLeft(sweep, 274, 416, 1.0f), ShimmerLeft(sweep - 10, 274, 416, 1.0f));
    EXPECT_LT(ShimmerLeft(sweep, 274, 416, s), ShimmerLeft(sweep - 10, 274, 416, s));
    for (uint32_t t = 0; t < 3 * sweep; t += 37) {
        const float x = ShimmerLeft(t, 274, 416, 1.0f);
        EXPECT_GE(x, 274.0f - 110.0f);
        EXPECT_LT(x, 274.0f + 416.0f);
    }
}

TEST(PaintFormat, ShimmerStillMovesSmoothlyAfterWeeksOfUptime) {
    const uint32_t late = 4000000000u;  // 46 days of tick count
    const float step = ShimmerLeft(late + 10, 274, 416, 1.0f) - ShimmerLeft(late, 274, 416, 1.0f);
    if (step > 0) {  // unless the band wrapped in between
        EXPECT_NEAR(2.2f, step, 0.01f);
    }
}
