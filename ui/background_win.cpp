// Finds, decodes and scales the launcher window's background picture with GDI+.
#include <windows.h>
#include <objidl.h>
#include <shlwapi.h>

#include <algorithm>
using std::max;
using std::min;
#include <gdiplus.h>

#include <memory>

#include "base/long_path.h"
#include "base/settings.h"
#include "ui/background.h"
#include "ui/window_state.h"

namespace {

constexpr int kBuiltInPictureId = 101;
constexpr Gdiplus::ARGB kFallbackColour = 0xFF0E0907;

struct StreamRelease {
    void operator()(IStream* stream) const { stream->Release(); }
};
using StreamHandle = std::unique_ptr<IStream, StreamRelease>;

// A bitmap whose construction failed still exists as an object; this tells the two apart.
std::unique_ptr<Gdiplus::Bitmap> KeepIfValid(Gdiplus::Bitmap* bitmap) {
    std::unique_ptr<Gdiplus::Bitmap> owned(bitmap);
    if (owned && owned->GetLastStatus() != Gdiplus::Ok) owned.reset();
    return owned;
}

Gdiplus::Bitmap* LoadCandidateFile(const std::wstring& given) {
    const std::wstring path = FileCallPath(given);
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return nullptr;
    return KeepIfValid(new Gdiplus::Bitmap(path.c_str(), FALSE)).release();
}

// The decoder may read the stream lazily, so the picture is drawn into a bitmap of its own
// before the stream goes away.
Gdiplus::Bitmap* IndependentCopy(Gdiplus::Bitmap& decoded) {
    const UINT width = decoded.GetWidth();
    const UINT height = decoded.GetHeight();
    auto copy = KeepIfValid(new Gdiplus::Bitmap(static_cast<INT>(width), static_cast<INT>(height),
                                                PixelFormat32bppPARGB));
    if (!copy) return nullptr;
    Gdiplus::Graphics graphics(copy.get());
    graphics.DrawImage(&decoded, 0, 0, static_cast<INT>(width), static_cast<INT>(height));
    return copy.release();
}

Gdiplus::Bitmap* LoadBuiltInPicture(HMODULE module) {
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kBuiltInPictureId), RT_RCDATA);
    if (!resource) return nullptr;
    HGLOBAL loaded = LoadResource(module, resource);
    const DWORD size = SizeofResource(module, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || size == 0) return nullptr;
    StreamHandle stream(SHCreateMemStream(static_cast<const BYTE*>(bytes), size));
    if (!stream) return nullptr;
    auto decoded = KeepIfValid(Gdiplus::Bitmap::FromStream(stream.get(), FALSE));
    if (!decoded) return nullptr;
    return IndependentCopy(*decoded);
}

}  // namespace

Gdiplus::Bitmap* LoadBackgroundPictureFrom(void* module) {
    for (const wchar_t* name : {L"\\updater_bg.png", L"\\updater_bg.jpg"}) {
        if (Gdiplus::Bitmap* picture = LoadCandidateFile(settings.installDir + name)) {
            return picture;
        }
    }
    return LoadBuiltInPicture(static_cast<HMODULE>(module));
}

Gdiplus::Bitmap* LoadBackgroundPicture() {
    return LoadBackgroundPictureFrom(GetModuleHandleW(nullptr));
}

void BuildBackgroundBitmap(Gdiplus::Bitmap* picture) {
    std::unique_ptr<Gdiplus::Bitmap> source(picture);
    const INT width = windowState.windowWidth;
    const INT height = windowState.windowHeight;
    auto target = KeepIfValid(new Gdiplus::Bitmap(width, height, PixelFormat32bppPARGB));
    if (!target) return;  // the painter clears to the fallback colour instead
    {
        Gdiplus::Graphics graphics(target.get());
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        if (source) {
            graphics.DrawImage(source.get(), 0, 0, width, height);
        } else {
            Gdiplus::SolidBrush fill{Gdiplus::Color(kFallbackColour)};
            graphics.FillRectangle(&fill, 0, 0, width, height);
        }
    }
    windowState.backgroundBitmap = target.release();
}
