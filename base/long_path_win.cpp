// The "\\?\" form of a long path for the file calls, made absolute by the system first.
#include "base/long_path.h"

#include <windows.h>

std::wstring FileCallPath(const std::wstring& path, size_t limit) {
    if (!NeedsExtendedForm(path, limit)) return path;
    // GetFullPathNameW itself has no MAX_PATH limit; it makes a relative or "/"-written path whole.
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return ExtendedLengthPath(path);
    std::wstring full(needed, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) return ExtendedLengthPath(path);
    full.resize(length);
    return ExtendedLengthPath(full);
}
