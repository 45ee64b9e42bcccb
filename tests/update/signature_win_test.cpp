// Tests of the manifest signature check against signatures made by openssl and Wycheproof vectors.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "update/public_key.h"
#include "update/signature.h"
#include "win_test_support.h"

namespace {

// Built by cmake/win-signature.cmake; the key is empty when no private key matches the built-in one.
const char kFixtureKey[] = QUILLOR_SIGNATURE_KEY;

std::string Fixture(const std::string& name) {
    std::string bytes;
    bool read = ReadWholeFile(BuildTreePath("fixtures/signature/" + name), bytes);
    EXPECT_TRUE(read) << "missing fixture " << name;
    return bytes;
}

const uint8_t* Data(const std::string& bytes) {
    return reinterpret_cast<const uint8_t*>(bytes.data());
}

bool Verify(const std::string& manifest, const std::string& signature) {
    return VerifyManifestSignature(Data(manifest), manifest.size(), Data(signature),
                                   signature.size());
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool FromHex(const std::string& hex, std::string& bytes) {
    bytes.clear();
    if (hex == "-") return true;
    if (hex.size() % 2) return false;
    auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = nibble(hex[i]), low = nibble(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high << 4 | low);
    }
    return true;
}

uint32_t LittleEndian32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

#define REQUIRE_SIGNING_KEY()                                                                 \
    if (kFixtureKey[0] == '\0')                                                               \
    GTEST_SKIP() << "a custom public key is built in and no QUILLOR_SIGNATURE_TEST_KEY matches " \
                    "it, so no valid signature can be made"

}  // namespace

TEST(ManifestSignature, BuiltInKeyHasTheRsaPublicBlobLayout) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(kPublicKeyBlob), 4), "RSA1");
    EXPECT_EQ(LittleEndian32(kPublicKeyBlob + 4), 2048u);
    EXPECT_EQ(LittleEndian32(kPublicKeyBlob + 8), 3u);
    EXPECT_EQ(LittleEndian32(kPublicKeyBlob + 12), 256u);
    EXPECT_EQ(LittleEndian32(kPublicKeyBlob + 16), 0u);
    EXPECT_EQ(LittleEndian32(kPublicKeyBlob + 20), 0u);
    EXPECT_EQ(kPublicKeyBlob[24], 0x01);
    EXPECT_EQ(kPublicKeyBlob[25], 0x00);
    EXPECT_EQ(kPublicKeyBlob[26], 0x01);
    EXPECT_GE(kPublicKeyBlob[27], 0x80);  // a full 2048-bit modulus
}

TEST(ManifestSignature, AcceptsSignatureOverTheExactBytes) {
    REQUIRE_SIGNING_KEY();
    EXPECT_TRUE(Verify(Fixture("manifest.txt"), Fixture("valid.sig")));
    EXPECT_TRUE(Verify(Fixture("manifest_crlf.txt"), Fixture("crlf.sig")));
}

TEST(ManifestSignature, RefusesChangedManifest) {
    REQUIRE_SIGNING_KEY();
    const std::string lf = Fixture("manifest.txt");
    const std::string crlf = Fixture("manifest_crlf.txt");
    ASSERT_EQ(Replace(lf, "\n", "\r\n"), crlf);
    EXPECT_FALSE(Verify(crlf, Fixture("valid.sig")));  // LF -> CR LF after signing
    EXPECT_FALSE(Verify(lf, Fixture("crlf.sig")));     // and back
    EXPECT_FALSE(Verify("\xEF\xBB\xBF" + lf, Fixture("valid.sig")));
    EXPECT_FALSE(Verify(lf + "\n", Fixture("valid.sig")));
    EXPECT_FALSE(Verify(Replace(lf, "serial 12", "serial 13"), Fixture("valid.sig")));
}

TEST(ManifestSignature, RefusesSignatureNotInRawForm) {
    REQUIRE_SIGNING_KEY();
    const std::string manifest = Fixture("manifest.txt");
    const std::string raw = Fixture("valid.sig");
    ASSERT_EQ(raw.size(), 256u);
    EXPECT_FALSE(Verify(manifest, Hex(raw)));
    EXPECT_FALSE(Verify(manifest, Fixture("valid.sig.b64")));
    EXPECT_FALSE(Verify(manifest, Fixture("valid.sig.b64") + "\n"));
    EXPECT_FALSE(Verify(manifest, raw + "\n"));
    EXPECT_FALSE(Verify(manifest, raw + "\r\n"));
    EXPECT_FALSE(Verify(manifest, std::string(1, '\0') + raw));
    EXPECT_FALSE(Verify(manifest, raw.substr(0, 255)));
    std::string flipped = raw;
    flipped[100] = static_cast<char>(flipped[100] ^ 0x01);
    EXPECT_FALSE(Verify(manifest, flipped));
}

