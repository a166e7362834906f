#pragma once
// A loopback UDP endpoint standing in for a peer: tests point a connection at
// it to see exactly which datagrams leave, and send from it to play a client.

#include <arpa/inet.h>

#include <cstdint>
#include <vector>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"

namespace kelvaro::testing {

using Bytes = std::vector<uint8_t>;

inline uint32_t loopbackAddress() { return htonl(INADDR_LOOPBACK); }

class DatagramSink {
public:
    DatagramSink() { endpoint.open(0); }

    NetAddress address() const { return NetAddress(loopbackAddress(), endpoint.localPort()); }
    uint16_t port() const { return endpoint.localPort(); }

    // Every datagram that has arrived, in arrival order. Loopback delivery is
    // all but immediate; a few short pauses make sure nothing is in flight.
    std::vector<Bytes> drain() {
        constexpr int kQuietPolls = 3;
        constexpr int kMaxDatagrams = 100000;
        std::vector<Bytes> received;
        int quiet = 0;
        while (quiet < kQuietPolls && static_cast<int>(received.size()) < kMaxDatagrams) {
            if (auto datagram = endpoint.poll()) {
                received.push_back(std::move(datagram->bytes));
                quiet = 0;
            } else {
                ++quiet;
                sleepMs(1);
            }
        }
        return received;
    }

    void sendTo(uint16_t port, const Bytes& bytes) {
        endpoint.setDestination(loopbackAddress(), port);
        endpoint.send(bytes.data(), bytes.size());
    }

    UdpEndpoint endpoint;
};

}  // namespace kelvaro::testing
