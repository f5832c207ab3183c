// Secrets encrypted for the host decrypt only with the host's own key, and
// anything damaged fails cleanly.
#include <gtest/gtest.h>

#include "host/rsa_codec.h"

namespace {

struct KeyPair {
    std::string priv, pub;
    KeyPair() { EXPECT_TRUE(rsa_generate_key_pair(priv, pub)); }
};

std::string decode(const std::string& cipher, const std::string& key, bool* ok,
                   int padding = RSA_Decoder::PADDING_OAEP_SHA256) {
    RSA_Decoder d(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size(),
                  reinterpret_cast<const unsigned char*>(key.data()), key.size(), true, padding);
    *ok = static_cast<bool>(d);
    return std::string(reinterpret_cast<const char*>(d.get()), d.length());
}

TEST(RsaCodec, OnlyTheMatchingKeyAndPaddingDecryptUndamagedInput) {
    const KeyPair a, b;
    bool ok = false;
    for (const std::string& plain :
         {std::string("p"), std::string("s3cr3t-pässword"), std::string(190, 'x')}) {
        SCOPED_TRACE(plain);
        std::string cipher;
        ASSERT_TRUE(rsa_encrypt_to_base64(a.pub, plain, cipher));
        if (plain.size() > 8) {
            EXPECT_EQ(std::string::npos, cipher.find(plain));
        }
        EXPECT_EQ(plain, decode(cipher, a.priv, &ok));
        EXPECT_TRUE(ok);
    }

    std::string cipher;
    ASSERT_TRUE(rsa_encrypt_to_base64(a.pub, "secret", cipher));
    std::string flipped = cipher;
    flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
    const std::pair<std::string, std::string> bad[] = {
        {cipher, b.priv},  // another host's key
        {cipher, a.pub},   // a public key cannot decrypt
        {cipher, "not a key"},
        {flipped, a.priv},
        {"", a.priv},
        {"abc", a.priv},
        {"!!!!", a.priv},
        {cipher.substr(0, 40), a.priv},
        {"plain text password", a.priv},
    };
    for (const auto& row : bad) {
        SCOPED_TRACE(row.first + " / " + row.second.substr(0, 30));
        EXPECT_EQ("", decode(row.first, row.second, &ok));
        EXPECT_FALSE(ok);
    }
    EXPECT_EQ("", decode(cipher, a.priv, &ok, 2)) << "only the agreed padding is understood";
    EXPECT_FALSE(ok);
}

}  // namespace
