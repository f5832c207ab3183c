#include "host/cgi_response.h"

#include <gtest/gtest.h>

#include <sys/uio.h>

#include <string>

TEST(HttpHeadString, NamesAndIdsMatchAndUnknownOnesAreRefused) {
    for (int id : {HTTP_HEAD_CONTENT_LENGTH, HTTP_HEAD_ACCESS_KEY})
        EXPECT_EQ(id, http_head_id(http_head_string(id, 0)));
    EXPECT_STREQ(http_head_string(HTTP_HEAD_ACCESS_KEY, 0), "X-Access-Key");
    for (int unknown : {-1, 0, 9, 48, 50, 1000})
        EXPECT_EQ(http_head_string(unknown, 0), nullptr) << unknown;
    EXPECT_EQ(http_head_id("X-ACCESS-KEY"), HTTP_HEAD_ACCESS_KEY);
    EXPECT_EQ(http_head_id("X-Other"), -1);
    EXPECT_EQ(http_head_id(nullptr), -1);
}

TEST(CgiResponse, StoresReplacesAndRemovesHeadsButRefusesInjection) {
    CGI_Response r;
    EXPECT_EQ(r.status(), 200);
    EXPECT_TRUE(r.head(16, "text/plain"));
    EXPECT_TRUE(r.head(16, "application/json"));
    EXPECT_STREQ(r.head(16), "application/json");
    EXPECT_TRUE(r.head(16, nullptr));
    EXPECT_EQ(r.head(16), nullptr);
    EXPECT_FALSE(r.head(1000, "x"));
    EXPECT_EQ(r.head(1000), nullptr);

    r.head(49, "key");
    EXPECT_FALSE(r.head(49, "key\r\nX-Evil: 1"));
    EXPECT_FALSE(r.head(8, "close\n"));
    EXPECT_STREQ(r.head(49), "key");
    EXPECT_EQ(r.head(8), nullptr);
}

TEST(CgiResponse, SerialisesOneLinePerHeadInIdOrder) {
    CGI_Response r;
    EXPECT_EQ(r.iovec_count(), 0);
    r.head(49, "k1");
    r.head(8, "close");
    r.head(12, "5");
    ASSERT_EQ(r.iovec_count(), 3);
    iovec iov[3];
    ASSERT_EQ(r.to_iovec(iov, 3), 3);
    std::string all;
    for (const iovec& v : iov)
        all.append(static_cast<const char*>(v.iov_base), v.iov_len);
    EXPECT_EQ(all, "Connection: close\r\nContent-Length: 5\r\nX-Access-Key: k1\r\n");
    EXPECT_EQ(r.to_iovec(iov, 1), 1);
    EXPECT_EQ(r.to_iovec(iov, 0), 0);
}
