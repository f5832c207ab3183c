// The host's TLS policy against local TLS servers whose certificates the
// test makes: peers are verified against the system's CA store by default,
// against the host's CA file when one is named, and not at all only when the
// host settings say so, each connection so made logged.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "host/curl_transfer.h"
#include "host/host_manager.h"
#include "host/paths.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

const char* const SERVED_IP = "127.0.0.1";
const char* const OTHER_IP = "127.0.0.2";
const long VALID_FROM_S = -3600;
const long VALID_FOR_S = 24 * 3600;
const long CERT_VERSION_3 = 2;  // X.509 counts versions from 0
const long TIMEOUT_MS = 5000;
const int KEEP_ALIVE_S = 1;

// A self-signed certificate naming one IP address, with its key.
struct Certificate {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
    std::unique_ptr<X509, decltype(&X509_free)> cert{nullptr, X509_free};
    std::string pem_file;  // the certificate alone, as a CA file names it

    Certificate(const std::string& ip, const std::string& file) : pem_file(file) { make(ip); }

private:
    void make(const std::string& ip) {
        key.reset(EVP_EC_gen("P-256"));
        cert.reset(X509_new());
        if (!key || !cert) {
            ADD_FAILURE() << "cannot make a key";
            return;
        }
        X509* x = cert.get();
        X509_set_version(x, CERT_VERSION_3);
        ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
        X509_gmtime_adj(X509_getm_notBefore(x), VALID_FROM_S);
        X509_gmtime_adj(X509_getm_notAfter(x), VALID_FOR_S);
        X509_set_pubkey(x, key.get());
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(ip.c_str()), -1, -1, 0);
        X509_set_issuer_name(x, name);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
        X509_EXTENSION* san =
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, ("IP:" + ip).c_str());
        ASSERT_NE(nullptr, san);
        X509_add_ext(x, san, -1);
        X509_EXTENSION_free(san);
        ASSERT_GT(X509_sign(x, key.get(), EVP_sha256()), 0);
        FILE* out = std::fopen(pem_file.c_str(), "w");
        ASSERT_NE(nullptr, out);
        EXPECT_EQ(1, PEM_write_X509(out, x));
        std::fclose(out);
    }
};

// An HTTPS server on 127.0.0.1 presenting a certificate.
class Tls_Server {
public:
    explicit Tls_Server(const Certificate& c) : server_(c.cert.get(), c.key.get()) {
        server_.set_keep_alive_timeout(KEEP_ALIVE_S);
        server_.Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("ok", "text/plain");
        });
        port_ = server_.bind_to_any_port(SERVED_IP);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())  // a stop before the accept loop runs would be lost
            std::this_thread::yield();
    }
    ~Tls_Server() {
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "https://" + std::string(SERVED_IP) + ":" + peer_port(); }
    std::string peer_port() const { return std::to_string(port_); }

private:
    httplib::SSLServer server_;
    int port_ = 0;
    std::thread thread_;
};

class TlsPolicy : public ::testing::Test {
protected:
    ~TlsPolicy() override {
        ::unlink(Host_Manager::settings_path().c_str());
        Host_Manager::instance()->reload();
    }
    void write_settings(const std::string& text) {
        const std::string path = Host_Manager::settings_path();
        ASSERT_EQ(0, make_directories(path.substr(0, path.rfind('/')), 0750));
        std::FILE* out = std::fopen(path.c_str(), "w");
        ASSERT_NE(nullptr, out);
        std::fputs(text.c_str(), out);
        std::fclose(out);
        ASSERT_TRUE(Host_Manager::instance()->reload());
    }

    Temp_Root root_;
    Certificate served_{SERVED_IP, root_.file("served.pem")};
    Certificate other_{OTHER_IP, root_.file("other.pem")};
    Tls_Server right_{served_};    // its certificate names the address it serves on
    Tls_Server misnamed_{other_};  // its certificate names another address
};

// Two requests over one kept handle: both fail or both are answered, and a
// connection made without verification is logged once.
TEST_F(TlsPolicy, PeersAreVerifiedUnlessTheHostSettingsSayOtherwise) {
    const std::string served_ca = R"("ca_file": ")" + served_.pem_file + "\"";
    const std::string other_ca = R"("ca_file": ")" + other_.pem_file + "\"";
    const struct {
        const char* what;
        const Tls_Server& server;
        std::string settings;  // inside host.json's object
        bool answered;
        size_t warnings;
    } rows[] = {
        {"the system's store does not know the certificate", right_, "", false, 0},
        {"verification said outright", right_, R"("tls_verify": true)", false, 0},
        {"the CA file names the certificate", right_, served_ca, true, 0},
        {"the CA file names another certificate", right_, other_ca, false, 0},
        {"a trusted certificate for another address", misnamed_, other_ca, false, 0},
        {"verification off", right_, R"("tls_verify": false)", true, 1},
        {"verification off, whatever the CA file", misnamed_,
         R"("tls_verify": false, )" + served_ca, true, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        write_settings("{" + row.settings + "}");
        Log_Capture log;
        Curl_Handle kept;
        for (int request = 0; request < 2; ++request) {
            Http_Exchange x;
            x.url = row.server.url() + "/";
            x.timeout_ms = x.connect_timeout_ms = TIMEOUT_MS;
            EXPECT_EQ(row.answered, curl_transfer(x, &kept)) << x.error;
            if (row.answered)
                EXPECT_EQ("ok", x.response);
            else
                EXPECT_NE(std::string::npos, x.error.find("certificate")) << x.error;
        }
        EXPECT_EQ(row.warnings, log.lines().size()) << ::testing::PrintToString(log.texts());
        for (const Log_Capture::Line& line : log.lines()) {
            EXPECT_EQ(LM_WARNING, line.priority);
            EXPECT_NE(std::string::npos, line.text.find(std::string(SERVED_IP) + ":" +
                                                        row.server.peer_port() + " without"))
                << line.text;
        }
    }
}

}  // namespace
