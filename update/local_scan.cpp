// The pure rules of the installation scan: which files may hold a moved file, which partials are unused.
#include "update/local_scan.h"

#include <algorithm>

#include "update/block_file.h"
#include "update/name_fold.h"
#include "update/update_plan.h"

namespace {

bool Holds(const std::vector<uint64_t>& sorted, uint64_t value) {
    return std::binary_search(sorted.begin(), sorted.end(), value);
}

bool EndsWithPart(const std::string& name) {
    return name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0;
}

}  // namespace

uint64_t LocalNameKey(const std::string& path) {
    const std::string key = WindowsRelativePath(FoldCaseForWindows(path));
    return Xxh64(reinterpret_cast<const uint8_t*>(key.data()), key.size());
}

LocalScanRules MakeLocalScanRules(const Manifest& manifest, const std::vector<uint32_t>& planned,
                                  const std::vector<uint32_t>& seedless) {
    LocalScanRules rules;
    for (uint32_t k : planned) rules.planned.push_back(LocalNameKey(manifest.entries[k].path));
    // An empty file needs no source.
    for (uint32_t k : seedless)
        if (manifest.entries[k].size > 0) rules.wantedSizes.push_back(manifest.entries[k].size);
    // Without a wanted size no file is a source, and no name needs to be looked up.
    if (!rules.wantedSizes.empty()) {
        rules.named.reserve(manifest.entries.size());
        for (const ManifestEntry& entry : manifest.entries) rules.named.push_back(LocalNameKey(entry.path));
    }
    for (auto* keys : {&rules.named, &rules.planned, &rules.wantedSizes}) std::sort(keys->begin(), keys->end());
    return rules;
}

LocalFileRole RoleOfLocalFile(const LocalScanRules& rules, const std::string& path, uint64_t size) {
    const std::string resolved = WindowsRelativePath(FoldCaseForWindows(path));
    if (resolved.empty()) return LocalFileRole::Ignore;
    const size_t lastName = resolved.rfind('\\') + 1;  // 0 when there is no folder
    if (EndsWithPart(resolved)) {
        // Only a file beside its target is a download of this updater's.
        if (IsUpdaterStateOrDownloadName(resolved.substr(0, lastName))) return LocalFileRole::Ignore;
        const std::string target = resolved.substr(0, resolved.size() - 5);
        if (target.size() == lastName) return LocalFileRole::Ignore;  // a name that is only ".part"
        return Holds(rules.planned, LocalNameKey(target)) ? LocalFileRole::Ignore
                                                          : LocalFileRole::UnusedPartial;
    }
    if (!Holds(rules.wantedSizes, size) || IsUpdaterStateOrDownloadName(resolved) ||
        Holds(rules.named, LocalNameKey(resolved)))
        return LocalFileRole::Ignore;
    return LocalFileRole::Source;
}

bool MayMatterToLocalScan(const LocalScanRules& rules, bool partName, uint64_t size) {
    return partName || Holds(rules.wantedSizes, size);
}
