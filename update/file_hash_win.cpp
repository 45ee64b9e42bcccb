// SHA-256 and byte count of a local file, streamed through CNG in 1 MiB chunks.
#include "update/file_hash.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace {

constexpr DWORD kChunkSize = 1048576;
constexpr ULONG kDigestSize = 32;

struct FileHandle {
    HANDLE handle;
    explicit FileHandle(HANDLE h) : handle(h) {}
    ~FileHandle() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    void Close() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
};

struct Sha256 {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    Sha256() {
        if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
            algorithm = nullptr;
            return;
        }
        if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0) hash = nullptr;
    }
    ~Sha256() {
        if (hash) BCryptDestroyHash(hash);
        if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
};

}  // namespace

bool HashFile(const std::wstring& path, std::string& hex, uint64_t& size) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) return false;

    // A hashing service that fails gives no digest at all rather than a made-up one; the
    // caller then treats the file as needing an update, which is the safe side.
    Sha256 sha;
    if (!sha.hash) return false;

    std::vector<UCHAR> buffer(kChunkSize);
    uint64_t total = 0;
    bool hashed = true;
    for (;;) {
        DWORD got = 0;
        // A read error part-way ends the loop like the end of the file: the caller compares the
        // size first, so a short read shows up as a size mismatch.
        if (!ReadFile(file.handle, buffer.data(), kChunkSize, &got, nullptr) || got == 0) break;
        if (BCryptHashData(sha.hash, buffer.data(), got, 0) != 0) {
            hashed = false;
            break;
        }
        total += got;
    }
    file.Close();

    UCHAR digest[kDigestSize];
    if (!hashed || BCryptFinishHash(sha.hash, digest, kDigestSize, 0) != 0) return false;
    hex = HexEncode(digest, kDigestSize);
    size = total;
    return true;
}
