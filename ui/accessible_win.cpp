// The launcher window for screen readers: its own IAccessible, answered from the frame's snapshot.
#include <windows.h>
#include <ole2.h>
#include <oleacc.h>

#include <new>

#include "ui/accessible.h"
#include "ui/window_state.h"

namespace {

AccessibleView ViewNow(uint32_t tick) {
    return BuildAccessibleView(TakeSnapshot(tick), windowState.displayedProgress,
                               windowState.hoverButton);
}

HRESULT ReturnText(const std::wstring& text, BSTR* out) {
    if (text.empty()) return S_FALSE;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ReturnNumber(LONG number, VARIANT* out) {
    out->vt = VT_I4;
    out->lVal = number;
    return S_OK;
}

LONG RoleOf(const AccessibleItem& item) {
    switch (item.role) {
    case AccessibleRole::ProgressBar: return ROLE_SYSTEM_PROGRESSBAR;
    case AccessibleRole::PushButton: return ROLE_SYSTEM_PUSHBUTTON;
    default: return ROLE_SYSTEM_STATICTEXT;
    }
}

LONG StateOf(const AccessibleItem& item) {
    if (item.role == AccessibleRole::PushButton)
        return STATE_SYSTEM_FOCUSABLE | (item.hot ? STATE_SYSTEM_HOTTRACKED : 0);
    if (item.role == AccessibleRole::StaticText && item.name.empty())
        return STATE_SYSTEM_READONLY | STATE_SYSTEM_INVISIBLE;
    return STATE_SYSTEM_READONLY;
}

// A plain COM object; the window holds one reference until it goes, clients hold the others.
struct LauncherAccessible final : IAccessible {
    explicit LauncherAccessible(HWND owner) : window(owner), thread(GetCurrentThreadId()) {}

    LONG references = 1;
    HWND window;
    DWORD thread;
    bool connected = true;

    // Every call but IUnknown's starts here. After the window has gone nothing of it is touched;
    // the window state belongs to the window's thread alone.
    HRESULT Usable() const {
        if (!connected) return CO_E_OBJNOTCONNECTED;
        return GetCurrentThreadId() == thread ? S_OK : RPC_E_WRONG_THREAD;
    }
    // The current parts and the child id named by child (0 is the client object itself).
    HRESULT Resolve(const VARIANT& child, AccessibleView& view, LONG& id) const {
        const HRESULT usable = Usable();
        if (usable != S_OK) return usable;
        if (child.vt != VT_I4) return E_INVALIDARG;
        view = ViewNow(GetTickCount());
        id = child.lVal;
        return id >= 0 && id <= static_cast<LONG>(view.items.size()) ? S_OK : E_INVALIDARG;
    }

    // The start of every question about one part: the answer cleared, then the part resolved.
    template <typename T>
    HRESULT Begin(const VARIANT& child, T** out, AccessibleView& view, LONG& id) const {
        if (!out) return E_POINTER;
        *out = nullptr;
        return Resolve(child, view, id);
    }
    HRESULT Begin(const VARIANT& child, VARIANT* out, AccessibleView& view, LONG& id) const {
        if (!out) return E_POINTER;
        VariantInit(out);
        return Resolve(child, view, id);
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) ||
            iid == __uuidof(IAccessible)) {
            *out = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = InterlockedDecrement(&references);
        if (left == 0) delete this;
        return left;
    }

    // IDispatch: clients use the IAccessible methods directly; there is no type information.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return Usable();
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return connected ? E_NOTIMPL : CO_E_OBJNOTCONNECTED;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return connected ? E_NOTIMPL : CO_E_OBJNOTCONNECTED;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return connected ? E_NOTIMPL : CO_E_OBJNOTCONNECTED;
    }

