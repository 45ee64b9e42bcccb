// A key pair's two files, replaced so that a kill never leaves halves of two keys for their users.
#include "keys/key_files.h"

#include "core/fs_util.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char kHeader[] = "quillor-publish keygen 1";

std::string JournalPathFor(const std::string& name) { return name + ".keygen-journal"; }

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Sample (temporary names beside NAME, in the order they are renamed):
//   quillor-publish keygen 1
//   quillor.pem.tmp-0a1b2c3d9f8e7d6c
//   quillor.pub.pem.tmp-4e5f60718a9b0c1d
bool ParseJournal(const std::string& name, const std::string& text, std::string& privateTemp,
                  std::string& publicTemp) {
    std::string folder, base;
    SplitPath(name, folder, base);
    size_t first = text.find('\n'), second = first == std::string::npos ? first : text.find('\n', first + 1);
    if (second == std::string::npos || text.compare(0, first, kHeader) != 0 || text.back() != '\n' ||
        text.find('\n', second + 1) != text.size() - 1)
        return false;
    privateTemp = text.substr(first + 1, second - first - 1);
    publicTemp = text.substr(second + 1, text.size() - second - 2);
    if (!IsOwnTempName(privateTemp, base + ".pem", "") || !IsOwnTempName(publicTemp, base + ".pub.pem", ""))
        return false;
    privateTemp = JoinPath(folder, privateTemp);
    publicTemp = JoinPath(folder, publicTemp);
    return true;
}

}  // namespace

std::string KeyPairNameOf(const std::string& keyPath) {
    if (EndsWith(keyPath, ".pub.pem")) return keyPath.substr(0, keyPath.size() - 8);
    if (EndsWith(keyPath, ".pem")) return keyPath.substr(0, keyPath.size() - 4);
    return std::string();
}

bool CompleteKeyReplacement(const std::string& name, std::string& note, std::string& error) {
    note.clear();
    const std::string journal = JournalPathFor(name);
    if (name.empty() || !PathExists(journal)) return true;
    std::vector<uint8_t> bytes;
    std::string privateTemp, publicTemp;
    if (!ReadWholeFile(journal, 4096, bytes, error)) return false;
    if (!ParseJournal(name, std::string(bytes.begin(), bytes.end()), privateTemp, publicTemp)) {
        error = journal + ": damaged; check that " + name + ".pem and " + name +
                ".pub.pem are one pair (openssl pkey -in " + name + ".pem -pubout), then remove it";
        return false;
    }
    // A temporary name that is gone was renamed already: the journal only exists once both were flushed.
    const std::pair<std::string, std::string> moves[] = {{privateTemp, name + ".pem"}, {publicTemp, name + ".pub.pem"}};
    for (const auto& move : moves) {
        if (PathExists(move.first) && rename(move.first.c_str(), move.second.c_str()) != 0) {
            error = ErrnoText(move.second) + " (completing the key replacement in " + journal + ")";
            return false;
        }
    }
    // The renames must be on disk before the journal goes; its removal itself may be lost again.
    if (!SyncParent(journal, error)) return false;
    if (unlink(journal.c_str()) != 0 && errno != ENOENT) {
        error = ErrnoText(journal);
        return false;
    }
    note = "completed the interrupted replacement of the key pair " + name + ".pem and " + name + ".pub.pem";
    return true;
}

bool PrepareKeyPair(const std::string& keyPath, std::string& error) {
    std::string note;
    if (!CompleteKeyReplacement(KeyPairNameOf(keyPath), note, error)) return false;
    if (!note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
    return true;
}

void RemoveKeyLeftovers(const std::string& name) {
    std::string folder, base;
    SplitPath(name, folder, base);
    DIR* handle = opendir(folder.c_str());
    if (handle == nullptr) return;
    std::vector<std::string> stale;
    while (struct dirent* entry = readdir(handle)) {
        for (const char* kind : {".pem", ".pub.pem", ".keygen-journal"})
            if (IsOwnTempName(entry->d_name, base + kind, "")) stale.push_back(JoinPath(folder, entry->d_name));
    }
    closedir(handle);
    for (const std::string& path : stale)
        if (unlink(path.c_str()) == 0) std::fprintf(stderr, "removed %s, left behind by an interrupted keygen\n", path.c_str());
}

bool InstallKeyPair(const std::string& name, const std::string& privateText, const std::string& publicText,
                    std::string& error) {
    const std::string privatePath = name + ".pem", publicPath = name + ".pub.pem";
    for (const std::string& path : {privatePath, publicPath}) {
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            error = path + ": not a regular file, so it cannot be replaced (nothing was changed)";
            return false;
        }
    }
    std::string privateTemp, publicTemp, journalError, note;
    if (!WriteTempBeside(privatePath, privateText.data(), privateText.size(), 0600, privateTemp, error)) return false;
    if (!WriteTempBeside(publicPath, publicText.data(), publicText.size(), 0644, publicTemp, error)) {
        unlink(privateTemp.c_str());
        return false;
    }
    std::string folder, privateName, publicName;
    SplitPath(privateTemp, folder, privateName);
    SplitPath(publicTemp, folder, publicName);
    std::string journal = std::string(kHeader) + "\n" + privateName + "\n" + publicName + "\n";
    if (!WriteFileAtomic(JournalPathFor(name), journal.data(), journal.size(), 0644, false, error)) {
        // Without the journal on disk the old pair stands; a journal naming gone files completes to nothing.
        unlink(privateTemp.c_str());
        unlink(publicTemp.c_str());
        return false;
    }
    if (CompleteKeyReplacement(name, note, journalError)) return true;
    error = "the new key pair is committed but not yet in place: " + journalError +
            "; the next keygen or publish with this key completes it";
    return false;
}
