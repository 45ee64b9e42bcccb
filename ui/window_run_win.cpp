// The window run: GDI+, background, window, worker thread, message loop, then the exit code.
#include <windows.h>
#include <objidl.h>

#include <algorithm>
using std::max;
using std::min;
#include <gdiplus.h>

#include <memory>

#include "base/exit_code.h"
#include "base/log.h"
#include "ui/background.h"
#include "ui/window.h"
#include "ui/window_run.h"
#include "update/status.h"
#include "update/update_run.h"

namespace {

// Geometry from the picture and the primary screen, then the window-sized background.
WindowGeometry PrepareBackground() {
    Gdiplus::Bitmap* picture = LoadBackgroundPicture();
    const bool hasPicture = picture != nullptr;
    const UINT width = hasPicture ? picture->GetWidth() : 0;
    const UINT height = hasPicture ? picture->GetHeight() : 0;
    WindowGeometry geometry =
        ComputeWindowGeometry(hasPicture, width, height, GetSystemMetrics(SM_CXSCREEN),
                              GetSystemMetrics(SM_CYSCREEN));
    ApplyWindowGeometry(geometry);
    BuildBackgroundBitmap(picture);
    return geometry;
}

}  // namespace

int RunWindow(void* instance) {
    SetProcessDPIAware();
    Gdiplus::GdiplusStartupInput startupInput;  // version 1, no callback, nothing suppressed
    ULONG_PTR gdiplusToken = 0;
    Gdiplus::GdiplusStartup(&gdiplusToken, &startupInput, nullptr);

    const WindowGeometry geometry = PrepareBackground();
    if (!CreateMainWindow(instance, geometry.left, geometry.top)) {
        // Without a window nothing could ever end the message loop.
        WriteLog("cannot create the launcher window (error %lu)", GetLastError());
        TerminateProcess(GetCurrentProcess(), kExitFailure);
        return kExitFailure;
    }
    HWND window = static_cast<HWND>(windowState.mainWindow);
    SetStatusText(L"Verbinde mit dem Update-Server ...", L"");
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    SetTimer(window, 1, 33, nullptr);
    if (!CreateThread(nullptr, 0, UpdateWorkerProc, nullptr, 0, nullptr)) {
        // The window stays in its first state until the user closes it (exit code 2).
        WriteLog("cannot start the update thread (error %lu)", GetLastError());
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // The worker is not joined: ending the process is how a run is stopped early.
    TerminateProcess(GetCurrentProcess(), updateStatus.succeeded ? kExitSuccess : kExitFailure);
    return kExitFailure;
}