TEST(ManifestSignature, RefusesOtherPaddingOrHash) {
    REQUIRE_SIGNING_KEY();
    const std::string manifest = Fixture("manifest.txt");
    for (const char* name : {"pss.sig", "sha1.sig", "sha512.sig"}) {
        std::string signature = Fixture(name);
        EXPECT_EQ(signature.size(), 256u) << name;
        EXPECT_FALSE(Verify(manifest, signature)) << name;
    }
}

TEST(ManifestSignature, RefusesEmptyManifestEvenWhenItsSignatureIsGenuine) {
    REQUIRE_SIGNING_KEY();
    const std::string signature = Fixture("empty.sig");
    // The signature itself is sound; only the rule about empty manifests refuses it.
    EXPECT_TRUE(VerifySignatureWithKey(kPublicKeyBlob, kPublicKeyBlobSize, nullptr, 0,
                                       Data(signature), signature.size()));
    EXPECT_FALSE(Verify("", signature));
    EXPECT_FALSE(VerifyManifestSignature(nullptr, 0, Data(signature), signature.size()));
}

TEST(ManifestSignature, RefusesEmptyOrMissingSignature) {
    const std::string manifest = Fixture("manifest.txt");
    EXPECT_FALSE(Verify(manifest, ""));
    EXPECT_FALSE(VerifyManifestSignature(Data(manifest), manifest.size(), nullptr, 256));
    EXPECT_FALSE(VerifyManifestSignature(nullptr, 10, Data(manifest), manifest.size()));
}

TEST(ManifestSignature, RefusesSignatureByAnotherKey) {
    const std::string signature = Fixture("foreign.sig");
    EXPECT_EQ(signature.size(), 256u);
    EXPECT_FALSE(Verify(Fixture("manifest.txt"), signature));
}

TEST(ManifestSignature, RefusesUnusableKeyBlob) {
    REQUIRE_SIGNING_KEY();
    const std::string manifest = Fixture("manifest.txt");
    const std::string signature = Fixture("valid.sig");
    std::string blob(reinterpret_cast<const char*>(kPublicKeyBlob), kPublicKeyBlobSize);
    auto verifyWith = [&](const std::string& key) {
        return VerifySignatureWithKey(Data(key), key.size(), Data(manifest), manifest.size(),
                                      Data(signature), signature.size());
    };
    ASSERT_TRUE(verifyWith(blob));
    std::string wrongMagic = blob;
    wrongMagic[3] = '2';  // "RSA2" is a private blob
    EXPECT_FALSE(verifyWith(wrongMagic));
    EXPECT_FALSE(verifyWith(blob.substr(0, 100)));
    EXPECT_FALSE(verifyWith(blob.substr(0, 10)));
    EXPECT_FALSE(verifyWith(""));
    EXPECT_FALSE(VerifySignatureWithKey(nullptr, 283, Data(manifest), manifest.size(),
                                        Data(signature), signature.size()));
}

// Wycheproof: every "valid" vector verifies, every "invalid" one does not.
TEST(ManifestSignature, AgreesWithWycheproofVectors) {
    const std::string text = Fixture("wycheproof.txt");
    std::string key, message, signature;
    int valid = 0, invalid = 0, acceptable = 0, keys = 0;
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(position, end - position);
        position = end + 1;
        if (line.compare(0, 4, "key ") == 0) {
            ASSERT_TRUE(FromHex(line.substr(4), key)) << line;
            ++keys;
            continue;
        }
        if (line.compare(0, 5, "case ") != 0) continue;
        // case <id> <result> <msg hex> <sig hex>
        size_t a = line.find(' ', 5), b = line.find(' ', a + 1), c = line.find(' ', b + 1);
        ASSERT_NE(c, std::string::npos) << line;
        const std::string id = line.substr(5, a - 5), result = line.substr(a + 1, b - a - 1);
        ASSERT_TRUE(FromHex(line.substr(b + 1, c - b - 1), message)) << line;
        ASSERT_TRUE(FromHex(line.substr(c + 1), signature)) << line;
        bool verdict = VerifySignatureWithKey(Data(key), key.size(), Data(message),
                                              message.size(), Data(signature), signature.size());
        if (result == "valid") {
            EXPECT_TRUE(verdict) << "tcId " << id;
            ++valid;
        } else if (result == "invalid") {
            EXPECT_FALSE(verdict) << "tcId " << id;
            ++invalid;
        } else {
            ++acceptable;  // either verdict is allowed; it only must not crash
            std::printf("Wycheproof tcId %s (%s): %s\n", id.c_str(), result.c_str(),
                        verdict ? "accepted" : "refused");
        }
    }
    std::printf("Wycheproof: %d keys; %d valid, %d invalid and %d acceptable cases checked\n",
                keys, valid, invalid, acceptable);
    EXPECT_EQ(keys, 3);
    EXPECT_EQ(valid, 9);
    EXPECT_EQ(invalid, 249);
    EXPECT_EQ(acceptable, 1);
}