    STDMETHODIMP get_accParent(IDispatch** parent) override {
        if (!parent) return E_POINTER;
        *parent = nullptr;
        const HRESULT usable = Usable();
        if (usable != S_OK) return usable;
        return CreateStdAccessibleObject(window, OBJID_WINDOW, __uuidof(IDispatch),
                                         reinterpret_cast<void**>(parent));
    }
    STDMETHODIMP get_accChildCount(LONG* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        const HRESULT usable = Usable();
        if (usable != S_OK) return usable;
        *count = static_cast<LONG>(ViewNow(GetTickCount()).items.size());
        return S_OK;
    }
    // The parts are simple elements, not objects of their own.
    STDMETHODIMP get_accChild(VARIANT child, IDispatch** out) override {
        AccessibleView view;
        LONG id;
        const HRESULT hr = Begin(child, out, view, id);
        if (hr != S_OK) return hr;
        return id == CHILDID_SELF ? E_INVALIDARG : S_FALSE;
    }
    STDMETHODIMP get_accName(VARIANT child, BSTR* out) override {
        AccessibleView view;
        LONG id;
        const HRESULT hr = Begin(child, out, view, id);
        if (hr != S_OK) return hr;
        return ReturnText(id == CHILDID_SELF ? kAccessibleWindowName : view.items[id - 1].name, out);
    }
    STDMETHODIMP get_accValue(VARIANT child, BSTR* out) override {
        AccessibleView view;
        LONG id;
        const HRESULT hr = Begin(child, out, view, id);
        if (hr != S_OK) return hr;
        if (id == CHILDID_SELF || view.items[id - 1].role != AccessibleRole::ProgressBar)
            return DISP_E_MEMBERNOTFOUND;
        return ReturnText(view.items[id - 1].value, out);
    }
    STDMETHODIMP get_accDescription(VARIANT child, BSTR* out) override {
        return NoText(child, out);
    }
    STDMETHODIMP get_accRole(VARIANT child, VARIANT* out) override {
        AccessibleView view;
        LONG id;
        const HRESULT hr = Begin(child, out, view, id);
        if (hr != S_OK) return hr;
        return ReturnNumber(id == CHILDID_SELF ? ROLE_SYSTEM_CLIENT : RoleOf(view.items[id - 1]), out);
    }
    STDMETHODIMP get_accState(VARIANT child, VARIANT* out) override {
        AccessibleView view;
        LONG id;
        const HRESULT hr = Begin(child, out, view, id);
        if (hr != S_OK) return hr;
        if (id != CHILDID_SELF) return ReturnNumber(StateOf(view.items[id - 1]), out);
        return ReturnNumber(STATE_SYSTEM_FOCUSABLE | (GetFocus() == window ? STATE_SYSTEM_FOCUSED : 0), out);
    }
    STDMETHODIMP get_accHelp(VARIANT child, BSTR* out) override { return NoText(child, out); }
    STDMETHODIMP get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
        if (topic) *topic = -1;
        return NoText(child, file);
    }
    STDMETHODIMP get_accKeyboardShortcut(VARIANT child, BSTR* out) override {
        AccessibleView view;
        LONG id;
        const HRESULT hr = Begin(child, out, view, id);
        if (hr != S_OK) return hr;
        if (id == CHILDID_SELF || view.items[id - 1].hitCode != kHitClose) return DISP_E_MEMBERNOTFOUND;
        return ReturnText(kAccessibleCloseShortcut, out);
    }
    STDMETHODIMP get_accFocus(VARIANT* out) override {
        if (!out) return E_POINTER;
        VariantInit(out);
        const HRESULT usable = Usable();
        if (usable != S_OK) return usable;
        return GetFocus() == window ? ReturnNumber(CHILDID_SELF, out) : S_FALSE;
    }
    STDMETHODIMP get_accSelection(VARIANT* out) override {
        if (!out) return E_POINTER;
        VariantInit(out);
        const HRESULT usable = Usable();
        return usable != S_OK ? usable : DISP_E_MEMBERNOTFOUND;
    }
    STDMETHODIMP get_accDefaultAction(VARIANT child, BSTR* out) override {
        AccessibleView view;
        LONG id;
        const HRESULT hr = Begin(child, out, view, id);
        if (hr != S_OK) return hr;
        if (id == CHILDID_SELF || view.items[id - 1].role != AccessibleRole::PushButton)
            return DISP_E_MEMBERNOTFOUND;
        return ReturnText(kAccessiblePressAction, out);
    }
    STDMETHODIMP accSelect(LONG, VARIANT child) override {
        AccessibleView view;
        LONG id;
        const HRESULT hr = Resolve(child, view, id);
        return hr != S_OK ? hr : DISP_E_MEMBERNOTFOUND;
    }
    STDMETHODIMP accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT child) override {
        if (!left || !top || !width || !height) return E_POINTER;
        *left = *top = *width = *height = 0;
        AccessibleView view;
        LONG id;
        const HRESULT hr = Resolve(child, view, id);
        if (hr != S_OK) return hr;
        POINT origin = {0, 0};
        ClientToScreen(window, &origin);
        PixelBox box;
        if (id == CHILDID_SELF) {
            RECT client = {};
            GetClientRect(window, &client);
            box.width = client.right;
            box.height = client.bottom;
        } else {
            box = DesignToPixelBox(view.items[id - 1].rect, windowState.uiScale);
        }
        *left = origin.x + box.left;
        *top = origin.y + box.top;
        *width = box.width;
        *height = box.height;
        return S_OK;
    }
    STDMETHODIMP accNavigate(LONG direction, VARIANT start, VARIANT* out) override {
        if (!out) return E_POINTER;
        VariantInit(out);
        AccessibleView view;
        LONG id;
        const HRESULT hr = Resolve(start, view, id);
        if (hr != S_OK) return hr;
        const LONG count = static_cast<LONG>(view.items.size());
        LONG target = 0;
        if (id == CHILDID_SELF && direction == NAVDIR_FIRSTCHILD) target = 1;
        if (id == CHILDID_SELF && direction == NAVDIR_LASTCHILD) target = count;
        if (id != CHILDID_SELF && direction == NAVDIR_NEXT) target = id + 1;
        if (id != CHILDID_SELF && direction == NAVDIR_PREVIOUS) target = id - 1;
        // Siblings of the client object, and directions on the screen, are left to the system.
        if (target < 1 || target > count) return S_FALSE;
        return ReturnNumber(target, out);
    }
    STDMETHODIMP accHitTest(LONG x, LONG y, VARIANT* out) override {
        if (!out) return E_POINTER;
        VariantInit(out);
        const HRESULT usable = Usable();
        if (usable != S_OK) return usable;
        POINT point = {x, y};
        ScreenToClient(window, &point);
        RECT client = {};
        GetClientRect(window, &client);
        if (!PtInRect(&client, point)) return S_FALSE;
        return ReturnNumber(AccessibleChildAt(ViewNow(GetTickCount()), point.x, point.y,
                                              windowState.uiScale),
                            out);
    }
    STDMETHODIMP accDoDefaultAction(VARIANT child) override {
        AccessibleView view;
        LONG id;
        const HRESULT hr = Resolve(child, view, id);
        if (hr != S_OK) return hr;
        if (id == CHILDID_SELF || view.items[id - 1].role != AccessibleRole::PushButton)
            return DISP_E_MEMBERNOTFOUND;
        // A press at the button's centre through the window's own click handling, after this
        // call has returned: closing the window inside it would end the process before the client
        // hears back, and the handler checks again that the button is still live.
        const PixelBox box = DesignToPixelBox(view.items[id - 1].rect, windowState.uiScale);
        const LPARAM at = MAKELPARAM(box.left + box.width / 2, box.top + box.height / 2);
        return PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at) ? S_OK : E_FAIL;
    }
    STDMETHODIMP put_accName(VARIANT, BSTR) override {
        return connected ? E_NOTIMPL : CO_E_OBJNOTCONNECTED;
    }
    STDMETHODIMP put_accValue(VARIANT, BSTR) override {
        return connected ? E_NOTIMPL : CO_E_OBJNOTCONNECTED;
    }

    // Description, help: none of the parts has any.
    HRESULT NoText(const VARIANT& child, BSTR* out) const {
        AccessibleView view;
        LONG id;
        const HRESULT hr = Begin(child, out, view, id);
        return hr != S_OK ? hr : DISP_E_MEMBERNOTFOUND;
    }
};

