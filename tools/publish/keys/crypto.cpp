// The publisher's keys and signatures: RSA-2048 keys, manifest signatures and the CNG key blob.
#include "keys/crypto.h"

#include "core/fs_util.h"
#include "keys/key_files.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

std::string OpenSslError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown OpenSSL error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

BnPtr GetBn(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return BnPtr();
    return BnPtr(bn);
}

bool CheckKeyKind(EVP_PKEY* key, const std::string& path, std::string& error) {
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        error = path + ": not an RSA key (the updater only accepts RSA-2048)";
        return false;
    }
    int bits = EVP_PKEY_get_bits(key);
    if (bits != kKeyBits) {
        error = path + ": RSA key of " + std::to_string(bits) + " bits; the updater needs exactly 2048";
        return false;
    }
    BnPtr e = GetBn(key, OSSL_PKEY_PARAM_RSA_E);
    if (!e || !BN_is_word(e.get(), 65537)) {
        error = path + ": public exponent is not 65537, which the updater's key blob requires";
        return false;
    }
    return true;
}

bool ReadPem(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    if (!PrepareKeyPair(path, error) || !ReadWholeFile(path, 1 << 20, bytes, error)) return false;
    if (bytes.empty()) {
        error = path + ": empty file, not a PEM key";
        return false;
    }
    return true;
}

// The passphrase travels in a struct, so a key that needs one while none was given is told apart
// from a wrong one, and OpenSSL never falls back to asking on the terminal.
struct Passphrase {
    const std::string* text;
    bool asked;
};

int PassphraseCallback(char* buffer, int size, int, void* user) {
    Passphrase* passphrase = static_cast<Passphrase*>(user);
    passphrase->asked = true;
    if (passphrase->text == nullptr || passphrase->text->size() > static_cast<size_t>(size)) return -1;
    passphrase->text->copy(buffer, passphrase->text->size());
    return static_cast<int>(passphrase->text->size());
}

PkeyPtr ParsePrivate(const std::vector<uint8_t>& pem, Passphrase& passphrase) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, PassphraseCallback, &passphrase) : nullptr);
    ERR_clear_error();
    return key;
}

PkeyPtr ParsePublic(const std::vector<uint8_t>& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    PkeyPtr key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return key;
}

}  // namespace

bool LoadSigningKey(const std::string& path, const std::string* passphrase, PkeyPtr& key,
                    std::string& error) {
    std::vector<uint8_t> pem;
    if (!ReadPem(path, pem, error)) return false;
    Passphrase asked{passphrase, false};
    key = ParsePrivate(pem, asked);
    bool isPublic = !key && ParsePublic(pem);
    OPENSSL_cleanse(pem.data(), pem.size());
    if (!key) {
        if (isPublic) error = path + ": this is a public key; signing needs the private key";
        else if (asked.asked && passphrase == nullptr)
            error = path + ": the key is protected by a passphrase; give --passphrase-file or --passphrase-env";
        else if (asked.asked) error = path + ": wrong passphrase for this key";
        else error = path + ": not a PEM private key";
        return false;
    }
    return CheckKeyKind(key.get(), path, error);
}

bool LoadVerifyKey(const std::string& path, PkeyPtr& key, std::string& error) {
    std::vector<uint8_t> pem;
    if (!ReadPem(path, pem, error)) return false;
    key = ParsePublic(pem);
    Passphrase none{nullptr, false};
    if (!key) key = ParsePrivate(pem, none);
    if (!key) {
        error = path + ": not a PEM public key";
        return false;
    }
    return CheckKeyKind(key.get(), path, error);
}

bool SignMessage(EVP_PKEY* key, const std::vector<uint8_t>& message,
                 std::vector<uint8_t>& signature, std::string& error) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    size_t length = 0;
    bool ok = ctx && EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_DigestSign(ctx.get(), nullptr, &length, message.data(), message.size()) == 1;
    if (ok) {
        signature.assign(length, 0);
        ok = EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) == 1;
    }
    if (!ok || length != kSignatureSize) {
        error = "signing failed: " + OpenSslError();
        return false;
    }
    signature.resize(length);
    return true;
}

bool VerifyMessage(EVP_PKEY* key, const std::vector<uint8_t>& message,
                   const std::vector<uint8_t>& signature) {
    // The updater refuses any other length, so this check must not be more lenient.
    if (signature.size() != kSignatureSize || message.empty()) return false;
    MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                               message.size()) == 1;
    ERR_clear_error();
    return ok;
}

static bool PemText(EVP_PKEY* key, bool privatePart, const std::string* passphrase, std::string& text) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) return false;
    int ok = 0;
    if (!privatePart) {
        ok = PEM_write_bio_PUBKEY(bio.get(), key);
    } else if (passphrase != nullptr) {
        // PKCS #8 with AES-256-CBC and PBKDF2, which "openssl pkey" reads as well.
        ok = PEM_write_bio_PKCS8PrivateKey(bio.get(), key, EVP_aes_256_cbc(), passphrase->data(),
                                           static_cast<int>(passphrase->size()), nullptr, nullptr);
    } else {
        ok = PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    }
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    if (ok != 1 || length <= 0) return false;
    text.assign(data, static_cast<size_t>(length));
    OPENSSL_cleanse(data, static_cast<size_t>(length));
    return true;
}

bool GenerateKeyPair(const std::string& name, bool force, const std::string* passphrase, std::string& error) {
    const std::string privatePath = name + ".pem";
    const std::string publicPath = name + ".pub.pem";
    if (!force && (PathExists(privatePath) || PathExists(publicPath))) {
        error = (PathExists(privatePath) ? privatePath : publicPath) +
                ": already exists (use --force to replace the key pair)";
        return false;
    }
    PkeyPtr key(EVP_RSA_gen(kKeyBits));  // e = 65537 is OpenSSL's default
    std::string privateText;
    std::string publicText;
    if (!key || !PemText(key.get(), true, passphrase, privateText) || !PemText(key.get(), false, nullptr, publicText)) {
        error = "key generation failed: " + OpenSslError();
        return false;
    }
    bool installed = InstallKeyPair(name, privateText, publicText, error);
    OPENSSL_cleanse(&privateText[0], privateText.size());
    return installed;
}

static void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

bool BuildPublicBlob(EVP_PKEY* key, std::vector<uint8_t>& blob, std::string& error) {
    BnPtr n = GetBn(key, OSSL_PKEY_PARAM_RSA_N);
    if (!n || BN_num_bytes(n.get()) != 256) {
        error = "the modulus is not 256 bytes long";
        return false;
    }
    blob.clear();
    blob.insert(blob.end(), {'R', 'S', 'A', '1'});
    PutLe32(blob, 2048);
    PutLe32(blob, 3);
    PutLe32(blob, 256);
    PutLe32(blob, 0);
    PutLe32(blob, 0);
    blob.insert(blob.end(), {0x01, 0x00, 0x01});
    size_t at = blob.size();
    blob.resize(at + 256);
    BN_bn2binpad(n.get(), blob.data() + at, 256);
    return blob.size() == kPublicBlobSize;
}
