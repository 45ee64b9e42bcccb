// Checks the publisher's RSA signature over the exact manifest bytes with Windows CNG.
#include "update/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include "update/public_key.h"
#include "update/sha256.h"

namespace {

constexpr size_t kBlobHeaderLength = 24;  // BCRYPT_RSAKEY_BLOB: magic and five lengths

struct AlgorithmHandle {
    BCRYPT_ALG_HANDLE handle = nullptr;
    AlgorithmHandle() = default;
    ~AlgorithmHandle() {
        if (handle) BCryptCloseAlgorithmProvider(handle, 0);
    }
    AlgorithmHandle(const AlgorithmHandle&) = delete;
    AlgorithmHandle& operator=(const AlgorithmHandle&) = delete;
};

struct KeyHandle {
    BCRYPT_KEY_HANDLE handle = nullptr;
    KeyHandle() = default;
    ~KeyHandle() {
        if (handle) BCryptDestroyKey(handle);
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
};

bool FitsUlong(size_t count) { return count == static_cast<ULONG>(count); }

// CNG takes input buffers as non-const pointers but only reads them.
PUCHAR Bytes(const uint8_t* data) { return const_cast<PUCHAR>(data); }

// The modulus length from the blob header (little-endian at offset 12); 0 when there is none.
size_t ModulusLength(const uint8_t* keyBlob, size_t keyBlobLength) {
    if (keyBlobLength < kBlobHeaderLength) return 0;
    return static_cast<size_t>(keyBlob[12]) | static_cast<size_t>(keyBlob[13]) << 8 |
           static_cast<size_t>(keyBlob[14]) << 16 | static_cast<size_t>(keyBlob[15]) << 24;
}

}  // namespace

bool VerifySignatureWithKey(const uint8_t* keyBlob, size_t keyBlobLength,
                            const uint8_t* message, size_t messageLength,
                            const uint8_t* signature, size_t signatureLength) {
    if (!keyBlob || !signature || (!message && messageLength)) return false;
    if (!FitsUlong(keyBlobLength) || !FitsUlong(messageLength)) return false;
    // NB: PKCS #1 wants the signature exactly as long as the modulus; checked here so that no
    // provider that tolerates a shortened or padded value can make it verify.
    if (signatureLength == 0 || signatureLength != ModulusLength(keyBlob, keyBlobLength)) return false;

    // Any failing hashing call makes the signature invalid: a half-written digest is never verified.
    uint8_t digest[kSha256Size];
    Sha256Hash sha;
    if (!sha.Add(message, messageLength) || !sha.Finish(digest)) return false;

    AlgorithmHandle rsa;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&rsa.handle, BCRYPT_RSA_ALGORITHM, nullptr, 0)))
        return false;
    KeyHandle key;  // declared after rsa: destroyed before its provider is closed
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(rsa.handle, nullptr, BCRYPT_RSAPUBLIC_BLOB, &key.handle,
                                            Bytes(keyBlob), static_cast<ULONG>(keyBlobLength), 0)))
        return false;
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
    NTSTATUS status = BCryptVerifySignature(key.handle, &padding, digest, kSha256Size,
                                            Bytes(signature), static_cast<ULONG>(signatureLength),
                                            BCRYPT_PAD_PKCS1);
    return status == 0;  // only STATUS_SUCCESS, not informational codes
}

bool VerifyManifestSignature(const uint8_t* manifest, size_t manifestLength,
                             const uint8_t* signature, size_t signatureLength) {
    if (!manifest || manifestLength == 0) return false;
    return VerifySignatureWithKey(kPublicKeyBlob, kPublicKeyBlobSize, manifest, manifestLength,
                                  signature, signatureLength);
}
