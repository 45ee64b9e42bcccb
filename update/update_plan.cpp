// The pure rules of the update run: which entries need an update, and its status texts.
#include "update/update_plan.h"

bool IsUpToDate(const ManifestEntry& entry, bool hashed, const std::string& hex, uint64_t size) {
    return hashed && size == entry.size && hex == entry.sha256;
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

void AddToPlan(UpdatePlan& plan, uint32_t index, uint64_t size) {
    plan.entryIndices.push_back(index);
    plan.totalBytes = SaturatingAdd(plan.totalBytes, size);
}

std::wstring DownloadStatusText(uint32_t k, uint32_t n) {
    return L"Lade Update " + std::to_wstring(k) + L" von " + std::to_wstring(n) + L" ...";
}

std::wstring CheckStatusText() { return L"Pr\u00fcfe Dateien ..."; }

std::string FileUrl(const std::string& baseUrl, const std::string& encodedPath) {
    return baseUrl + "/files/" + encodedPath;
}
