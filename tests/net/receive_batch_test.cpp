#include "net/receive_batch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "loopback_socket.h"

namespace kelvaro {
namespace {

using testing_support::LoopbackSocket;

std::vector<uint8_t> filled(size_t length, uint8_t fill) {
    return std::vector<uint8_t>(length, fill);
}

// On loopback a sent datagram is queued at the receiver before sendto
// returns, so every case below reads a batch that is already complete.
TEST(ReceiveBatchTest, OneCallKeepsEveryFittingDatagramAndDropsTheRestEachAlone) {
    LoopbackSocket receiver;
    LoopbackSocket sender;
    const size_t lengths[] = {1, kMaxDatagram + 1, kMaxDatagram, 0, 2000, 3};
    for (size_t i = 0; i < std::size(lengths); ++i)
        sender.sendTo(receiver, lengths[i], static_cast<uint8_t>(i + 1));

    ReceiveBatch batch;
    const std::vector<std::vector<uint8_t>> expected = {
        filled(1, 1), filled(kMaxDatagram, 3), filled(3, 6)};
    for (size_t i = 0; i < expected.size(); ++i) {
        const Datagram* datagram = batch.next(receiver.fd, 64);
        ASSERT_NE(datagram, nullptr) << i;
        EXPECT_EQ(datagram->bytes, expected[i]) << i;
        EXPECT_TRUE(datagram->source.sameHost(sender.address)) << i;
        EXPECT_EQ(batch.waiting(), expected.size() - 1 - i);
        // Looking ahead sees the kept datagrams still to come, and no further.
        for (size_t k = 0; i + 1 + k <= expected.size(); ++k) {
            const Datagram* later = batch.ahead(static_cast<uint32_t>(k));
            if (i + 1 + k == expected.size()) {
                EXPECT_EQ(later, nullptr) << i << " " << k;
            } else {
                ASSERT_NE(later, nullptr) << i << " " << k;
                EXPECT_EQ(later->bytes, expected[i + 1 + k]) << i << " " << k;
            }
        }
    }
    EXPECT_EQ(batch.next(receiver.fd, 64), nullptr);
    EXPECT_FALSE(batch.usesSingleCalls());
}

TEST(ReceiveBatchTest, ReadsNoMoreThanWantedAndLaterBatchesStartAfresh) {
    LoopbackSocket receiver;
    LoopbackSocket sender;
    for (uint8_t i = 1; i <= 5; ++i) sender.sendTo(receiver, i, i);
    ReceiveBatch batch;
    ASSERT_NE(batch.next(receiver.fd, 2), nullptr);
    EXPECT_EQ(batch.waiting(), 1u);
    // The one read already comes before any new read, whatever is wanted.
    const Datagram* second = batch.next(receiver.fd, 64);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bytes, filled(2, 2));
    // A longer datagram after shorter ones: every length is reset per call.
    sender.sendTo(receiver, kMaxDatagram, 9);
    for (uint8_t i = 3; i <= 5; ++i) {
        const Datagram* datagram = batch.next(receiver.fd, 64);
        ASSERT_NE(datagram, nullptr);
        EXPECT_EQ(datagram->bytes, filled(i, i));
    }
    const Datagram* last = batch.next(receiver.fd, 64);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->bytes, filled(kMaxDatagram, 9));
    // That read was short, so the socket was empty: the caller hears so once
    // without a read, and the next call reads what came since.
    sender.sendTo(receiver, 7, 7);
    EXPECT_EQ(batch.next(receiver.fd, 64), nullptr);
    const Datagram* later = batch.next(receiver.fd, 64);
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(later->bytes, filled(7, 7));
}

int callsMade = 0;
int missingCall(int, mmsghdr*, unsigned, int, timespec*) {
    ++callsMade;
    errno = ENOSYS;
    return -1;
}

TEST(ReceiveBatchTest, WithoutTheBatchCallEachDatagramIsReadAloneAndStillChecked) {
    LoopbackSocket receiver;
    LoopbackSocket sender;
    sender.sendTo(receiver, 4, 1);
    sender.sendTo(receiver, kMaxDatagram + 1, 2);
    sender.sendTo(receiver, 5, 3);
    callsMade = 0;
    ReceiveBatch batch(&missingCall);
    const Datagram* first = batch.next(receiver.fd, 64);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bytes, filled(4, 1));
    EXPECT_TRUE(batch.usesSingleCalls());
    EXPECT_EQ(batch.waiting(), 0u);
    EXPECT_EQ(batch.next(receiver.fd, 64), nullptr);  // the oversized one, dropped
    const Datagram* third = batch.next(receiver.fd, 64);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->bytes, filled(5, 3));
    EXPECT_EQ(callsMade, 1);  // learned once
}


// A kernel that fills the first `deliver` messages of one call the way the
// real one does (lengths and flags overwritten with what arrived), after
// checking that every header it was handed offers the full sizes again.
struct ScribblingKernel {
    static inline uint32_t deliver = 0;
    static inline bool failNext = false;
    static inline int headersShort = 0;
    static int call(int, mmsghdr* headers, unsigned count, int, timespec*) {
        for (unsigned i = 0; i < count; ++i) {
            const msghdr& header = headers[i].msg_hdr;
            if (header.msg_namelen != sizeof(sockaddr_storage) || header.msg_iov[0].iov_len != kMaxDatagram ||
                header.msg_flags != 0)
                ++headersShort;
        }
        const unsigned filledCount = failNext ? count : std::min<unsigned>(deliver, count);
        deliver = 0;  // what is waiting arrives once
        for (unsigned i = 0; i < filledCount; ++i) {
            msghdr& header = headers[i].msg_hdr;
            auto* source = static_cast<sockaddr_in*>(header.msg_name);
            source->sin_family = AF_INET;
            header.msg_namelen = sizeof(sockaddr_in);
            header.msg_iov[0].iov_len = 3;  // a kernel may shorten what it used
            header.msg_flags = MSG_EOR;
            headers[i].msg_len = 3;
        }
        if (failNext) {
            failNext = false;
            errno = EINTR;
            return -1;
        }
        return static_cast<int>(filledCount);
    }
};

TEST(ReceiveBatchTest, EveryHeaderAKernelCallMayHaveWrittenIsWholeAgainBeforeTheNext) {
    ReceiveBatch batch(&ScribblingKernel::call);
    ScribblingKernel::headersShort = 0;
    // (wanted, delivered, fails): shrinking and growing batches, and a failed
    // call that wrote into everything it was given.
    const struct { uint32_t wanted, delivered; bool fails; } calls[] = {
        {64, 10, false}, {5, 5, false}, {64, 2, false}, {8, 0, true}, {64, 64, false}, {1, 1, false}, {64, 0, false}};
    for (const auto& step : calls) {
        ScribblingKernel::deliver = step.delivered;
        ScribblingKernel::failNext = step.fails;
        uint32_t got = 0;
        while (got <= 64 && batch.next(-1, step.wanted) != nullptr) ++got;
        EXPECT_EQ(got, step.fails ? 0 : std::min(step.wanted, step.delivered));
    }
    EXPECT_EQ(ScribblingKernel::headersShort, 0);
}

}  // namespace
}  // namespace kelvaro
