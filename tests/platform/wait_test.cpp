#include "platform/wait.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "platform/console.h"
#include "platform/tick_clock.h"

namespace kelvaro {
namespace {

// Pipes stand in for sockets: what counts is that the wait reports which
// descriptor has something to read, and reports nothing when none has. The
// one-off wait and the standing set must answer alike.
TEST(WaitForReadableTest, ReportsExactlyTheDescriptorsWithSomethingToRead) {
    for (const bool standing : {false, true}) {
        SCOPED_TRACE(standing ? "ReadableSet" : "waitForReadable");
        int first[2];
        int second[2];
        ASSERT_EQ(pipe2(first, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(second, O_CLOEXEC), 0);
        const int watched[] = {first[0], -1, second[0]};
        ReadableSet set(watched);
        auto wait = [&](uint32_t timeoutMs) {
            return standing ? set.wait(timeoutMs) : waitForReadable(watched, timeoutMs);
        };
        EXPECT_EQ(wait(0), 0u);

        const char byte = 1;
        ASSERT_EQ(write(second[1], &byte, 1), 1);
        // A long limit: the wait must end because of the byte, not the clock.
        EXPECT_EQ(wait(600000), 1u << 2);

        ASSERT_EQ(write(first[1], &byte, 1), 1);
        EXPECT_EQ(wait(600000), (1u << 0) | (1u << 2));

        // A writer that has gone counts too: a read would not block.
        char drained;
        ASSERT_EQ(read(first[0], &drained, 1), 1);
        ::close(first[1]);
        EXPECT_EQ(wait(600000), (1u << 0) | (1u << 2));
        if (standing) {
            // Forgotten, the hung-up pipe is never reported again.
            set.forget(0);
            EXPECT_EQ(set.wait(0), 1u << 2);
        }
        for (const int descriptor : {first[0], second[0], second[1]}) ::close(descriptor);
    }
}

// A pause that gathers reports, besides what woke it, what arrived while it
// gathered, so the loop reads that in the same iteration.
TEST(TrafficPauseTest, AGatherReportsWhatArrivedMeanwhile) {
    int first[2];
    int second[2];
    ASSERT_EQ(pipe2(first, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(second, O_CLOEXEC), 0);
    const int watched[] = {first[0], second[0]};
    TrafficPause pause(watched);
    const char byte = 1;
    ASSERT_EQ(write(first[1], &byte, 1), 1);
    // The second byte comes well inside the gather, however slow the machine.
    std::thread late([&] {
        sleepMs(20);
        [[maybe_unused]] const ssize_t written = write(second[1], &byte, 1);
    });
    EXPECT_EQ(pause.pause(600000, 500000), (1u << 0) | (1u << 1));
    late.join();
    for (const int descriptor : {first[0], first[1], second[0], second[1]}) ::close(descriptor);
}

}  // namespace
}  // namespace kelvaro
