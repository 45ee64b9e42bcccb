// The path every file call is handed: as it is below the Win32 length limits, else in the "\\?\" form.
#pragma once
#include <cstddef>
#include <string>

// MAX_PATH: a Win32 file path, its terminating zero included, must fit in 260 characters.
constexpr size_t kMaxPathLength = 260;
// CreateDirectoryW's own limit: MAX_PATH less room for an 8.3 name (248).
constexpr size_t kMaxDirectoryPathLength = 248;

// Whether a call on path of this length needs the "\\?\" form, where limit is one of the two above.
inline bool NeedsExtendedForm(const std::wstring& path, size_t limit) { return path.size() + 1 > limit; }

// The "\\?\" form of an absolute path, which Windows passes to the file system without the
// MAX_PATH limit and without normalising it, so it is normalised here as Win32 would: "/" read as
// "\", doubled separators and "." names dropped, ".." taking the name before it (never the root).
// "C:\x" becomes "\\?\C:\x", "\\server\share\x" becomes "\\?\UNC\server\share\x"; a path already in
// that form ("\\?\", "\\.\") or not absolute comes back unchanged.
std::wstring ExtendedLengthPath(const std::wstring& absolutePath);

// The inverse for a path a call gave back: "\\?\C:\x" as "C:\x", "\\?\UNC\s\x" as "\\s\x".
std::wstring WithoutExtendedPrefix(const std::wstring& path);

// The platform side (long_path_win.cpp): path itself when NeedsExtendedForm says no, else the
// "\\?\" form of path made absolute (GetFullPathNameW).
std::wstring FileCallPath(const std::wstring& path, size_t limit = kMaxPathLength);
