// Manifest signature: RSASSA-PKCS1-v1_5 with SHA-256 over the exact manifest bytes.
#pragma once
#include <cstddef>
#include <cstdint>

// True only for a valid signature by the built-in key; an empty manifest is never valid.
bool VerifyManifestSignature(const uint8_t* manifest, size_t manifestLength,
                             const uint8_t* signature, size_t signatureLength);

// The same check with another RSAPUBLICBLOB (tests use published test vectors).
bool VerifySignatureWithKey(const uint8_t* keyBlob, size_t keyBlobLength,
                            const uint8_t* message, size_t messageLength,
                            const uint8_t* signature, size_t signatureLength);
