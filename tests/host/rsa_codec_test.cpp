// Secrets encrypted for the host decrypt only with the host's own key, and
// anything damaged fails cleanly.
#include <gtest/gtest.h>

#include "host/rsa_codec.h"

namespace {

struct Key_Pair {
    std::string priv, pub;
};

const Key_Pair& pair_a() {
    static Key_Pair k = [] {
        Key_Pair p;
        EXPECT_TRUE(rsa_generate_key_pair(p.priv, p.pub));
        return p;
    }();
    return k;
}

const Key_Pair& pair_b() {
    static Key_Pair k = [] {
        Key_Pair p;
        EXPECT_TRUE(rsa_generate_key_pair(p.priv, p.pub));
        return p;
    }();
    return k;
}

std::string decode(const std::string& cipher, const std::string& key, bool* ok) {
    RSA_Decoder d(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size(),
                  reinterpret_cast<const unsigned char*>(key.data()), key.size(), true,
                  RSA_Decoder::PADDING_OAEP_SHA256);
    *ok = static_cast<bool>(d);
    return std::string(reinterpret_cast<const char*>(d.get()), d.length());
}

TEST(RSA_Codec, RoundTripsWithTheMatchingKey) {
    for (std::string plain :
         {std::string("p"), std::string("s3cr3t-pässword"), std::string(190, 'x')}) {
        std::string cipher;
        ASSERT_TRUE(rsa_encrypt_to_base64(pair_a().pub, plain, cipher));
        if (plain.size() > 8) {
            EXPECT_EQ(std::string::npos, cipher.find(plain));
        }
        bool ok = false;
        EXPECT_EQ(plain, decode(cipher, pair_a().priv, &ok));
        EXPECT_TRUE(ok);
    }
}

TEST(RSA_Codec, WrongKeyOrDamagedInputFails) {
    std::string cipher;
    ASSERT_TRUE(rsa_encrypt_to_base64(pair_a().pub, "secret", cipher));
    bool ok = true;
    EXPECT_EQ("", decode(cipher, pair_b().priv, &ok));
    EXPECT_FALSE(ok);

    std::string flipped = cipher;
    flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
    decode(flipped, pair_a().priv, &ok);
    EXPECT_FALSE(ok);

    for (std::string bad : {std::string(""), std::string("abc"), std::string("!!!!"),
                            cipher.substr(0, 40), std::string("plain text password")}) {
        decode(bad, pair_a().priv, &ok);
        EXPECT_FALSE(ok) << bad;
    }
    decode(cipher, "not a key", &ok);
    EXPECT_FALSE(ok);
    decode(cipher, pair_a().pub, &ok);  // a public key cannot decrypt
    EXPECT_FALSE(ok);
}

TEST(RSA_Codec, OnlyTheAgreedPaddingIsUnderstood) {
    std::string cipher;
    ASSERT_TRUE(rsa_encrypt_to_base64(pair_a().pub, "secret", cipher));
    const std::string& key = pair_a().priv;
    RSA_Decoder d(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size(),
                  reinterpret_cast<const unsigned char*>(key.data()), key.size(), true, 2);
    EXPECT_FALSE(d);
    EXPECT_EQ(0u, d.length());
}

}  // namespace
