// The launcher window's IAccessible in process: which requests it answers, what it announces, and
// a held object after the window has gone.
#include <windows.h>
#include <ole2.h>
#include <oleacc.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/accessible.h"
#include "ui/window.h"
#include "ui/window_state.h"
#include "update/status.h"

namespace {

VARIANT Child(LONG id) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = id;
    return v;
}

class AccessibleWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ResetUpdateStatus();
        windowState = WindowState();
        ApplyWindowGeometry({964, 474, 40, 30, 1.0f});
        // The class is registered by the first call of the process. Without a display (ctest
        // under Wine) only a message-only window of the class can be made, which serves here.
        if (!CreateMainWindow(GetModuleHandleW(nullptr), 40, 30))
            windowState.mainWindow = CreateWindowExW(0, L"QuillorUpdater", L"Quillor - Updater", 0,
                                                     0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        window = static_cast<HWND>(windowState.mainWindow);
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        if (IsWindow(window)) DestroyWindow(window);
        MSG quit;
        while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {}
        windowState = WindowState();
        ResetUpdateStatus();
    }
    IAccessible* Ask(LPARAM objectId) {
        const LRESULT answer = SendMessageW(window, WM_GETOBJECT, 0, objectId);
        IAccessible* object = nullptr;
        if (answer > 0) ObjectFromLresult(answer, __uuidof(IAccessible), 0, reinterpret_cast<void**>(&object));
        return object;
    }
    void Fail(const char* message) {
        StatusLockHold hold;
        updateStatus.errorText = message;
        updateStatus.succeeded = false;
        updateStatus.finished = true;
    }
    HWND window = nullptr;
};

}  // namespace

TEST_F(AccessibleWindow, AnswersTheClientObjectWhicheverWayItsIdIsWidened) {
    const struct {
        const char* form;
        LPARAM objectId;
        bool ours;
    } cases[] = {
        {"sign-extended OBJID_CLIENT", static_cast<LPARAM>(OBJID_CLIENT), true},
        {"zero-extended OBJID_CLIENT", static_cast<LPARAM>(static_cast<DWORD>(OBJID_CLIENT)), true},
        {"OBJID_WINDOW", static_cast<LPARAM>(OBJID_WINDOW), false},
        {"OBJID_CARET", static_cast<LPARAM>(static_cast<DWORD>(OBJID_CARET)), false},
    };
    for (const auto& c : cases) {
        IAccessible* object = Ask(c.objectId);
        EXPECT_EQ(object != nullptr, c.ours) << c.form;
        if (object) object->Release();
    }
}

namespace {

struct SeenEvent {
    DWORD event;
    LONG child;
    bool operator==(const SeenEvent& other) const {
        return event == other.event && child == other.child;
    }
};
std::vector<SeenEvent> seenEvents;
HWND watchedWindow = nullptr;

void CALLBACK RecordEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD,
                          DWORD) {
    if (window == watchedWindow && object == OBJID_CLIENT) seenEvents.push_back({event, child});
}

}  // namespace

// The events an announcement at tick raises, as a hook of the whole process sees them.
std::vector<SeenEvent> AnnouncedAt(HWND window, uint32_t tick) {
    seenEvents.clear();
    watchedWindow = window;
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_MIN, EVENT_MAX, nullptr, RecordEvent,
                                         GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    EXPECT_NE(hook, nullptr);
    AnnounceAccessibleChanges(window, tick);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    if (hook) UnhookWinEvent(hook);
    return seenEvents;
}

TEST_F(AccessibleWindow, AnnouncesChangesAtMostFourTimesASecond) {
    const struct {
        uint32_t tick;
        const wchar_t* status;
        float displayed;
        int32_t hover;
        const char* failure;
        std::vector<SeenEvent> events;
    } steps[] = {
        {1000, L"Pr\u00FCfe Dateien ...", 0, 0, nullptr, {}},  // what is there when the window appears
        {1100, L"Lade Update 1 von 1 ...", 0, 0, nullptr, {}},  // too soon after the last
        {1250, L"Lade Update 1 von 1 ...", 123, 0, nullptr,
         {{EVENT_OBJECT_NAMECHANGE, 1}, {EVENT_OBJECT_VALUECHANGE, 2}}},
        {1500, L"Lade Update 1 von 1 ...", 124.9f, 0, nullptr, {}},  // still "12 %"
        {1750, L"Lade Update 1 von 1 ...", 125, kHitClose, nullptr,
         {{EVENT_OBJECT_VALUECHANGE, 2}, {EVENT_OBJECT_STATECHANGE, 4}}},
        {2000, L"Lade Update 1 von 1 ...", 125, kHitClose, "Keine Verbindung",
         {{EVENT_OBJECT_REORDER, CHILDID_SELF}, {EVENT_SYSTEM_ALERT, kAccessibleErrorChild}}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.tick);
        SetStatusText(step.status, L"");
        windowState.displayedProgress = step.displayed;
        windowState.hoverButton = step.hover;
        if (step.failure) Fail(step.failure);
        EXPECT_EQ(AnnouncedAt(window, step.tick), step.events);
    }
}

// No client has asked for the object here: a reader that only listens still hears the failure.
TEST_F(AccessibleWindow, FailureAlreadyUpWhenTheWindowIsFirstSeenRaisesTheAlert) {
    Fail("Keine Verbindung");
    EXPECT_EQ(AnnouncedAt(window, 1000), (std::vector<SeenEvent>{{EVENT_SYSTEM_ALERT, kAccessibleErrorChild}}));
    EXPECT_EQ(AnnouncedAt(window, 1250), std::vector<SeenEvent>{});
}

TEST_F(AccessibleWindow, HeldObjectAnswersNotConnectedOnceTheWindowHasGone) {
    IAccessible* object = Ask(static_cast<LPARAM>(OBJID_CLIENT));
    ASSERT_NE(object, nullptr);
    LONG count = 0;
    ASSERT_EQ(object->get_accChildCount(&count), S_OK);
    object->AddRef();  // a second holder
    ASSERT_TRUE(DestroyWindow(window));
    BSTR text = nullptr;
    VARIANT out;
    LONG left, top, width, height;
    IDispatch* parent = nullptr;
    const HRESULT results[] = {
        object->get_accChildCount(&count),
        object->get_accName(Child(CHILDID_SELF), &text),
        object->get_accValue(Child(2), &text),
        object->get_accRole(Child(1), &out),
        object->get_accState(Child(4), &out),
        object->accLocation(&left, &top, &width, &height, Child(4)),
        object->accHitTest(100, 100, &out),
        object->accNavigate(NAVDIR_FIRSTCHILD, Child(CHILDID_SELF), &out),
        object->accDoDefaultAction(Child(4)),
        object->get_accFocus(&out),
        object->get_accParent(&parent),
        object->get_accDefaultAction(Child(4), &text),
        object->Invoke(0, IID_NULL, 0, 0, nullptr, nullptr, nullptr, nullptr),
    };
    for (size_t i = 0; i < sizeof results / sizeof results[0]; ++i)
        EXPECT_EQ(results[i], CO_E_OBJNOTCONNECTED) << "call " << i;
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(parent, nullptr);
    MSG message;  // the quit message of WM_DESTROY is there too
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        EXPECT_NE(message.message, static_cast<UINT>(WM_LBUTTONDOWN)) << "a press after the window went";
    object->Release();
    object->Release();
}
