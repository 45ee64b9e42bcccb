// Helpers for the Windows unit tests: scratch directories and whole-file reads and writes.
#pragma once
#include <cstdint>
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

// The shipped i686 exe as a Windows path; an x86_64 test copy reads its resources from there too.
std::wstring ShippedExePath();

// Starts Winsock and listens on 127.0.0.1 at a free port, which it stores in port. Returns the
// listening SOCKET; StopLoopbackListener closes it and ends Winsock again.
uintptr_t StartLoopbackListener(unsigned short& port, int backlog);
void StopLoopbackListener(uintptr_t listener);
