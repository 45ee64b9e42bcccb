// The publisher's keys and signatures: RSA-2048 keys, manifest signatures and the CNG key blob.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

constexpr int kKeyBits = 2048;
constexpr size_t kSignatureSize = 256;
constexpr size_t kPublicBlobSize = 283;

// Loads a PEM private key for signing. Refuses a public key, and any key that is not RSA-2048
// with public exponent 65537 (the only kind the updater can hold). passphrase (may be null)
// opens an encrypted key; OpenSSL is never left to ask for one on the terminal.
bool LoadSigningKey(const std::string& path, const std::string* passphrase, PkeyPtr& key,
                    std::string& error);

// Loads a PEM public key (a private key is accepted too; only its public half is used) with the
// same RSA-2048 / 65537 rule.
bool LoadVerifyKey(const std::string& path, PkeyPtr& key, std::string& error);

// RSASSA-PKCS1-v1_5 with SHA-256 over exactly message; signature gets 256 raw bytes.
bool SignMessage(EVP_PKEY* key, const std::vector<uint8_t>& message,
                 std::vector<uint8_t>& signature, std::string& error);

// True only for a 256-byte PKCS #1 v1.5 SHA-256 signature of message by key.
bool VerifyMessage(EVP_PKEY* key, const std::vector<uint8_t>& message,
                   const std::vector<uint8_t>& signature);

// Writes NAME.pem (private, 0600; encrypted when passphrase is not null) and NAME.pub.pem for a
// new RSA-2048 key, e = 65537, through InstallKeyPair (key_files.h): both names get the new pair or
// both keep what they held, once an interrupted replacement is completed.
bool GenerateKeyPair(const std::string& name, bool force, const std::string* passphrase, std::string& error);

// The 283-byte RSAPUBLICBLOB the updater builds in: "RSA1", 2048, 3, 256, 0, 0, 01 00 01, modulus.
bool BuildPublicBlob(EVP_PKEY* key, std::vector<uint8_t>& blob, std::string& error);
