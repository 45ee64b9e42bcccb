// A reading of Windows name resolution of the fuzz targets' own, written apart from the code under
// test, so that the targets hold the code's verdicts on device names and own files against it.
#pragma once
#include <algorithm>
#include <string>
#include <vector>

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include "fuzz_check.h"

// Names as NTFS compares them, each in UTF-8 (not UTF-16), so that libFuzzer's comparison hooks
// see the names this reading looks for and can steer inputs towards them.
using WindowsNames = std::vector<std::string>;

// A name upcased as NTFS compares names: decoded as MultiByteToWideChar does without flags (each
// ill-formed sequence becomes U+FFFD, so no stray byte ever turns into a letter), then each UTF-16
// unit replaced by its simple uppercase on its own (the volume's upcase table; surrogates stay).
inline std::string OracleUpcase(const std::string& name) {
    std::u16string wide(name.size() + 1, u'\0');  // never more units than bytes
    int32_t length = 0;
    int32_t substitutions = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(wide.data(), static_cast<int32_t>(wide.size()), &length, name.data(),
                         static_cast<int32_t>(name.size()), 0xFFFD, &substitutions, &status);
    FUZZ_REQUIRE(U_SUCCESS(status));
    wide.resize(static_cast<size_t>(length));
    for (char16_t& unit : wide) unit = static_cast<char16_t>(u_toupper(unit));
    std::string upper(wide.size() * 3 + 1, '\0');
    u_strToUTF8(upper.data(), static_cast<int32_t>(upper.size()), &length, wide.data(),
                static_cast<int32_t>(wide.size()), &status);
    FUZZ_REQUIRE(U_SUCCESS(status));
    upper.resize(static_cast<size_t>(length));
    return upper;
}

// The names of a path as Windows finds them: "\" and "/" both separate, ".." steps back (and
// stays, leading, where a relative path leaves its folder), trailing dots and blanks are cut, so
// empty and "." names drop out, and each name is upcased as above. Separators, dots and blanks
// are ASCII, which UTF-8 never hides inside a longer sequence, so they are found before decoding.
inline WindowsNames OracleWindowsNames(const std::string& path) {
    WindowsNames names;
    size_t start = 0;
    for (;;) {
        size_t end = path.find_first_of("/\\", start);
        std::string name = path.substr(start, end - start);
        if (name == "..") {
            if (!names.empty() && names.back() != "..") names.pop_back();
            else names.push_back(name);
            name.clear();
        }
        while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
        if (!name.empty()) names.push_back(OracleUpcase(name));
        if (end == std::string::npos) return names;
        start = end + 1;
    }
}

// Whether names equal prefix or lie below it.
inline bool OracleIsBelow(const WindowsNames& names, const WindowsNames& prefix) {
    return names.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), names.begin());
}

// Whether Windows opens a device for this one name: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM or
// LPT with a digit or a superscript 1, 2 or 3, before any extension and trailing blanks. The
// device table is matched in ASCII letter case, not through the volume's upcase table.
inline bool OracleIsDeviceName(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (stem == device) return true;
    if (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0) return false;
    std::string number = stem.substr(3);
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

// Whether any name of path, split at "/" and "\", opens a device.
inline bool OracleNamesDevice(const std::string& path) {
    size_t start = 0;
    for (;;) {
        size_t end = path.find_first_of("/\\", start);
        if (OracleIsDeviceName(path.substr(start, end - start))) return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

// Whether these names below the installation folder lead to the updater's state, its ".new"
// twin, its log, or below one of them, or hold a name ending in ".part" (a download in progress,
// or a folder that would block the download beside it).
inline bool OracleIsOwnStateOrDownload(const WindowsNames& names) {
    if (names.empty()) return false;
    for (const char* own : {"UPDATER.STATE", "UPDATER.STATE.NEW", "UPDATER.LOG"})
        if (names[0] == own) return true;
    return std::any_of(names.begin(), names.end(), [](const std::string& name) {
        return name.size() >= 5 && name.compare(name.size() - 5, 5, ".PART") == 0;
    });
}

// Where the updater runs, as Windows names it: its installation folder and its exe's ".old" copy.
struct OracleInstallation {
    WindowsNames folder;
    WindowsNames oldExe;
};

inline OracleInstallation OracleInstallationOf(const std::string& installDir,
                                               const std::string& exePath) {
    return {OracleWindowsNames(installDir), OracleWindowsNames(exePath + ".old")};
}

// Whether a relative path with these names, put below the installation folder, leads to one of the
// updater's own files: those above, or the exe's ".old" copy, or below one of them.
inline bool OracleIsOwnFile(const WindowsNames& names, const OracleInstallation& installation) {
    WindowsNames target = installation.folder;
    for (const std::string& name : names) {
        if (name != "..") target.push_back(name);
        else if (!target.empty()) target.pop_back();
    }
    if (OracleIsBelow(target, installation.oldExe)) return true;
    if (!OracleIsBelow(target, installation.folder)) return false;
    return OracleIsOwnStateOrDownload(
        WindowsNames(target.begin() + installation.folder.size(), target.end()));
}
