// What a screen reader is told about the launcher window in every state, and where.
#include "ui/accessible.h"

#include <gtest/gtest.h>

namespace {

using Role = AccessibleRole;

FrameInputs Working(const std::wstring& status, const std::wstring& detail) {
    FrameInputs in;
    in.statusText = status;
    in.detailText = detail;
    in.serverState = 1;
    in.manifestSerial = 4711;
    return in;
}

FrameInputs Failed(const std::wstring& message) {
    FrameInputs in = Working(L"", L"");
    in.finished = true;
    in.failed = true;
    in.errorText = message;
    in.serverState = 2;
    return in;
}

struct Expected {
    Role role;
    std::wstring name, value;
    float x, y;  // design place, which ties the part to what the painter draws there
    bool hot;
};

}  // namespace

TEST(AccessibleView, PartsOfEveryStateInReadingOrder) {
    const std::wstring badge = L"Update-Server verbunden  \u00B7  Stand 4711";
    const struct {
        const char* state;
        FrameInputs in;
        float displayed;
        int32_t hover;
        std::vector<Expected> parts;
    } cases[] = {
        {"working, pointer on Beenden", Working(L"Lade Update 1 von 2 ...", L"maps/one.map"), 994.0f, kHitClose,
         {{Role::StaticText, L"Lade Update 1 von 2 ...", L"", 212, 303, false},
          {Role::ProgressBar, L"Fortschritt", L"99 %", 272, 332, false},
          {Role::StaticText, L"maps/one.map", L"", 272, 352, false},
          {Role::PushButton, L"Beenden", L"", 804, 19, true},
          {Role::StaticText, badge, L"", 56, 20, false}}},
        {"failed, pointer on Trotzdem starten", Failed(L"Manifest fehlt"), 500.0f, kHitLaunchAnyway,
         {{Role::StaticText, L"UPDATE FEHLGESCHLAGEN", L"", 282, 112, false},
          {Role::StaticText, L"Manifest fehlt", L"", 306, 148, false},
          {Role::PushButton, L"Trotzdem starten", L"", 302, 202, true},
          {Role::PushButton, L"Schlie\u00DFen", L"", 494, 202, false},
          {Role::StaticText, L"Update-Server nicht erreichbar", L"", 56, 20, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        const AccessibleView view = BuildAccessibleView(c.in, c.displayed, c.hover);
        EXPECT_EQ(view.failed, c.in.failed);
        ASSERT_EQ(view.items.size(), c.parts.size());
        for (size_t i = 0; i < c.parts.size(); ++i) {
            SCOPED_TRACE(i + 1);
            const AccessibleItem& got = view.items[i];
            EXPECT_EQ(got.role, c.parts[i].role);
            EXPECT_EQ(got.name, c.parts[i].name);
            EXPECT_EQ(got.value, c.parts[i].value);
            EXPECT_EQ(got.rect.x, c.parts[i].x);
            EXPECT_EQ(got.rect.y, c.parts[i].y);
            EXPECT_EQ(got.hot, c.parts[i].hot);
        }
    }
    EXPECT_EQ(BuildAccessibleView(Failed(L""), 0, 0).items[kAccessibleErrorChild - 1].rect.y, 148);
}

TEST(AccessibleView, PixelBoxesAndHitsFollowTheScale) {
    const struct {
        float scale;
        DesignRect rect;
        PixelBox box;
    } boxes[] = {
        {1.0f, quitButtonRect, {804, 19, 108, 24}},
        {1.7925311f, quitButtonRect, {1441, 34, 194, 43}},
        {0.9771784f, progressBarRect, {266, 324, 410, 16}},
    };
    for (const auto& c : boxes) {
        const PixelBox box = DesignToPixelBox(c.rect, c.scale);
        EXPECT_EQ(box.left, c.box.left) << c.scale;
        EXPECT_EQ(box.top, c.box.top) << c.scale;
        EXPECT_EQ(box.width, c.box.width) << c.scale;
        EXPECT_EQ(box.height, c.box.height) << c.scale;
    }

    const AccessibleView working = BuildAccessibleView(Working(L"a", L"b"), 0, 0);
    const AccessibleView failed = BuildAccessibleView(Failed(L"x"), 0, 0);
    const struct {
        const AccessibleView* view;
        float scale;
        int32_t x, y, child;
    } hits[] = {
        {&working, 1.0f, 804, 19, 4},  // the hit test's edges count as inside
        {&working, 1.0f, 913, 43, 0},
        {&working, 1.0f, 482, 315, 1},
        {&working, 1.0f, 482, 340, 2},
        {&working, 1.0f, 100, 30, 5},
        {&working, 1.0f, 482, 200, 0},
        {&working, 1.7925311f, 1538, 55, 4},
        {&failed, 1.0f, 850, 30, 0},  // where "Beenden" was
        {&failed, 1.0f, 386, 217, 3},
        {&failed, 1.0f, 482, 170, 2},
    };
    for (const auto& c : hits)
        EXPECT_EQ(AccessibleChildAt(*c.view, c.x, c.y, c.scale), c.child) << c.x << "," << c.y;
}
