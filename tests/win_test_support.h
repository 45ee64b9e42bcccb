// Helpers for the Windows unit tests: scratch directories and whole-file reads and writes.
#pragma once
#include <string>

// A new empty directory under the temp folder; removed with its contents by the destructor.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::wstring path;
    std::wstring operator/(const std::wstring& name) const { return path + L"\\" + name; }
};

bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
bool ReadWholeFile(const std::wstring& path, std::string& bytes);
bool FileExists(const std::wstring& path);

// Path of a file in the Windows build tree (helpers, the updater exe), as a Windows path.
std::wstring BuildTreePath(const std::string& relative);
