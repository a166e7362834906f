#pragma once
// Bounded waiting for loopback datagrams: polls an endpoint up to a fixed
// number of times with a short sleep between, so a lost datagram fails the
// test instead of hanging it.

#include <memory>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"

namespace kelvaro::testing_support {

constexpr int kPollAttempts = 500;
constexpr uint32_t kPollPauseMs = 2;

inline std::unique_ptr<Datagram> pollWithin(UdpEndpoint& endpoint, int attempts = kPollAttempts) {
    for (int i = 0; i < attempts; ++i) {
        if (auto datagram = endpoint.poll()) return datagram;
        sleepMs(kPollPauseMs);
    }
    return nullptr;
}

}  // namespace kelvaro::testing_support
