// Where a manifest entry lives on disk, and the texts and name rules of its replacement.
#include "update/file_replace.h"

#include "base/log.h"
#include "base/settings.h"

std::wstring TargetPath(const std::string& path) {
    std::wstring target = settings.installDir + L"\\" + ToWide(path);
    for (wchar_t& c : target) {
        if (c == L'/') c = L'\\';
    }
    return target;
}

std::string LockedFileMessage(const std::string& path, unsigned long errorCode) {
    // Built by concatenation so that no path, however long, is cut or overflows a buffer.
    return "Datei ist gesperrt (läuft das Spiel noch?): " + path + " (Fehler " +
           std::to_string(errorCode) + ")";
}

static wchar_t FoldAsciiLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool IsOwnExecutable(const std::wstring& target, const std::wstring& exePath) {
    if (target.size() != exePath.size()) return false;
    for (size_t i = 0; i < target.size(); ++i) {
        if (FoldAsciiLetter(target[i]) != FoldAsciiLetter(exePath[i])) return false;
    }
    return true;
}
