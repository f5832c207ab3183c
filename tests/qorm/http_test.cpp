#include "host/http_response.h"
#include "host/http_session.h"
#include "qorm/http_encode.h"

#include <gtest/gtest.h>

#include <ace/Intrusive_Auto_Ptr.h>

#include <atomic>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {
std::string encode(const char* text, unsigned flags) {
    std::string out = "<untouched>";
    if (http_encode_string_i(text, flags, std::back_inserter(out)))
        return out.substr(11);
    return out;
}
}  // namespace

TEST(HttpEncode, FlagsChooseWhatStaysLiteral) {
    EXPECT_EQ(encode("a b/c", 3), "a+b%2fc");
    EXPECT_EQ(encode("a b/c", 0), "a%20b/c");
    EXPECT_EQ(encode("\xC3\xA9", 4), "%C3%A9");
    EXPECT_EQ(encode("\xC3\xA9", 0), "%c3%a9");
    EXPECT_EQ(encode("AZaz09-_.~", 0x7), "AZaz09-_.~");

    const char reserved[] = ":()'*!#$&+,;=?@";
    EXPECT_EQ(encode(reserved, 0x100), "%3a%28%29%27%2a%21%23%24%26%2b%2c%3b%3d%3f%40");
    EXPECT_EQ(encode("/ ", 0x100), "/%20");
    EXPECT_EQ(encode("a&b", 0x1000), "a&b");
    EXPECT_EQ(encode("a&b=c", 0x1000), "a&b%3dc");

    // Each keep bit frees exactly its own character.
    const unsigned bits[] = {0x8,    0x10,   0x20,   0x40,   0x80,    0x200,   0x400,  0x800,
                             0x1000, 0x2000, 0x4000, 0x8000, 0x10000, 0x20000, 0x40000};
    for (size_t i = 0; i < sizeof bits / sizeof bits[0]; ++i) {
        const std::string one(1, reserved[i]);
        EXPECT_EQ(encode(one.c_str(), bits[i]), one) << std::hex << bits[i];
        for (size_t j = 0; j < sizeof bits / sizeof bits[0]; ++j) {
            if (j != i) {
                EXPECT_EQ(encode(one.c_str(), bits[j])[0], '%')
                    << one << " with " << std::hex << bits[j];
            }
        }
    }

    // Control bytes and "%" itself are always escaped.
    EXPECT_EQ(encode("%\n\x7f", ~0u), "%25%0A%7F");
}

TEST(HttpEncode, NullOrEmptyWritesNothing) {
    EXPECT_EQ(encode(nullptr, 3), "<untouched>");
    EXPECT_EQ(encode("", 3), "<untouched>");
}

TEST(HttpEncode, AdvancesAPointerIterator) {
    char buf[16] = {};
    char* out = buf;
    ASSERT_TRUE(http_encode_string_i("a b", 0, out));
    ASSERT_TRUE(http_encode_string_i("/", 1, out));
    EXPECT_STREQ(buf, "a%20b%2f");
    EXPECT_EQ(out, buf + 8);
}

TEST(HttpQueryBuilder, SeparatorsAndNullOrEmptyValues) {
    std::string q;
    HTTP_Query_String_Builder_T<std::back_insert_iterator<std::string>> b(std::back_inserter(q),
                                                                          false);
    b("uuid", "x y", true, true)("a", nullptr, true, true);
    EXPECT_EQ(q, "uuid=x+y&a");

    b(nullptr, "v")("", "v");
    EXPECT_EQ(q, "uuid=x+y&a");
    b("e", "");
    EXPECT_EQ(q, "uuid=x+y&a&e=");

    std::string cont = "?first=1";
    HTTP_Query_String_Builder_T<std::back_insert_iterator<std::string>> more(
        std::back_inserter(cont), true);
    more("n a/me", "v", true, true, "p ");
    EXPECT_EQ(cont, "?first=1&p+n+a%2fme=v");

    std::string raw;
    HTTP_Query_String_Builder_T<std::back_insert_iterator<std::string>> lit(
        std::back_inserter(raw));
    lit("filter[a]", "1", false, true, "pre.");
    EXPECT_EQ(raw, "pre.filter[a]=1");
}

TEST(HttpQueryBuilder, ValuesCannotInjectParameters) {
    for (bool encode_value : {true, false}) {
        std::string q;
        HTTP_Query_String_Builder_T<std::back_insert_iterator<std::string>> b(
            std::back_inserter(q));
        b("uuid", "x&admin=1#frag", true, encode_value)("next", "%41", true, encode_value);
        EXPECT_EQ(q, "uuid=x%26admin%3d1%23frag&next=%2541") << encode_value;
    }
}

// --- Header accessors over the host container ---

TEST(HttpBase, KeepAliveRules) {
    HTTP_Response r;
    EXPECT_EQ(r.minor_version(), 1);
    EXPECT_TRUE(r.keep_alive());
    r.minor_version(0);
    EXPECT_FALSE(r.keep_alive());

    r.head(HTTP_HEAD_CONNECTION, "keep-alive");
    EXPECT_TRUE(r.keep_alive());
    r.head(HTTP_HEAD_CONNECTION, "Upgrade, Keep-Alive");
    EXPECT_TRUE(r.keep_alive());
    r.head(HTTP_HEAD_CONNECTION, "Keep-Alive, close");
    EXPECT_FALSE(r.keep_alive());
    r.head(HTTP_HEAD_CONNECTION, "closed");
    EXPECT_FALSE(r.keep_alive());  // not a "close" token: falls back to HTTP/1.0
    r.minor_version(1);
    EXPECT_TRUE(r.keep_alive());
    r.head(HTTP_HEAD_CONNECTION, " CLOSE ");
    EXPECT_FALSE(r.keep_alive());

    r.keep_alive(true);
    EXPECT_STREQ(r.head(HTTP_HEAD_CONNECTION), "Keep-Alive");
    r.keep_alive(false);
    EXPECT_STREQ(r.head(HTTP_HEAD_CONNECTION), "close");
    EXPECT_FALSE(r.keep_alive());
}

