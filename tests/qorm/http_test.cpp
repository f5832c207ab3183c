#include "host/http_response.h"
#include "host/http_session.h"
#include "qorm/http_encode.h"

#include <gtest/gtest.h>

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

typedef HTTP_Query_String_Builder_T<std::back_insert_iterator<std::string>> Query_Builder;
}  // namespace

TEST(HttpEncode, FlagsChooseWhatStaysLiteral) {
    const struct {
        const char* text;
        unsigned flags;
        const char* encoded;
    } rows[] = {
        {"a b/c", 3, "a+b%2fc"},
        {"a b/c", 0, "a%20b/c"},
        {"\xC3\xA9", 4, "%C3%A9"},
        {"\xC3\xA9", 0, "%c3%a9"},
        {"AZaz09-_.~", 0x7, "AZaz09-_.~"},
        {":()'*!#$&+,;=?@", 0x100, "%3a%28%29%27%2a%21%23%24%26%2b%2c%3b%3d%3f%40"},
        {"/ ", 0x100, "/%20"},
        {"a&b=c", 0x1000, "a&b%3dc"},
        {"%\n\x7f", ~0u, "%25%0A%7F"},  // control bytes and "%" itself always
        {nullptr, 3, "<untouched>"},
        {"", 3, "<untouched>"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.encoded, encode(r.text, r.flags)) << (r.text ? r.text : "null") << r.flags;
    // Each keep bit frees exactly its own character.
    const char reserved[] = ":()'*!#$&+,;=?@";
    const unsigned bits[] = {0x8,    0x10,   0x20,   0x40,   0x80,    0x200,   0x400,  0x800,
                             0x1000, 0x2000, 0x4000, 0x8000, 0x10000, 0x20000, 0x40000};
    for (size_t i = 0; i < sizeof bits / sizeof bits[0]; ++i) {
        const std::string one(1, reserved[i]);
        for (size_t j = 0; j < sizeof bits / sizeof bits[0]; ++j)
            EXPECT_EQ(i == j, encode(one.c_str(), bits[j]) == one) << one << std::hex << bits[j];
    }
    // A pointer iterator advances.
    char buf[16] = {};
    char* out = buf;
    ASSERT_TRUE(http_encode_string_i("a b", 0, out));
    ASSERT_TRUE(http_encode_string_i("/", 1, out));
    EXPECT_STREQ(buf, "a%20b%2f");
    EXPECT_EQ(out, buf + 8);
}

TEST(HttpQueryBuilder, SeparatorsNullOrEmptyValuesAndNoInjection) {
    std::string q;
    Query_Builder b(std::back_inserter(q), false);
    b("uuid", "x y", true, true)("a", nullptr, true, true)(nullptr, "v")("", "v")("e", "");
    EXPECT_EQ(q, "uuid=x+y&a&e=");
    std::string cont = "?first=1";
    Query_Builder(std::back_inserter(cont), true)("n a/me", "v", true, true, "p ");
    EXPECT_EQ(cont, "?first=1&p+n+a%2fme=v");
    std::string raw;
    Query_Builder(std::back_inserter(raw))("filter[a]", "1", false, true, "pre.");
    EXPECT_EQ(raw, "pre.filter[a]=1");
    // Values cannot add parameters, encoded or not.
    for (bool encode_value : {true, false}) {
        std::string v;
        Query_Builder(std::back_inserter(v))("uuid", "x&admin=1#frag", true, encode_value)(
            "next", "%41", true, encode_value);
        EXPECT_EQ(v, "uuid=x%26admin%3d1%23frag&next=%2541") << encode_value;
    }
}

// --- Header accessors over the host container ---

TEST(HttpBase, KeepAliveRules) {
    const struct {
        int minor;
        const char* connection;
        bool keep_alive;
    } rows[] = {
        {1, nullptr, true},
        {0, nullptr, false},
        {0, "keep-alive", true},
        {0, "Upgrade, Keep-Alive", true},
        {0, "Keep-Alive, close", false},
        {0, "closed", false},  // not a "close" token: as HTTP/1.0 goes
        {1, "closed", true},
        {1, " CLOSE ", false},
    };
    for (const auto& r : rows) {
        HTTP_Response resp;
        resp.minor_version(r.minor);
        if (r.connection)
            resp.head(HTTP_HEAD_CONNECTION, r.connection);
        EXPECT_EQ(r.keep_alive, resp.keep_alive()) << r.minor << (r.connection ? r.connection : "");
    }
    HTTP_Response r;
    EXPECT_EQ(r.minor_version(), 1);
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

TEST(HttpBase, ChunkedEncodingIsTheLastCodingAndSomeStatusesHaveNoBody) {
    HTTP_Response r;
    r.content_type("application/json");
    EXPECT_STREQ(r.content_type(), "application/json");
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
    for (int s : {100, 101, 204, 304, 200, 201, 400, 404, 500})
        EXPECT_EQ(s >= 200 && s != 204 && s != 304, (r.status(s), r.has_body())) << s;
}

// --- Intrusive reference count ---

namespace {
std::atomic<int> g_destroyed{0};

class Test_Session : public HTTP_Session {
public:
    ~Test_Session() override { ++g_destroyed; }
};
}  // namespace

// Threads churn references while the extra ones are dropped, then all drop
// their last reference at once: one object, destroyed exactly once.
TEST(HttpSessionRefcount, ManyThreadsDestroyExactlyOnce) {
    constexpr int kThreads = 8, kRefsPerThread = 2000, kRounds = 40;
    HTTP_Session::intrusive_add_ref(nullptr);
    HTTP_Session::intrusive_remove_ref(nullptr);
    g_destroyed = 0;
    for (int round = 0; round < kRounds; ++round) {
        HTTP_Session* s = new Test_Session;
        for (int t = 0; t < 2 * kThreads; ++t)
            HTTP_Session::intrusive_add_ref(s);
        ASSERT_EQ(2 * kThreads, s->refcount());
        std::atomic<int> ready{0};
        std::atomic<bool> churned{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([s, &ready, &churned] {
                for (++ready; ready.load() < kThreads;)
                    std::this_thread::yield();
                for (int i = 0; i < kRefsPerThread; ++i) {
                    HTTP_Session::intrusive_add_ref(s);
                    HTTP_Session::intrusive_remove_ref(s);
                }
                while (!churned.load())
                    std::this_thread::yield();
                HTTP_Session::intrusive_remove_ref(s);
            });
        for (int t = 0; t < kThreads; ++t)
            HTTP_Session::intrusive_remove_ref(s);
        EXPECT_EQ(g_destroyed, round);
        churned = true;
        for (auto& th : threads)
            th.join();
        EXPECT_EQ(g_destroyed, round + 1);
    }
}
