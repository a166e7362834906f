#include "net/udp_endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/capture_stdout.h"
#include "support/udp_wait.h"

namespace kelvaro {
namespace {

using testing_support::pollWithin;
using testing_support::StdoutCapture;

const uint32_t kLoopback = inet_addr("127.0.0.1");

class UdpEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(receiver.open(0), 0);
        ASSERT_GE(sender.open(0), 0);
        sender.setDestination(kLoopback, receiver.localPort());
    }

    void sendFilled(size_t length, uint8_t fill) {
        const std::vector<uint8_t> bytes(length, fill);
        sender.send(bytes.data(), bytes.size());
    }

    UdpEndpoint receiver;
    UdpEndpoint sender;
};

TEST_F(UdpEndpointTest, EphemeralPortIsBoundAndCarriedAsSourcePort) {
    EXPECT_NE(receiver.localPort(), 0);
    EXPECT_NE(sender.localPort(), receiver.localPort());
    sendFilled(3, 1);
    auto datagram = pollWithin(receiver);
    ASSERT_NE(datagram, nullptr);
    EXPECT_EQ(datagram->source.hostPort(), sender.localPort());
    EXPECT_EQ(datagram->source.text(), "127.0.0.1");
}

TEST_F(UdpEndpointTest, LargestDatagramIsDeliveredWhole) {
    std::vector<uint8_t> bytes(kMaxDatagram);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(sender.send(bytes.data(), bytes.size()));
    auto datagram = pollWithin(receiver);
    ASSERT_NE(datagram, nullptr);
    EXPECT_EQ(datagram->length(), kMaxDatagram);
    EXPECT_EQ(datagram->bytes, bytes);
}

TEST_F(UdpEndpointTest, OversizedAndEmptyDatagramsAreNeverDelivered) {
    sendFilled(kMaxDatagram + 1, 0xEE);
    sendFilled(0, 0);
    sendFilled(4, 0x11);
    auto datagram = pollWithin(receiver);
    ASSERT_NE(datagram, nullptr);
    EXPECT_EQ(datagram->bytes, (std::vector<uint8_t>(4, 0x11)));
    EXPECT_EQ(receiver.poll(), nullptr);
}

TEST_F(UdpEndpointTest, WaitingDatagramsComeOnePerPollInOrder) {
    sendFilled(1, 1);
    sendFilled(2, 2);
    auto first = pollWithin(receiver);
    auto second = pollWithin(receiver);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->bytes, (std::vector<uint8_t>{1}));
    EXPECT_EQ(second->bytes, (std::vector<uint8_t>{2, 2}));
}

TEST_F(UdpEndpointTest, PollWithNothingWaitingReturnsAtOnce) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(receiver.poll(), nullptr);
}

TEST_F(UdpEndpointTest, FailedBindIsReportedOnceAndNeverReceives) {
    const uint16_t taken = receiver.localPort();
    UdpEndpoint second;
    StdoutCapture capture;
    EXPECT_EQ(second.open(taken), -1);
    sendFilled(4, 1);
    EXPECT_EQ(second.poll(), nullptr);
    EXPECT_EQ(second.poll(), nullptr);
    EXPECT_EQ(second.localPort(), 0);
    EXPECT_EQ(capture.take(),
              "bind(" + std::to_string(taken) + ") error: Address already in use\n");
    EXPECT_NE(pollWithin(receiver), nullptr);  // the datagram went to the real owner
}

TEST_F(UdpEndpointTest, ReopeningClosesTheOldSocketFirst) {
    const uint16_t port = receiver.localPort();
    StdoutCapture capture;
    EXPECT_GE(receiver.open(port), 0);  // would fail if the old socket still held it
    EXPECT_EQ(capture.take(), "");
    EXPECT_EQ(receiver.localPort(), port);
}

TEST_F(UdpEndpointTest, DestinationCanBeSwitchedBetweenSends) {
    UdpEndpoint other;
    ASSERT_GE(other.open(0), 0);
    sendFilled(1, 1);
    sender.setDestination(NetAddress(kLoopback, other.localPort()));
    sendFilled(1, 2);
    auto toReceiver = pollWithin(receiver);
    auto toOther = pollWithin(other);
    ASSERT_NE(toReceiver, nullptr);
    ASSERT_NE(toOther, nullptr);
    EXPECT_EQ(toReceiver->bytes[0], 1);
    EXPECT_EQ(toOther->bytes[0], 2);
}

