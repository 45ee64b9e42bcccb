// UpdaterSettings: where the updater lives, which server it asks, what it starts afterwards.
#pragma once
#include <string>

struct UpdaterSettings {
    std::wstring exePath;
    std::wstring installDir;
    std::wstring logPath;
    std::wstring gameExe;
    std::string baseUrl;  // UTF-8, no trailing slash once start-up is over
    bool silent = false;
    bool noLaunch = false;
};

// The process-wide record; written only during start-up, read-only afterwards.
extern UpdaterSettings settings;

// The defaults before any layer is applied (exePath and installDir stay empty).
UpdaterSettings DefaultSettings();

// One line of updater.cfg as read (at most 511 bytes, LF included): trims trailing CR/LF/blank
// and applies "url=" or "game=". Every other line is ignored.
void ApplySettingsLine(std::string line);

// Reads installDir\updater.cfg line by line into settings; a missing file changes nothing.
void ReadSettingsFile();

// Strips leading blanks/tabs from baseUrl and puts "http://" in front unless it holds "://".
void NormalizeBaseUrl();

// Removes every trailing '/' (the rule of "url=" and "/url").
void StripTrailingSlashes(std::string& url);
