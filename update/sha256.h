// SHA-256 through CNG, fed in pieces: one provider and hash object per use, released with it.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kSha256Size = 32;

class Sha256Hash {
public:
    Sha256Hash();  // opens the provider and the hash; ok() tells whether both came
    ~Sha256Hash();
    Sha256Hash(const Sha256Hash&) = delete;
    Sha256Hash& operator=(const Sha256Hash&) = delete;

    bool ok() const { return hash_ != nullptr; }
    // False when the hashing service refuses the data; the object is then unusable.
    bool Add(const uint8_t* data, size_t length);
    // False when finishing fails: a digest left half-written must never be used.
    bool Finish(uint8_t (&digest)[kSha256Size]);

private:
    void* algorithm_ = nullptr;  // BCRYPT_ALG_HANDLE
    void* hash_ = nullptr;       // BCRYPT_HASH_HANDLE
};