LauncherAccessible* liveObject = nullptr;  // the window's object, made when first asked for
bool comStarted = false;

struct Announcer {
    bool started = false;
    uint32_t lastTick = 0;
    AccessibleView last;
};
Announcer announcer;

DWORD EventCode(AccessibleEvent event) {
    switch (event) {
    case AccessibleEvent::NameChange: return EVENT_OBJECT_NAMECHANGE;
    case AccessibleEvent::ValueChange: return EVENT_OBJECT_VALUECHANGE;
    case AccessibleEvent::StateChange: return EVENT_OBJECT_STATECHANGE;
    case AccessibleEvent::Reorder: return EVENT_OBJECT_REORDER;
    default: return EVENT_SYSTEM_ALERT;
    }
}

}  // namespace

intptr_t AnswerGetObject(void* handle, uintptr_t wParam, intptr_t lParam) {
    // The object id is a DWORD carried in the LPARAM; a 64-bit sender may zero-extend it.
    if (static_cast<DWORD>(lParam) != static_cast<DWORD>(OBJID_CLIENT)) return 0;
    HWND window = static_cast<HWND>(handle);
    // COM starts when a client first asks, so a run without one never starts it. In a
    // single-threaded apartment the calls of other processes arrive through the message loop,
    // on the window's thread.
    if (!comStarted) comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    if (!comStarted) return 0;
    if (liveObject && liveObject->window != window) DisconnectAccessible();
    if (!liveObject) liveObject = new (std::nothrow) LauncherAccessible(window);
    if (!liveObject) return 0;
    return LresultFromObject(__uuidof(IAccessible), wParam, liveObject);
}

void AnnounceAccessibleChanges(void* handle, uint32_t tick) {
    if (announcer.started && tick - announcer.lastTick < kAnnounceIntervalMs) return;
    AccessibleView now = ViewNow(tick);
    const std::vector<AccessibleNotice> notices =
        announcer.started ? AccessibleChanges(announcer.last, now) : FirstAnnouncement(now);
    for (const AccessibleNotice& notice : notices)
        NotifyWinEvent(EventCode(notice.event), static_cast<HWND>(handle), OBJID_CLIENT, notice.childId);
    announcer.started = true;
    announcer.lastTick = tick;
    announcer.last = std::move(now);
}

void DisconnectAccessible() {
    announcer = Announcer();
    if (!liveObject) return;
    LauncherAccessible* gone = liveObject;
    liveObject = nullptr;
    gone->connected = false;
    CoDisconnectObject(gone, 0);  // drops the references other processes hold through COM
    gone->Release();
}
