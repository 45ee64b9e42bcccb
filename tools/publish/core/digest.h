// SHA-256 of file bodies and manifests, in the lower-case hex the manifest holds.
#pragma once
#include <cstddef>
#include <string>

#include <openssl/evp.h>

// Incremental SHA-256 giving lower-case hex, the form the manifest needs.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Update(const void* data, size_t size);
    std::string FinishHex();

private:
    EVP_MD_CTX* ctx_;
};
