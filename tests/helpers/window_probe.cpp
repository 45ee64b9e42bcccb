// Test helper: finds the launcher window by its class and title and prints what Windows knows of
// it: "<left> <top> <width> <height> <style hex> <exstyle hex> <class style hex>". Exit 1 if absent.
#include <windows.h>

#include <cstdio>

int main() {
    HWND window = FindWindowW(L"QuillorUpdater", L"Quillor - Updater");
    if (!window) return 1;
    RECT rect = {};
    GetWindowRect(window, &rect);
    std::printf("%ld %ld %ld %ld %08lx %08lx %08lx\n", rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top, static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongW(window, GWL_EXSTYLE)),
                static_cast<unsigned long>(GetClassLongW(window, GCL_STYLE)));
    std::fflush(stdout);
    return 0;
}
