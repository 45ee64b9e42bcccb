// What a screen reader is told about the launcher window: its parts, computed from a frame's snapshot.
#include "ui/accessible.h"

#include <cmath>

#include "ui/geometry.h"
#include "ui/paint_format.h"

namespace {

// Where the painter puts each text (design units), as in the frame painter.
constexpr DesignRect kStatusLineRect = {212, 303, 540, 24};
constexpr DesignRect kDetailLineRect = {272, 352, 420, 18};
constexpr DesignRect kFailureTitleRect = {282, 112, 400, 30};
constexpr DesignRect kFailureMessageRect = {306, 148, 352, 56};

// A name only: a reader speaks a value after the name, so a text repeated as its value is heard twice.
AccessibleItem Text(const std::wstring& text, const DesignRect& rect) {
    AccessibleItem item;
    item.name = text;
    item.rect = rect;
    return item;
}

AccessibleItem Button(const wchar_t* label, const DesignRect& rect, int32_t hitCode,
                      int32_t hoverButton) {
    AccessibleItem item;
    item.role = AccessibleRole::PushButton;
    item.name = label;
    item.rect = rect;
    item.hitCode = hitCode;
    item.hot = hoverButton == hitCode;
    return item;
}

bool SameLayout(const AccessibleView& a, const AccessibleView& b) {
    if (a.failed != b.failed || a.items.size() != b.items.size()) return false;
    for (size_t i = 0; i < a.items.size(); ++i)
        if (a.items[i].role != b.items[i].role || a.items[i].hitCode != b.items[i].hitCode)
            return false;
    return true;
}

}  // namespace

AccessibleView BuildAccessibleView(const FrameInputs& in, float displayedProgress,
                                   int32_t hoverButton) {
    AccessibleView view;
    view.failed = in.failed;
    std::vector<AccessibleItem>& items = view.items;
    if (in.failed) {
        items.push_back(Text(L"UPDATE FEHLGESCHLAGEN", kFailureTitleRect));
        items.push_back(Text(in.errorText, kFailureMessageRect));
        items.push_back(Button(L"Trotzdem starten", launchAnywayButtonRect, kHitLaunchAnyway,
                               hoverButton));
        items.push_back(Button(L"Schlie\u00DFen", closeButtonRect, kHitClose, hoverButton));
    } else {
        items.push_back(Text(in.statusText, kStatusLineRect));
        AccessibleItem bar;
        bar.role = AccessibleRole::ProgressBar;
        bar.name = L"Fortschritt";
        bar.value = FormatPercent(displayedProgress);
        bar.rect = progressBarRect;
        items.push_back(bar);
        items.push_back(Text(in.detailText, kDetailLineRect));
        items.push_back(Button(L"Beenden", quitButtonRect, kHitClose, hoverButton));
    }
    items.push_back(Text(FormatBadgeText(in.serverState, in.manifestSerial), serverBadgeRect));
    return view;
}

PixelBox DesignToPixelBox(const DesignRect& rect, float scale) {
    const auto round = [](float v) { return static_cast<int32_t>(std::lround(v)); };
    PixelBox box;
    box.left = round(rect.x * scale);
    box.top = round(rect.y * scale);
    box.width = round(rect.x * scale + rect.width * scale) - box.left;
    box.height = round(rect.y * scale + rect.height * scale) - box.top;
    return box;
}

int32_t AccessibleChildAt(const AccessibleView& view, int32_t x, int32_t y, float scale) {
    for (size_t i = 0; i < view.items.size(); ++i) {
        const AccessibleItem& item = view.items[i];
        bool inside;
        if (item.role == AccessibleRole::PushButton) {
            inside = PointInDesignRect(static_cast<float>(x), static_cast<float>(y), item.rect, scale);
        } else {
            const PixelBox box = DesignToPixelBox(item.rect, scale);
            inside = x >= box.left && x < box.left + box.width && y >= box.top &&
                     y < box.top + box.height;
        }
        if (inside) return static_cast<int32_t>(i + 1);
    }
    return 0;
}

std::vector<AccessibleNotice> AccessibleChanges(const AccessibleView& before,
                                                const AccessibleView& after) {
    std::vector<AccessibleNotice> notices;
    if (!SameLayout(before, after)) {
        notices.push_back({AccessibleEvent::Reorder, 0});
        if (after.failed) notices.push_back({AccessibleEvent::Alert, kAccessibleErrorChild});
        return notices;
    }
    for (size_t i = 0; i < after.items.size(); ++i) {
        const AccessibleItem& was = before.items[i];
        const AccessibleItem& now = after.items[i];
        const int32_t id = static_cast<int32_t>(i + 1);
        if (was.name != now.name) notices.push_back({AccessibleEvent::NameChange, id});
        if (now.role == AccessibleRole::ProgressBar && was.value != now.value)
            notices.push_back({AccessibleEvent::ValueChange, id});
        if (was.hot != now.hot) notices.push_back({AccessibleEvent::StateChange, id});
    }
    return notices;
}

std::vector<AccessibleNotice> FirstAnnouncement(const AccessibleView& now) {
    if (!now.failed) return {};
    return {{AccessibleEvent::Alert, kAccessibleErrorChild}};
}
