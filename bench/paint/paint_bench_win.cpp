// Paint benchmark: milliseconds per frame of the reference and the shipped painter, and the
// CPU share of the idle failure panel at 30 frames a second.
// Usage: paint_bench [PICTURE.png] [frames]
#include "bench/paint/frame_setup_win.h"

#include <cstdio>
#include <cwchar>
#include <memory>

#include "ui/accessible.h"
#include "ui/paint.h"
#include "ui/paint_render.h"
#include "update/status.h"

using namespace Gdiplus;

namespace {

double Now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency.QuadPart * 1000.0;
}

// A window-sized memory device context standing in for the window's.
struct MemoryTarget {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    MemoryTarget(int width, int height) {
        dc = CreateCompatibleDC(nullptr);
        BITMAPINFO info = {};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        old = SelectObject(dc, bitmap);
    }
    ~MemoryTarget() {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
};

void Downloading() {
    ResetUpdateStatus();
    updateStatus.serverState = ServerState::Connected;
    updateStatus.manifestSerial = 4711;
    SetStatusText(L"Lade Update 4 von 9 ...", L"data/maps/wald/terrain_high.pak");
    SetProgress(400);
    windowState.displayedProgress = 396.5f;
}

void Failed() {
    ResetUpdateStatus();
    updateStatus.serverState = ServerState::Unreachable;
    updateStatus.errorText = "Der Update-Server ist nicht erreichbar. Bitte pr\xC3\xBC" "fe die Verbindung.";
    StatusLockHold hold;
    updateStatus.finished = true;
}

// The painter as first described: a new back buffer per frame, presented with default settings.
void PaintFrameReference(HDC dc) {
    std::unique_ptr<Bitmap> frame(RenderFrameReference(GetTickCount()));
    if (!frame) return;
    Graphics screen(dc);
    screen.DrawImage(frame.get(), 0, 0, windowState.windowWidth, windowState.windowHeight);
}

// Every frame differs from the one before, as while the display eases or the pointer moves
// between the panel's buttons: the downloading fill grows, the failure panel's hover toggles.
void ChangeFrame(bool failed, int i) {
    if (failed)
        windowState.hoverButton = i % 2 ? kHitLaunchAnyway : kHitNone;
    else
        windowState.displayedProgress = 300.0f + (i % 200) * 0.5f;
}

double MillisecondsPerFrame(void (*paint)(HDC), HDC dc, int frames, bool failed) {
    paint(dc);  // warm-up: fonts, layers
    const double start = Now();
    for (int i = 0; i < frames; ++i) {
        ChangeFrame(failed, i);
        paint(dc);
    }
    return (Now() - start) / frames;
}

void ShippedPaint(HDC dc) { PaintFrame(dc); }

double CpuShareAt30Fps(HDC dc, double seconds) {
    FILETIME created, exited, kernel0, user0, kernel1, user1;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel0, &user0);
    const double start = Now();
    int frame = 0;
    while (Now() - start < seconds * 1000.0) {
        PaintFrame(dc);
        ++frame;
        const double due = start + frame * 33.0;
        const double wait = due - Now();
        if (wait > 0) Sleep(static_cast<DWORD>(wait));
    }
    const double wall = Now() - start;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel1, &user1);
    auto ms = [](const FILETIME& a, const FILETIME& b) {
        const ULONGLONG x = (ULONGLONG(a.dwHighDateTime) << 32) | a.dwLowDateTime;
        const ULONGLONG y = (ULONGLONG(b.dwHighDateTime) << 32) | b.dwLowDateTime;
        return (y - x) / 10000.0;
    };
    return (ms(kernel0, kernel1) + ms(user0, user1)) / wall;
}

// What the frame timer adds for screen readers, at most four times a second: the parts from a
// new snapshot, their changes, and the events (nobody listens here).
double MicrosecondsPerAnnouncement(int rounds) {
    const double start = Now();
    for (int i = 0; i < rounds; ++i) {
        ChangeFrame(false, i);
        AnnounceAccessibleChanges(nullptr, static_cast<uint32_t>(i) * kAnnounceIntervalMs);
    }
    return (Now() - start) * 1000.0 / rounds;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring picture = argc > 1 ? argv[1] : L"";
    const int frames = argc > 2 ? static_cast<int>(wcstol(argv[2], nullptr, 10)) : 60;
    if (!StartGdiplusOnce() || frames <= 0) return 2;
    InitStatusLock();
    printf("paint bench, %d frames per figure, picture: %s\n", frames, picture.empty() ? "none" : "given");
    const int sizes[2][2] = {{964, 474}, {1728, 972}};
    for (const auto& size : sizes) {
        ReleasePaintCache();
        SetUpWindow(size[0], size[1], picture);
        MemoryTarget target(size[0], size[1]);
        for (int state = 0; state < 2; ++state) {
            state == 0 ? Downloading() : Failed();
            const double reference = MillisecondsPerFrame(PaintFrameReference, target.dc, frames, state);
            const double shipped = MillisecondsPerFrame(ShippedPaint, target.dc, frames, state);
            printf("%4dx%-4d %-22s reference %6.2f ms/frame   shipped %6.2f ms/frame\n", size[0],
                   size[1], state == 0 ? "downloading (easing)" : "failed (hover moving)", reference,
                   shipped);
        }
        Failed();
        windowState.hoverButton = kHitNone;
        printf("%4dx%-4d idle failure panel at 30 frames/s: CPU %.1f %% of one core\n", size[0],
               size[1], 100.0 * CpuShareAt30Fps(target.dc, 3.0));
    }
    Downloading();
    printf("accessible parts and announcements: %.1f us each\n", MicrosecondsPerAnnouncement(frames * 10));
    return 0;
}
