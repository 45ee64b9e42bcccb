// Settings defaults, the updater.cfg line rule and base URL normalisation.
#include "base/settings.h"

#include "base/log.h"

#ifndef QUILLOR_UPDATE_HOST
#define QUILLOR_UPDATE_HOST "127.0.0.1"
#endif
#ifndef QUILLOR_UPDATE_BASE_PATH
#define QUILLOR_UPDATE_BASE_PATH ""
#endif

UpdaterSettings settings = DefaultSettings();

UpdaterSettings DefaultSettings() {
    UpdaterSettings defaults;
    defaults.gameExe = L"Quillor - Launch.exe";
    defaults.baseUrl = "http://" QUILLOR_UPDATE_HOST ":8080" QUILLOR_UPDATE_BASE_PATH;
    return defaults;
}

void StripTrailingSlashes(std::string& url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
}

// updater.cfg, one setting per line, keys exact and at the very start:
//   url=http://updates.example.com:8080/live
//   game=Quillor - Launch.exe
void ApplySettingsLine(std::string line) {
    // A NUL ends the line as far as the reader is concerned.
    size_t nul = line.find('\0');
    if (nul != std::string::npos) line.resize(nul);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    if (line.compare(0, 4, "url=") == 0 && line.size() > 4) {
        settings.baseUrl = line.substr(4);
        StripTrailingSlashes(settings.baseUrl);
    } else if (line.compare(0, 5, "game=") == 0 && line.size() > 5) {
        settings.gameExe = ToWide(line.substr(5));
    }
}

void NormalizeBaseUrl() {
    std::string& url = settings.baseUrl;
    size_t blanks = 0;
    while (blanks < url.size() && (url[blanks] == ' ' || url[blanks] == '\t')) ++blanks;
    url.erase(0, blanks);
    if (url.size() >= 3 && url.find("://") != std::string::npos) return;
    url.insert(0, "http://");
}
