// Scratch directories and file helpers for the Windows unit tests; the lock is set up once.
#include "win_test_support.h"

#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "base/log.h"
#include "update/status.h"

namespace {
struct StatusLockSetup {
    StatusLockSetup() { InitStatusLock(); }
} statusLockSetup;

std::wstring WindowsPath(const std::string& unixPath) {
    std::wstring path = ToWide(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return L"Z:" + path;
}
}  // namespace

ScratchDir::ScratchDir() {
    static unsigned counter = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    for (;;) {
        path = std::wstring(temp) + L"quillor-test-" + std::to_wstring(GetCurrentProcessId()) +
               L"-" + std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter);
        if (CreateDirectoryW(path.c_str(), nullptr)) break;
    }
}

ScratchDir::~ScratchDir() {
    std::wstring from = path + L'\0';  // SHFileOperation wants a double-NUL list
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() ||
              WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes.clear();
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    CloseHandle(file);
    return true;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring BuildTreePath(const std::string& relative) {
    return WindowsPath(std::string(QUILLOR_BINARY_DIR) + "/" + relative);
}

std::wstring ShippedExePath() {
    return WindowsPath(std::string(QUILLOR_SHIPPED_BUILD) + "/Quillor - Updater.exe");
}

uintptr_t StartLoopbackListener(unsigned short& port, int backlog) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    listen(listener, backlog);
    return listener;
}

void StopLoopbackListener(uintptr_t listener) {
    closesocket(listener);
    WSACleanup();
}
