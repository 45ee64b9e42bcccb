// The publisher's RSA-2048 public key as a CNG RSAPUBLICBLOB, generated at build time.
#pragma once
#include <cstddef>

constexpr size_t kPublicKeyBlobSize = 283;
extern const unsigned char kPublicKeyBlob[kPublicKeyBlobSize];
