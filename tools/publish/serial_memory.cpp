// The serial memory beside a server folder (its highest serial and manifest) and the serial rules it keeps.
#include "serial_memory.h"

#include "crypto.h"
#include "fs_util.h"

#include <vector>

namespace {

const char kHeader[] = "quillor-publish serial 1\n";

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

std::string SerialMemoryPathFor(const std::string& serverDir) { return BesidePath(serverDir, ".publish-serial"); }

// Sample:
//   quillor-publish serial 1
//   serial 42
//   manifest 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08
bool ReadSerialMemory(const std::string& serverDir, SerialMemory& memory, std::string& error) {
    const std::string path = SerialMemoryPathFor(serverDir);
    memory = SerialMemory();
    if (!PathExists(path)) return true;
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, 4096, bytes, error)) return false;
    std::string text(bytes.begin(), bytes.end());
    const std::string header = kHeader;
    size_t serialEnd = text.find('\n', header.size());
    bool ok = text.compare(0, header.size(), header) == 0 && serialEnd != std::string::npos &&
              text.compare(header.size(), 7, "serial ") == 0 &&
              ParseSerialArgument(text.substr(header.size() + 7, serialEnd - header.size() - 7), memory.serial) &&
              text.size() == serialEnd + 1 + 9 + 64 + 1 && text.compare(serialEnd + 1, 9, "manifest ") == 0 &&
              text.back() == '\n';
    if (ok) {
        memory.manifestSha256 = text.substr(serialEnd + 10, 64);
        ok = memory.manifestSha256.find_first_not_of("0123456789abcdef") == std::string::npos;
    }
    if (!ok) {
        memory = SerialMemory();
        error = path + ": not a serial memory written by quillor-publish";
        return false;
    }
    memory.present = true;
    return true;
}

bool WriteSerialMemory(const std::string& serverDir, const SerialMemory& memory, std::string& error) {
    std::string text = std::string(kHeader) + "serial " + std::to_string(memory.serial) + "\nmanifest " +
                       memory.manifestSha256 + "\n";
    return WriteFileAtomic(SerialMemoryPathFor(serverDir), text.data(), text.size(), 0644, false, error);
}

std::string ManifestDigest(const std::vector<uint8_t>& manifest) {
    Sha256 hash;
    hash.Update(manifest.data(), manifest.size());
    return hash.FinishHex();
}

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
