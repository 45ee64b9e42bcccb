// Renders one launcher frame for any status into a PNG, without a window (screenshots, checks).
// Usage: quillor_paint_frame out=FILE.png [size=964x474] [background=PICTURE] [server=0|1|2]
//   [serial=N] [status=TEXT] [detail=TEXT] [progress=N] [displayed=F] [hover=0|1|2]
//   [result=working|succeeded|failed] [error=TEXT] [tick=MS] [painter=cached|reference]
#include "bench/paint/frame_setup_win.h"

#include <cstdio>
#include <cwchar>
#include <memory>

#include "base/log.h"
#include "ui/paint_render.h"
#include "update/status.h"

namespace {

bool ParseNumber(const std::wstring& text, unsigned long long& value) {
    if (text.empty() || text[0] == L'-') return false;
    wchar_t* end = nullptr;
    value = wcstoull(text.c_str(), &end, 10);
    return end && *end == 0;
}

// "964x474", each side 1..8192.
bool ParseSize(const std::wstring& text, int& width, int& height) {
    const size_t x = text.find(L'x');
    unsigned long long w = 0, h = 0;
    if (x == std::wstring::npos || !ParseNumber(text.substr(0, x), w) ||
        !ParseNumber(text.substr(x + 1), h) || w < 1 || h < 1 || w > 8192 || h > 8192)
        return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

struct Options {
    std::wstring out, background, status, detail, result = L"working", painter = L"cached";
    std::string error;
    int width = 964, height = 474, hover = 0, server = 0;
    long long progress = 0;
    float displayed = 0;
    unsigned long long serial = 0, tick = 0;
};

bool Apply(Options& o, const std::wstring& key, const std::wstring& value) {
    unsigned long long n = 0;
    if (key == L"out") o.out = value;
    else if (key == L"background") o.background = value;
    else if (key == L"status") o.status = value;
    else if (key == L"detail") o.detail = value;
    else if (key == L"error") o.error = ToUtf8(value);
    else if (key == L"result") o.result = value;
    else if (key == L"painter") o.painter = value;
    else if (key == L"size") return ParseSize(value, o.width, o.height);
    else if (key == L"displayed") o.displayed = wcstof(value.c_str(), nullptr);
    else if (key == L"progress") {
        wchar_t* end = nullptr;
        o.progress = wcstoll(value.c_str(), &end, 10);
        return end && *end == 0;
    } else if (!ParseNumber(value, n)) return false;
    else if (key == L"serial") o.serial = n;
    else if (key == L"tick") o.tick = n;
    else if (key == L"hover") o.hover = static_cast<int>(n);
    else if (key == L"server") o.server = static_cast<int>(n);
    else return false;
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const size_t eq = arg.find(L'=');
        if (eq == std::wstring::npos || !Apply(o, arg.substr(0, eq), arg.substr(eq + 1))) {
            fwprintf(stderr, L"bad argument: %ls\n", argv[i]);
            return 2;
        }
    }
    if (o.out.empty() || !StartGdiplusOnce()) return 2;
    InitStatusLock();
    SetUpWindow(o.width, o.height, o.background);
    updateStatus.serverState = static_cast<ServerState>(o.server);
    updateStatus.manifestSerial = o.serial;
    SetStatusText(o.status, o.detail);
    SetProgress(static_cast<int32_t>(o.progress));
    windowState.displayedProgress = o.displayed;
    windowState.hoverButton = o.hover;
    if (o.result != L"working") {
        updateStatus.succeeded = o.result == L"succeeded";
        updateStatus.errorText = o.error;
        StatusLockHold hold;
        updateStatus.finished = true;
    }
    const uint32_t tick = static_cast<uint32_t>(o.tick);
    if (o.painter == L"reference") {
        std::unique_ptr<Gdiplus::Bitmap> frame(RenderFrameReference(tick));
        return frame && SavePng(frame.get(), o.out) ? 0 : 2;
    }
    Gdiplus::Bitmap* frame = RenderFrameCached(tick);
    return frame && SavePng(frame, o.out) ? 0 : 2;
}
