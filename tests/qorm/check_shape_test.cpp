#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "qorm/check.h"
#include "support/log_capture.h"

namespace {
// The line of the check, for the message.
int shape_of(int type, int* line) {
    *line = __LINE__ + 1;
    QORM_CHECK_SHAPE_RETURN(type == 1, "reply.result is not object", -1);
    return 0;
}
}  // namespace

TEST(QormCheckShape, FailureLogsTheShortFormAtTheCallSite) {
    Log_Capture log;
    int line = 0;
    errno = EAGAIN;
    EXPECT_EQ(shape_of(2, &line), -1);
    EXPECT_EQ(errno, EAGAIN);
    int evaluated = 0;
    const int here = __LINE__ + 1;
    EXPECT_FALSE(QORM_CHECK_SHAPE(++evaluated == 0, "arr is empty array"));
    EXPECT_EQ(evaluated, 1);
    // Passing checks log nothing.
    int unused = 0;
    EXPECT_EQ(shape_of(1, &unused), 0);
    EXPECT_TRUE(QORM_CHECK_SHAPE(true, "never"));

    const std::string expected[] = {
        "Unexpected error in " __FILE__ ":" + std::to_string(line) +
            ", reply.result is not object!\n",
        "Unexpected error in " __FILE__ ":" + std::to_string(here) + ", arr is empty array!\n",
    };
    ASSERT_EQ(log.lines().size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log.lines()[i].priority, LM_EMERGENCY);
        // No call stack: the line is all there is.
        EXPECT_EQ(log.lines()[i].text, expected[i]);
    }
}
