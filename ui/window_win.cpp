// The launcher window: class, window procedure, mouse and keyboard input, frame timer.
#include <windows.h>

#include "base/launch.h"
#include "base/settings.h"
#include "ui/accessible.h"
#include "ui/paint.h"
#include "ui/window.h"
#include "update/status.h"

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

constexpr wchar_t kClassName[] = L"QuillorUpdater";
constexpr wchar_t kTitle[] = L"Quillor - Updater";
constexpr DWORD kAutoCloseDelayMs = 1100;

// Set once the window has begun to close. ShellExecuteW may pump messages while it starts the
// game; without this a timer tick or a second press arriving then would start the game twice.
bool windowClosing = false;

void CloseLauncher(HWND window, bool startGame) {
    if (windowClosing) return;
    windowClosing = true;
    if (startGame && !settings.noLaunch) LaunchGame();
    DestroyWindow(window);
}

void SetButtonCursor(bool overButton) {
    SetCursor(LoadCursorW(nullptr, overButton ? IDC_HAND : IDC_ARROW));
}

// The pointer left the buttons (for the caption area or out of the window): no highlight.
void ClearHover() { windowState.hoverButton = kHitNone; }

void OnMouseMove(HWND window, int32_t x, int32_t y) {
    const int32_t code = ButtonAtPoint(x, y);
    if (code != kHitNone) {
        // Ask for WM_MOUSELEAVE, which also comes when the pointer moves onto the caption area.
        TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, window, 0};
        TrackMouseEvent(&track);
    }
    if (code == windowState.hoverButton) return;
    windowState.hoverButton = code;
    SetButtonCursor(code != kHitNone);
}

void OnButtonDown(HWND window, int32_t x, int32_t y) {
    const int32_t code = ButtonAtPoint(x, y);
    if (code == kHitLaunchAnyway) CloseLauncher(window, true);
    if (code == kHitClose) CloseLauncher(window, false);
}

void OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC target = BeginPaint(window, &paint);
    if (target) PaintFrame(target);
    EndPaint(window, &paint);
}

int32_t LowX(LPARAM lParam) { return static_cast<int16_t>(LOWORD(lParam)); }
int32_t HighY(LPARAM lParam) { return static_cast<int16_t>(HIWORD(lParam)); }

}  // namespace

void ApplyWindowGeometry(const WindowGeometry& geometry) {
    windowState.windowWidth = geometry.width;
    windowState.windowHeight = geometry.height;
    windowState.uiScale = geometry.uiScale;
}

bool CreateMainWindow(void* instance, int32_t left, int32_t top) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = static_cast<HINSTANCE>(instance);
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    if (!RegisterClassW(&windowClass)) return false;
    HWND window = CreateWindowExW(WS_EX_APPWINDOW, kClassName, kTitle, WS_POPUP, left, top,
                                  windowState.windowWidth, windowState.windowHeight, nullptr,
                                  nullptr, static_cast<HINSTANCE>(instance), nullptr);
    windowState.mainWindow = window;
    return window != nullptr;
}

int32_t ButtonAtPoint(int32_t x, int32_t y) {
    bool failed;
    {
        StatusLockHold hold;
        failed = updateStatus.finished && !updateStatus.succeeded;
    }
    return HitCodeAt(x, y, failed, windowState.uiScale);
}

void FrameTimerTick(void* handle) {
    HWND window = static_cast<HWND>(handle);
    if (windowClosing) return;
    bool finished;
    int32_t progress;
    uint32_t finishedTick;
    {
        StatusLockHold hold;
        finished = updateStatus.finished;
        progress = updateStatus.progressPermille;
        finishedTick = updateStatus.finishedTick;
    }
    windowState.displayedProgress = EaseProgress(windowState.displayedProgress, progress);
    if (finished && updateStatus.succeeded) {
        const uint32_t elapsed = static_cast<uint32_t>(GetTickCount()) - finishedTick;
        if (elapsed > kAutoCloseDelayMs) {
            CloseLauncher(window, true);
            return;
        }
    }
    AnnounceAccessibleChanges(window, static_cast<uint32_t>(GetTickCount()));
    InvalidateRect(window, nullptr, FALSE);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_NCHITTEST: {
        POINT point = {LowX(lParam), HighY(lParam)};
        ScreenToClient(window, &point);
        return ButtonAtPoint(point.x, point.y) != kHitNone ? HTCLIENT : HTCAPTION;
    }
    case WM_MOUSEMOVE:
        OnMouseMove(window, LowX(lParam), HighY(lParam));
        return 0;
    case WM_MOUSELEAVE:
        ClearHover();
        return 0;
    case WM_NCMOUSEMOVE:
        ClearHover();
        break;
    case WM_SETCURSOR:
        if (LOWORD(lParam) != HTCLIENT) break;
        SetButtonCursor(windowState.hoverButton != kHitNone);
        return TRUE;
    case WM_LBUTTONDOWN:
        OnButtonDown(window, LowX(lParam), HighY(lParam));
        return 0;
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE) CloseLauncher(window, false);
        return 0;
    case WM_TIMER:
        FrameTimerTick(window);
        return 0;
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;  // PaintFrame covers every pixel; erasing first would flicker
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        DisconnectAccessible();
        break;
    case WM_GETOBJECT:
        if (const LRESULT answer = AnswerGetObject(window, wParam, lParam)) return answer;
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
