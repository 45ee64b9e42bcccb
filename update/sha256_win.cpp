// The CNG side of Sha256Hash.
#include "update/sha256.h"

#include <windows.h>
#include <bcrypt.h>

Sha256Hash::Sha256Hash() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return;
    algorithm_ = algorithm;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) hash_ = hash;
}

Sha256Hash::~Sha256Hash() {
    if (hash_) BCryptDestroyHash(hash_);
    if (algorithm_) BCryptCloseAlgorithmProvider(algorithm_, 0);
}

bool Sha256Hash::Add(const uint8_t* data, size_t length) {
    static UCHAR noBytes = 0;  // empty input still gets one real buffer
    if (!hash_ || length != static_cast<ULONG>(length)) return false;
    // CNG takes the input as a non-const pointer but only reads it.
    PUCHAR input = length ? const_cast<PUCHAR>(data) : &noBytes;
    return BCryptHashData(hash_, input, static_cast<ULONG>(length), 0) == 0;
}

bool Sha256Hash::Finish(uint8_t (&digest)[kSha256Size]) {
    return hash_ && BCryptFinishHash(hash_, digest, kSha256Size, 0) == 0;
}
