// The serial rules of a publish: never below the highest serial published, never other contents under it.
#include "release/serial_rules.h"

#include "core/fs_util.h"

#include <vector>

namespace {

// The highest serial published to the server folder: its memory, or the live manifest where that
// is higher (a tree made before the memory existed, or copied in by hand), which then seeds the
// memory at once, so that losing the tree later never lowers it.
bool ReadHighestSerial(const PublishOptions& options, const LiveTree& live, SerialMemory& highest,
                       std::vector<std::string>& problems) {
    std::string error;
    if (!ReadSerialMemory(options.serverDir, highest, error) && !options.force) {
        problems.push_back(error + " (use --force to replace it)");
        return false;
    }
    if (!live.present || (highest.present && highest.serial >= live.serial)) return true;
    std::vector<uint8_t> manifest;
    if (!ReadWholeFile(JoinPath(options.serverDir, "manifest.txt"), 256ull << 20, manifest, error) ||
        !WriteSerialMemory(options.serverDir, SerialMemory{true, live.serial, ManifestDigest(manifest)}, error)) {
        problems.push_back("cannot note the published serial: " + error);
        return false;
    }
    highest = SerialMemory{true, live.serial, ManifestDigest(manifest)};
    return true;
}

}  // namespace

bool CheckSerial(const PublishOptions& options, LiveTree& live, SerialMemory& highest,
                 std::vector<std::string>& problems) {
    std::string error;
    if (!ReadLiveTree(options.serverDir, live, error)) {
        live = LiveTree();  // nothing of an unreadable tree is trusted
        if (!options.force) {
            problems.push_back("cannot read the serial of the published manifest (" + error +
                               "); use --force to replace it anyway");
            return false;
        }
    }
    if (!ReadHighestSerial(options, live, highest, problems)) return false;
    if (highest.present && options.serial < highest.serial && !options.force) {
        problems.push_back("serial " + std::to_string(options.serial) + " is lower than the published serial " +
                           std::to_string(highest.serial) + " (the highest ever published to " + options.serverDir +
                           ", noted in " + SerialMemoryPathFor(options.serverDir) +
                           "); installed updaters would refuse it (use --force to publish it anyway)");
        return false;
    }
    return true;
}

// Other contents under a serial that players already have would let anyone between them and the
// server hand out either release.
bool CheckSameSerialContents(const PublishOptions& options, const SerialMemory& highest, const std::string& digest,
                             std::vector<std::string>& problems) {
    if (!highest.present || options.serial != highest.serial || digest == highest.manifestSha256 || options.force)
        return true;
    problems.push_back("serial " + std::to_string(options.serial) + " was published to " + options.serverDir +
                       " before with other contents (noted in " + SerialMemoryPathFor(options.serverDir) +
                       "); installations that have it would not update, and anyone between the server and the "
                       "players could hand out either release under it: use a higher serial (--force replaces it "
                       "anyway)");
    return false;
}

bool RememberSerial(const PublishOptions& options, const SerialMemory& highest, const std::string& digest,
                    std::string& error) {
    if (highest.present && (options.serial < highest.serial ||
                            (options.serial == highest.serial && digest == highest.manifestSha256)))
        return true;
    return WriteSerialMemory(options.serverDir, SerialMemory{true, options.serial, digest}, error);
}
