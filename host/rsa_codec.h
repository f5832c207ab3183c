// RSA decryption of secrets the backup server keeps for an instance
// (passwords, tokens), with the host's private key.
//
// Cipher format: the secret is encrypted with the host's RSA public key
// using OAEP padding with SHA-256 (and MGF1 with SHA-256), and the ciphertext
// travels as standard base64 text (RFC 4648, with padding, no line breaks).
#ifndef HOST_RSA_CODEC_H
#define HOST_RSA_CODEC_H

#include <cstddef>
#include <string>

#include "host/secure_memory.h"

template <class T>
class Codec_Impl_T {
public:
    typedef std::basic_string<T, std::char_traits<T>, secure_allocator<T>> Buffer;

    explicit operator bool() const { return ok_; }
    const T* get() const { return data_.data(); }
    size_t length() const { return data_.size(); }

protected:
    Codec_Impl_T() = default;
    ~Codec_Impl_T() { secure_memset(&data_[0], 0, data_.capacity()); }

    Buffer data_;
    bool ok_ = false;
};

class RSA_Decoder : public Codec_Impl_T<unsigned char> {
public:
    enum { PADDING_OAEP_SHA256 = 1 };

    // data/len: the ciphertext, as base64 text when base64_input is true, else
    // raw bytes. key/key_len: the PEM text of the private key. padding: only
    // PADDING_OAEP_SHA256 is understood. On failure the decoder holds nothing.
    RSA_Decoder(const unsigned char* data, size_t len, const unsigned char* key, size_t key_len,
                bool base64_input, int padding);
};

// For simulators and tests: the inverse of RSA_Decoder with base64 output.
bool rsa_encrypt_to_base64(const std::string& public_key_pem, const std::string& plain,
                           std::string& out);
// A fresh key pair as PEM texts (PKCS#8 private key, SubjectPublicKeyInfo public key).
bool rsa_generate_key_pair(std::string& private_pem, std::string& public_pem, int bits = 2048);

#endif
