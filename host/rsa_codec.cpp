#include "host/rsa_codec.h"

#include <memory>
#include <mutex>
#include <vector>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace {

struct Pkey_Free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct Ctx_Free {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct Bio_Free {
    void operator()(BIO* b) const { BIO_free(b); }
};
typedef std::unique_ptr<EVP_PKEY, Pkey_Free> Pkey_Ptr;
typedef std::unique_ptr<EVP_PKEY_CTX, Ctx_Free> Ctx_Ptr;
typedef std::unique_ptr<BIO, Bio_Free> Bio_Ptr;

typedef std::basic_string<unsigned char, std::char_traits<unsigned char>,
                          secure_allocator<unsigned char>>
    Secure_Bytes;

bool base64_decode(const unsigned char* in, size_t len, Secure_Bytes& out) {
    if (len == 0 || len % 4 != 0 || len > (1u << 20))
        return false;
    Secure_Bytes buf(len / 4 * 3, 0);
    int n = EVP_DecodeBlock(&buf[0], in, static_cast<int>(len));
    if (n < 0)
        return false;
    size_t pad = 0;
    if (in[len - 1] == '=')
        ++pad;
    if (in[len - 2] == '=')
        ++pad;
    buf.resize(static_cast<size_t>(n) - pad);
    out.swap(buf);
    return true;
}

bool set_oaep_sha256(EVP_PKEY_CTX* ctx) {
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
           EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) > 0 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0;
}

// The key a PEM text holds, as last parsed. OpenSSL takes far longer to
// parse a PEM key (and to set up its blinding on first use) than to use it,
// and a host has one key pair: the parsed key is kept while the same text
// comes.
class Key_Cache {
public:
    typedef EVP_PKEY* (*Parse)(BIO*, EVP_PKEY**, pem_password_cb*, void*);
    explicit Key_Cache(Parse parse) : parse_(parse) {}

    // A reference to the key; null when the text holds none.
    Pkey_Ptr get(const unsigned char* pem, size_t len) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!key_ || pem_.size() != len || CRYPTO_memcmp(pem_.data(), pem, len) != 0) {
            Bio_Ptr bio(BIO_new_mem_buf(pem, static_cast<int>(len)));
            Pkey_Ptr parsed(bio ? parse_(bio.get(), nullptr, nullptr, nullptr) : nullptr);
            if (!parsed)
                return nullptr;
            key_ = std::move(parsed);
            pem_.assign(pem, len);
        }
        return EVP_PKEY_up_ref(key_.get()) == 1 ? Pkey_Ptr(key_.get()) : nullptr;
    }

private:
    const Parse parse_;
    std::mutex mutex_;
    Secure_Bytes pem_;
    Pkey_Ptr key_;
};

// Never destroyed: they may be used until the process ends, after OpenSSL's
// own clean-up at exit.
Key_Cache& private_keys() {
    static Key_Cache* cache = new Key_Cache(PEM_read_bio_PrivateKey);
    return *cache;
}
Key_Cache& public_keys() {
    static Key_Cache* cache = new Key_Cache(PEM_read_bio_PUBKEY);
    return *cache;
}

}  // namespace

RSA_Decoder::RSA_Decoder(const unsigned char* data, size_t len, const unsigned char* key,
                         size_t key_len, bool base64_input, int padding) {
    if (!data || len == 0 || !key || key_len == 0 || padding != PADDING_OAEP_SHA256)
        return;
    Secure_Bytes cipher;
    if (base64_input) {
        if (!base64_decode(data, len, cipher))
            return;
    } else {
        cipher.assign(data, len);
    }
    Pkey_Ptr pkey = private_keys().get(key, key_len);
    if (!pkey)
        return;
    Ctx_Ptr ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || !set_oaep_sha256(ctx.get()))
        return;
    size_t out_len = 0;
    if (EVP_PKEY_decrypt(ctx.get(), nullptr, &out_len, cipher.data(), cipher.size()) <= 0)
        return;
    Buffer plain(out_len, 0);
    if (EVP_PKEY_decrypt(ctx.get(), &plain[0], &out_len, cipher.data(), cipher.size()) <= 0)
        return;
    plain.resize(out_len);
    data_.swap(plain);
    ok_ = true;
}

bool rsa_encrypt_to_base64(const std::string& public_key_pem, const std::string& plain,
                           std::string& out) {
    Pkey_Ptr pkey = public_keys().get(reinterpret_cast<const unsigned char*>(public_key_pem.data()),
                                      public_key_pem.size());
    if (!pkey)
        return false;
    Ctx_Ptr ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || !set_oaep_sha256(ctx.get()))
        return false;
    const auto* in = reinterpret_cast<const unsigned char*>(plain.data());
    size_t len = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &len, in, plain.size()) <= 0)
        return false;
    std::vector<unsigned char> cipher(len);
    if (EVP_PKEY_encrypt(ctx.get(), cipher.data(), &len, in, plain.size()) <= 0)
        return false;
    std::string text(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), cipher.data(),
                            static_cast<int>(len));
    text.resize(static_cast<size_t>(n));
    out.swap(text);
    return true;
}

bool rsa_generate_key_pair(std::string& private_pem, std::string& public_pem, int bits) {
    Pkey_Ptr pkey(EVP_RSA_gen(static_cast<unsigned>(bits)));
    if (!pkey)
        return false;
    auto to_pem = [&](bool priv, std::string& out) {
        Bio_Ptr mem(BIO_new(BIO_s_mem()));
        if (!mem)
            return false;
        int ok = priv ? PEM_write_bio_PrivateKey(mem.get(), pkey.get(), nullptr, nullptr, 0,
                                                 nullptr, nullptr)
                      : PEM_write_bio_PUBKEY(mem.get(), pkey.get());
        if (ok != 1)
            return false;
        char* p = nullptr;
        long n = BIO_get_mem_data(mem.get(), &p);
        out.assign(p, static_cast<size_t>(n));
        return true;
    };
    return to_pem(true, private_pem) && to_pem(false, public_pem);
}
