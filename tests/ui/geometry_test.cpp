// Window geometry, hit test and easing of the launcher window.
#include "ui/geometry.h"

#include <gtest/gtest.h>

namespace {

struct GeometryCase {
    bool hasPicture;
    uint32_t pictureWidth, pictureHeight;
    int32_t screenWidth, screenHeight;
    int32_t width, height, left, top;
};

void ExpectGeometry(const GeometryCase& c) {
    SCOPED_TRACE(testing::Message() << "picture " << c.pictureWidth << "x" << c.pictureHeight
                                    << " screen " << c.screenWidth << "x" << c.screenHeight);
    WindowGeometry g = ComputeWindowGeometry(c.hasPicture, c.pictureWidth, c.pictureHeight,
                                             c.screenWidth, c.screenHeight);
    EXPECT_EQ(g.width, c.width);
    EXPECT_EQ(g.height, c.height);
    EXPECT_EQ(g.left, c.left);
    EXPECT_EQ(g.top, c.top);
    EXPECT_EQ(g.uiScale, static_cast<float>(c.width) / 964.0f);
}

}  // namespace

TEST(WindowGeometry, BuiltInPictureOnCommonScreens) {
    const GeometryCase cases[] = {
        {true, 964, 474, 1920, 1080, 964, 474, 478, 303},
        {true, 964, 474, 1024, 768, 942, 463, 41, 152},
        {true, 964, 474, 800, 600, 736, 361, 32, 119},
        {true, 964, 474, 1024, 400, 732, 360, 146, 20},  // the height limit applies
        {true, 964, 474, 3840, 2160, 964, 474, 1438, 843},  // never enlarged
    };
    for (const auto& c : cases) ExpectGeometry(c);
    EXPECT_EQ(ComputeWindowGeometry(true, 964, 474, 1920, 1080).uiScale, 1.0f);
    EXPECT_FLOAT_EQ(ComputeWindowGeometry(true, 964, 474, 1024, 768).uiScale, 0.9771784f);
    EXPECT_FLOAT_EQ(ComputeWindowGeometry(true, 964, 474, 800, 600).uiScale, 0.7634855f);
}

TEST(WindowGeometry, WithoutPictureUsesBuiltInRules) {
    ExpectGeometry({false, 0, 0, 1920, 1080, 964, 474, 478, 303});
    ExpectGeometry({false, 0, 0, 800, 600, 736, 361, 32, 119});
    // A decoded picture that reports no pixels must not divide by zero.
    ExpectGeometry({true, 0, 0, 1920, 1080, 964, 474, 478, 303});
    ExpectGeometry({true, 500, 0, 1920, 1080, 964, 474, 478, 303});
}

TEST(WindowGeometry, OtherPicturesKeepTheirAspectRatio) {
    ExpectGeometry({true, 1920, 1080, 1920, 1080, 1728, 972, 96, 54});
    EXPECT_FLOAT_EQ(ComputeWindowGeometry(true, 1920, 1080, 1920, 1080).uiScale, 1.7925311f);
    ExpectGeometry({true, 600, 300, 1920, 1080, 600, 300, 660, 390});
    // A tall picture hits the height limit first.
    ExpectGeometry({true, 1000, 2000, 1920, 1080, 486, 972, 717, 54});
}

TEST(HitTest, QuitButtonEdgesCountAsInsideAtScaleOne) {
    EXPECT_EQ(HitCodeAt(804, 19, false, 1.0f), kHitClose);
    EXPECT_EQ(HitCodeAt(912, 43, false, 1.0f), kHitClose);
    EXPECT_EQ(HitCodeAt(803, 19, false, 1.0f), kHitNone);
    EXPECT_EQ(HitCodeAt(913, 43, false, 1.0f), kHitNone);
    EXPECT_EQ(HitCodeAt(804, 18, false, 1.0f), kHitNone);
    EXPECT_EQ(HitCodeAt(912, 44, false, 1.0f), kHitNone);
    // The failure buttons are not live while the run works or after success.
    EXPECT_EQ(HitCodeAt(380, 215, false, 1.0f), kHitNone);
    EXPECT_EQ(HitCodeAt(570, 215, false, 1.0f), kHitNone);
}