// Sends then leave only on a flush, or when the socket closes, in the order
// and to the destinations they were made with.
TEST_F(UdpEndpointTest, QueuedSendsLeaveOnFlushOrClose) {
    sender.queueSends();
    sendFilled(1, 1);
    sendFilled(2, 2);
    EXPECT_EQ(receiver.poll(), nullptr);
    sender.flush();
    auto first = pollWithin(receiver);
    auto second = pollWithin(receiver);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->bytes, (std::vector<uint8_t>{1}));
    EXPECT_EQ(second->bytes, (std::vector<uint8_t>{2, 2}));
    sendFilled(3, 3);
    EXPECT_GE(sender.open(0), 0);  // the reopening closes the old socket
    auto third = pollWithin(receiver);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->bytes, (std::vector<uint8_t>(3, 3)));
    EXPECT_EQ(sender.sendsRefused(), 0u);
}

// A batch read for receive() is handed out before poll() reads anything new.
TEST_F(UdpEndpointTest, ReceiveAndPollShareOneOrder) {
    for (uint8_t i = 1; i <= 3; ++i) sendFilled(i, i);
    const Datagram* first = nullptr;
    for (int i = 0; i < 100 && first == nullptr; ++i) first = receiver.receive(8);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bytes, (std::vector<uint8_t>{1}));
    auto second = pollWithin(receiver);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bytes, (std::vector<uint8_t>(2, 2)));
    const Datagram* third = receiver.receive(8);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->bytes, (std::vector<uint8_t>(3, 3)));
}

TEST(NetAddressTest, KeepsNetworkAddressAndHostPort) {
    const NetAddress address(inet_addr("10.1.2.3"), 4991);
    EXPECT_EQ(address.text(), "10.1.2.3");
    EXPECT_EQ(address.hostPort(), 4991);
    EXPECT_EQ(address.address(), inet_addr("10.1.2.3"));
    EXPECT_TRUE(address.sameHost(NetAddress(inet_addr("10.1.2.3"), 4991)));
    EXPECT_FALSE(address.sameHost(NetAddress(inet_addr("10.1.2.3"), 4990)));
    EXPECT_FALSE(address.sameHost(NetAddress(inet_addr("10.1.2.4"), 4991)));
    const NetAddress empty;
    EXPECT_EQ(empty.text(), "0.0.0.0");
    EXPECT_EQ(empty.hostPort(), 0);
}

IpAddress loopback6() {
    IpAddress address;
    parseIpAddress("::1", address);
    return address;
}

// An endpoint with an IPv6 socket hears both families on one port and
// answers each from the socket of its family; the IPv6 socket is IPv6-only,
// so the IPv4 port stays free for a socket of its own.
TEST(UdpEndpointV6Test, BothFamiliesArriveWithTheirSourceAndRepliesLeaveByFamily) {
    StdoutCapture quiet;
    UdpEndpoint dual;
    ASSERT_GE(dual.open(0), 0);
    if (dual.openV6(dual.localPort()) < 0) GTEST_SKIP() << "no IPv6 here";
    EXPECT_EQ(dual.localPortV6(), dual.localPort());
    EXPECT_GE(dual.descriptorV6(), 0);
    UdpEndpoint six;
    ASSERT_GE(six.open(0), 0);
    ASSERT_GE(six.openV6(0), 0);
    UdpEndpoint four;
    ASSERT_GE(four.open(0), 0);

    const uint8_t fromSix[] = {6};
    six.setDestination(loopback6(), dual.localPortV6());
    ASSERT_TRUE(six.send(fromSix, sizeof fromSix));
    const uint8_t fromFour[] = {4};
    four.setDestination(kLoopback, dual.localPort());
    ASSERT_TRUE(four.send(fromFour, sizeof fromFour));

    std::vector<std::unique_ptr<Datagram>> got;
    for (int i = 0; i < 2; ++i)
        if (auto datagram = pollWithin(dual)) got.push_back(std::move(datagram));
    ASSERT_EQ(got.size(), 2u);
    for (const auto& datagram : got) {
        const bool v6 = datagram->bytes == std::vector<uint8_t>{6};
        SCOPED_TRACE(v6 ? "IPv6 sender" : "IPv4 sender");
        EXPECT_EQ(datagram->source.isV6(), v6);
        EXPECT_EQ(datagram->source.ip(), v6 ? loopback6() : IpAddress(kLoopback));
        EXPECT_EQ(datagram->source.hostPort(), v6 ? six.localPortV6() : four.localPort());
        EXPECT_EQ(datagram->source.text(), v6 ? "::1" : "127.0.0.1");
        // The reply goes back from the queue of the right socket.
        dual.queueSends();
        dual.setDestination(datagram->source);
        const uint8_t reply[] = {9, datagram->bytes[0]};
        ASSERT_TRUE(dual.send(reply, sizeof reply));
        dual.flush();
        auto answer = pollWithin(v6 ? six : four);
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer->bytes, (std::vector<uint8_t>{9, datagram->bytes[0]}));
        EXPECT_EQ(answer->source.hostPort(), dual.localPort());
    }
    EXPECT_EQ(dual.sendsRefused(), 0u);
}

}  // namespace
}  // namespace kelvaro
