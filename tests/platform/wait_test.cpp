#include "platform/wait.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kelvaro {
namespace {

// Pipes stand in for sockets: what counts is that the wait reports which
// descriptor has something to read, and reports nothing when none has.
TEST(WaitForReadableTest, ReportsExactlyTheDescriptorsWithSomethingToRead) {
    int first[2];
    int second[2];
    ASSERT_EQ(pipe2(first, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(second, O_CLOEXEC), 0);
    const int watched[] = {first[0], -1, second[0]};
    EXPECT_EQ(waitForReadable(watched, 0), 0u);

    const char byte = 1;
    ASSERT_EQ(write(second[1], &byte, 1), 1);
    // A long limit: the wait must end because of the byte, not the clock.
    EXPECT_EQ(waitForReadable(watched, 600000), 1u << 2);

    ASSERT_EQ(write(first[1], &byte, 1), 1);
    EXPECT_EQ(waitForReadable(watched, 600000), (1u << 0) | (1u << 2));

    // A writer that has gone counts too: a read would not block.
    char drained;
    ASSERT_EQ(read(first[0], &drained, 1), 1);
    ::close(first[1]);
    EXPECT_EQ(waitForReadable(watched, 600000), (1u << 0) | (1u << 2));
    for (const int descriptor : {first[0], second[0], second[1]}) ::close(descriptor);
}

}  // namespace
}  // namespace kelvaro
