// The serial memory beside a server folder: its highest serial and manifest.
#include "tree/serial_memory.h"

#include "core/cli_args.h"
#include "core/digest.h"
#include "core/fs_util.h"

#include <vector>

namespace {

const char kHeader[] = "quillor-publish serial 1\n";

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
