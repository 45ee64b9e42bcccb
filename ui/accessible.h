// What a screen reader is told about the launcher window: its parts, computed from a frame's snapshot.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ui/paint_elements.h"
#include "ui/window_state.h"

enum class AccessibleRole { StaticText, ProgressBar, PushButton };

// One part of the window as an accessibility client sees it (child id = index + 1).
struct AccessibleItem {
    AccessibleRole role = AccessibleRole::StaticText;
    std::wstring name;
    std::wstring value;  // the percentage of the bar; texts and buttons have none
    DesignRect rect = {0, 0, 0, 0};
    int32_t hitCode = kHitNone;  // push buttons: the hit code a press on them acts as
    bool hot = false;            // drawn highlighted
};

struct AccessibleView {
    bool failed = false;  // the failure panel is up
    std::vector<AccessibleItem> items;
};

constexpr wchar_t kAccessibleWindowName[] = L"Quillor - Updater";
constexpr wchar_t kAccessiblePressAction[] = L"Dr\u00FCcken";
constexpr wchar_t kAccessibleCloseShortcut[] = L"Esc";  // Escape closes the window in every state
// Child id of the failure message in the failure layout (the target of the alert).
constexpr int32_t kAccessibleErrorChild = 2;

// The parts the frame painted from in shows, with the progress as painted from displayedProgress
// and the button under hoverButton hot.
AccessibleView BuildAccessibleView(const FrameInputs& in, float displayedProgress,
                                   int32_t hoverButton);

// A design rectangle in whole client pixels: edges rounded to the nearest pixel.
struct PixelBox {
    int32_t left = 0, top = 0, width = 0, height = 0;
};
PixelBox DesignToPixelBox(const DesignRect& rect, float scale);

// The child id at a client pixel (buttons as the hit test sees them, texts by their boxes); 0 none.
int32_t AccessibleChildAt(const AccessibleView& view, int32_t x, int32_t y, float scale);

enum class AccessibleEvent { NameChange, ValueChange, StateChange, Reorder, Alert };
struct AccessibleNotice {
    AccessibleEvent event;
    int32_t childId;  // 0: the window's client object itself
    bool operator==(const AccessibleNotice& other) const {
        return event == other.event && childId == other.childId;
    }
};

// What to announce going from the view last announced to now: a new layout as one reorder (and an
// alert when it is the failure panel), otherwise each changed name, value and highlight.
std::vector<AccessibleNotice> AccessibleChanges(const AccessibleView& before,
                                                const AccessibleView& after);

// What to announce when the window is first seen: nothing, unless it already shows the failure
// panel, whose alert a reader listening with a global event hook would otherwise never get.
std::vector<AccessibleNotice> FirstAnnouncement(const AccessibleView& now);

// Changes are announced at most this often; the painted figures change up to 30 times a second.
constexpr uint32_t kAnnounceIntervalMs = 250;

// The window's side (accessible_win.cpp), called on the window's thread; window is the HWND.
// WM_GETOBJECT: the answer for the client object, or 0 to leave the request to the system.
intptr_t AnswerGetObject(void* window, uintptr_t wParam, intptr_t lParam);
// Announces what changed since the last announcement; does nothing within kAnnounceIntervalMs
// of it. The first call after the window appears announces FirstAnnouncement. Events are raised
// whether or not a client has asked for the object: NotifyWinEvent needs no COM.
void AnnounceAccessibleChanges(void* window, uint32_t tick);
// The window goes: a client still holding the object gets CO_E_OBJNOTCONNECTED from then on.
void DisconnectAccessible();