TEST(HttpBase, ContentLengthIsDigitsInRangeOrMalformed) {
    HTTP_Response r;
    EXPECT_EQ(r.content_length(), 0u);
    EXPECT_FALSE(r.malformed());

    r.content_length(18446744073709551615UL);
    EXPECT_STREQ(r.head(HTTP_HEAD_CONTENT_LENGTH), "18446744073709551615");
    EXPECT_EQ(r.content_length(), 18446744073709551615UL);
    EXPECT_FALSE(r.malformed());

    r.head(HTTP_HEAD_CONTENT_LENGTH, "0");
    EXPECT_EQ(r.content_length(), 0u);
    EXPECT_FALSE(r.malformed());

    for (const char* bad :
         {"", "-1", "+5", " 5", "5 ", "12abc", "0x10", "18446744073709551616", "5, 5"}) {
        r.head(HTTP_HEAD_CONTENT_LENGTH, bad);
        EXPECT_EQ(r.content_length(), 0u) << '"' << bad << '"';
        EXPECT_TRUE(r.malformed()) << '"' << bad << '"';
    }
}

TEST(HttpBase, TypeAndChunkedEncoding) {
    HTTP_Response r;
    EXPECT_EQ(r.content_type(), nullptr);
    r.content_type("application/json");
    EXPECT_STREQ(r.content_type(), "application/json");
    r.content_type(nullptr);
    EXPECT_EQ(r.content_type(), nullptr);

    EXPECT_FALSE(r.chunked_transfer_encoding());
    r.chunked_transfer_encoding(true);
    EXPECT_STREQ(r.head(HTTP_HEAD_TRANSFER_ENCODING), "chunked");
    EXPECT_TRUE(r.chunked_transfer_encoding());
    r.head(HTTP_HEAD_TRANSFER_ENCODING, "gzip, chunked");
    EXPECT_TRUE(r.chunked_transfer_encoding());
    r.head(HTTP_HEAD_TRANSFER_ENCODING, "chunked, gzip");
    EXPECT_FALSE(r.chunked_transfer_encoding());
    r.chunked_transfer_encoding(false);
    EXPECT_EQ(r.head(HTTP_HEAD_TRANSFER_ENCODING), nullptr);
}

TEST(HttpBase, BodylessStatuses) {
    HTTP_Response r;
    for (int s : {100, 101, 204, 304})
        EXPECT_FALSE((r.status(s), r.has_body())) << s;
    for (int s : {200, 201, 400, 404, 500})
        EXPECT_TRUE((r.status(s), r.has_body())) << s;
}

// --- Intrusive reference count ---

namespace {
std::atomic<int> g_destroyed{0};

class Test_Session : public HTTP_Session {
public:
    ~Test_Session() override { ++g_destroyed; }
};
}  // namespace

TEST(HttpSessionRefcount, SmartPointersShareOneObject) {
    g_destroyed = 0;
    {
        ACE_Intrusive_Auto_Ptr<HTTP_Session> a(new Test_Session);
        EXPECT_EQ(a->refcount(), 1);
        ACE_Intrusive_Auto_Ptr<HTTP_Session> b(a);
        EXPECT_EQ(a->refcount(), 2);
    }
    EXPECT_EQ(g_destroyed, 1);

    HTTP_Session::intrusive_add_ref(nullptr);
    HTTP_Session::intrusive_remove_ref(nullptr);
}

TEST(HttpSessionRefcount, ManyThreadsDestroyExactlyOnce) {
    constexpr int kThreads = 8, kRefsPerThread = 2000, kRounds = 20;
    g_destroyed = 0;
    for (int round = 0; round < kRounds; ++round) {
        HTTP_Session* s = new Test_Session;
        HTTP_Session::intrusive_add_ref(s);  // the setup's own reference
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([s, &go] {
                while (!go.load())
                    std::this_thread::yield();
                for (int i = 0; i < kRefsPerThread; ++i) {
                    HTTP_Session::intrusive_add_ref(s);
                    HTTP_Session::intrusive_remove_ref(s);
                }
            });
        for (int t = 0; t < kThreads; ++t)
            HTTP_Session::intrusive_add_ref(s);
        go = true;
        // Concurrently drop the extra references while the workers churn.
        for (int t = 0; t < kThreads; ++t)
            HTTP_Session::intrusive_remove_ref(s);
        for (auto& th : threads)
            th.join();
        EXPECT_EQ(s->refcount(), 1);
        EXPECT_EQ(g_destroyed, round);
        HTTP_Session::intrusive_remove_ref(s);
        EXPECT_EQ(g_destroyed, round + 1);
    }
}

TEST(HttpSessionRefcount, LastReleaseRacesDestroyOnce) {
    constexpr int kThreads = 8, kRounds = 200;
    g_destroyed = 0;
    for (int round = 0; round < kRounds; ++round) {
        HTTP_Session* s = new Test_Session;
        for (int t = 0; t < kThreads; ++t)
            HTTP_Session::intrusive_add_ref(s);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([s, &ready] {
                ++ready;
                while (ready.load() < kThreads)
                    std::this_thread::yield();
                HTTP_Session::intrusive_remove_ref(s);
            });
        for (auto& th : threads)
            th.join();
        EXPECT_EQ(g_destroyed, round + 1);
    }
}