TEST(HitTest, ScaledEdgesFollowTheScaledProducts) {
    const float scale = 1728.0f / 964.0f;  // a 1920 x 1080 picture on a 1920 x 1080 screen
    // 804 * s = 1441.19, (804 + 108) * s = 1634.79; 19 * s = 34.06, 43 * s = 77.08
    EXPECT_EQ(HitCodeAt(1442, 35, false, scale), kHitClose);
    EXPECT_EQ(HitCodeAt(1634, 77, false, scale), kHitClose);
    EXPECT_EQ(HitCodeAt(1441, 35, false, scale), kHitNone);
    EXPECT_EQ(HitCodeAt(1635, 77, false, scale), kHitNone);
    EXPECT_EQ(HitCodeAt(1500, 34, false, scale), kHitNone);
    EXPECT_EQ(HitCodeAt(1500, 78, false, scale), kHitNone);
    // The unscaled design place is empty at this scale.
    EXPECT_EQ(HitCodeAt(850, 30, false, scale), kHitNone);

    const float small = 736.0f / 964.0f;  // 800 x 600 screen
    // 804 * s = 613.84, 912 * s = 696.30
    EXPECT_EQ(HitCodeAt(614, 20, false, small), kHitClose);
    EXPECT_EQ(HitCodeAt(696, 32, false, small), kHitClose);
    EXPECT_EQ(HitCodeAt(613, 20, false, small), kHitNone);
    EXPECT_EQ(HitCodeAt(697, 20, false, small), kHitNone);
}

TEST(HitTest, FailedStateOffersOnlyThePanelButtons) {
    EXPECT_EQ(HitCodeAt(850, 30, true, 1.0f), kHitNone);  // "Beenden"'s place is caption
    EXPECT_EQ(HitCodeAt(302, 202, true, 1.0f), kHitLaunchAnyway);
    EXPECT_EQ(HitCodeAt(470, 232, true, 1.0f), kHitLaunchAnyway);
    EXPECT_EQ(HitCodeAt(471, 215, true, 1.0f), kHitNone);  // the gap between the buttons
    EXPECT_EQ(HitCodeAt(494, 202, true, 1.0f), kHitClose);
    EXPECT_EQ(HitCodeAt(662, 232, true, 1.0f), kHitClose);
    EXPECT_EQ(HitCodeAt(663, 232, true, 1.0f), kHitNone);
    EXPECT_EQ(HitCodeAt(400, 150, true, 1.0f), kHitNone);  // the panel itself is not a button
    EXPECT_EQ(HitCodeAt(380 * 2, 215 * 2, true, 2.0f), kHitLaunchAnyway);
    EXPECT_EQ(HitCodeAt(570 * 2, 215 * 2, true, 2.0f), kHitClose);
}

TEST(HitTest, PointsFarOutsideAreNoButton) {
    EXPECT_EQ(HitCodeAt(-32768, -32768, false, 1.0f), kHitNone);
    EXPECT_EQ(HitCodeAt(32767, 32767, true, 1.0f), kHitNone);
}

TEST(ProgressEasing, JumpToFullReachesExactlyThousandAfter36Ticks) {
    float d = 0.0f;
    d = EaseProgress(d, 1000);
    EXPECT_FLOAT_EQ(d, 180.0f);
    d = EaseProgress(d, 1000);
    EXPECT_FLOAT_EQ(d, 327.6f);
    d = EaseProgress(d, 1000);
    EXPECT_NEAR(d, 448.632f, 0.001f);
    for (int tick = 4; tick <= 35; ++tick) {
        d = EaseProgress(d, 1000);
        EXPECT_LT(d, 1000.0f) << "tick " << tick;
    }
    d = EaseProgress(d, 1000);
    EXPECT_EQ(d, 1000.0f);
    EXPECT_EQ(EaseProgress(d, 1000), 1000.0f);
}

TEST(ProgressEasing, SnapsOnlyInsideTheLastFractionAndFollowsDownwards) {
    EXPECT_EQ(EaseProgress(999.1f, 1000), 1000.0f);  // 999.262 is 0.738 away: snap
    EXPECT_FLOAT_EQ(EaseProgress(999.0f, 1000), 999.18f);  // 0.82 away: no snap
    EXPECT_FLOAT_EQ(EaseProgress(500.0f, 0), 410.0f);
    EXPECT_EQ(EaseProgress(0.5f, 0), 0.0f);
    EXPECT_EQ(EaseProgress(0.0f, 0), 0.0f);
    // A body longer than its manifest size can push the target above 1000.
    EXPECT_FLOAT_EQ(EaseProgress(1000.0f, 1100), 1018.0f);
}
