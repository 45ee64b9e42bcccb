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

static std::wstring Decimal(uint32_t value) {
    wchar_t digits[16];
    size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::wstring text;
    while (count > 0) text += digits[--count];
    return text;
}

std::wstring DownloadStatusText(uint32_t k, uint32_t n) {
    return L"Lade Update " + Decimal(k) + L" von " + Decimal(n) + L" ...";
}

std::wstring CheckStatusText() { return L"Pr\u00fcfe Dateien ..."; }

std::string FileUrl(const std::string& baseUrl, const std::string& encodedPath) {
    return baseUrl + "/files/" + encodedPath;
}
