#include "net/send_queue.h"

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

void add(SendQueue& queue, const LoopbackSocket& from, const LoopbackSocket& to, size_t length,
         uint8_t fill) {
    const std::vector<uint8_t> bytes = filled(length, fill);
    queue.add(from.fd, to.address, bytes.data(), bytes.size());
}

TEST(SendQueueTest, NothingLeavesBeforeTheFlushAndThenEachDestinationGetsItsOwnInOrder) {
    LoopbackSocket sender;
    LoopbackSocket first;
    LoopbackSocket second;
    SendQueue queue;
    for (uint8_t i = 1; i <= 6; ++i) add(queue, sender, i % 2 != 0 ? first : second, i, i);
    EXPECT_EQ(queue.queued(), 6u);
    EXPECT_TRUE(first.drain().empty());
    queue.flush(sender.fd);
    EXPECT_EQ(queue.queued(), 0u);
    EXPECT_EQ(first.drain(), (std::vector{filled(1, 1), filled(3, 3), filled(5, 5)}));
    EXPECT_EQ(second.drain(), (std::vector{filled(2, 2), filled(4, 4), filled(6, 6)}));
    EXPECT_EQ(queue.sent(), 6u);
    EXPECT_EQ(queue.refused(), 0u);
}

TEST(SendQueueTest, AFullQueueAndALongDatagramSendWhatIsQueuedFirst) {
    LoopbackSocket sender;
    LoopbackSocket receiver;
    SendQueue queue;
    for (uint32_t i = 0; i <= SendQueue::kMaxBatch; ++i)
        add(queue, sender, receiver, 1, static_cast<uint8_t>(i));
    EXPECT_EQ(queue.queued(), 1u);
    EXPECT_EQ(receiver.drain().size(), SendQueue::kMaxBatch);
    add(queue, sender, receiver, kMaxDatagram + 80, 0xAA);  // not held: sent behind the one queued
    EXPECT_EQ(queue.queued(), 0u);
    EXPECT_EQ(receiver.drain(), (std::vector{filled(1, SendQueue::kMaxBatch),
                                             filled(kMaxDatagram + 80, 0xAA)}));
}

// A stand-in for sendmmsg that takes at most two datagrams per call and
// refuses those whose first byte is 0xEE, as a full send buffer would.
std::vector<uint8_t> offered;  // first byte of the first datagram of each call
int partialCall(int, mmsghdr* messages, unsigned count, int) {
    offered.push_back(static_cast<uint8_t*>(messages[0].msg_hdr.msg_iov->iov_base)[0]);
    unsigned taken = 0;
    while (taken < count && taken < 2 &&
           static_cast<uint8_t*>(messages[taken].msg_hdr.msg_iov->iov_base)[0] != 0xEE)
        ++taken;
    if (taken == 0) errno = EAGAIN;
    return taken == 0 ? -1 : static_cast<int>(taken);
}

TEST(SendQueueTest, APartialSendGoesOnFromWhereItStoppedAndARefusalSkipsOneDatagram) {
    LoopbackSocket sender;
    LoopbackSocket receiver;
    SendQueue queue(&partialCall);
    offered.clear();
    for (const uint8_t fill : {1, 2, 3, 0xEE, 0xEE, 4}) add(queue, sender, receiver, 3, fill);
    queue.flush(sender.fd);
    EXPECT_EQ(offered, (std::vector<uint8_t>{1, 3, 0xEE, 0xEE, 4}));
    EXPECT_EQ(queue.sent(), 4u);
    EXPECT_EQ(queue.refused(), 2u);
    EXPECT_EQ(queue.queued(), 0u);
}

int missingCall(int, mmsghdr*, unsigned, int) {
    errno = ENOSYS;
    return -1;
}

TEST(SendQueueTest, WithoutTheBatchCallEveryDatagramStillLeavesInOrder) {
    LoopbackSocket sender;
    LoopbackSocket receiver;
    SendQueue queue(&missingCall);
    for (uint8_t i = 1; i <= 3; ++i) add(queue, sender, receiver, i, i);
    queue.flush(sender.fd);
    add(queue, sender, receiver, 4, 4);
    queue.flush(sender.fd);
    EXPECT_EQ(receiver.drain(),
              (std::vector{filled(1, 1), filled(2, 2), filled(3, 3), filled(4, 4)}));
    EXPECT_EQ(queue.sent(), 4u);
}

}  // namespace
}  // namespace kelvaro
