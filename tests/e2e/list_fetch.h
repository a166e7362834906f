#pragma once
// Waiting for a server list from a running server process, bounded in time.

#include <optional>
#include <vector>

#include "e2e/server_process.h"
#include "transport/list_client.h"

namespace kelvaro::testing_support {

constexpr int kPollsPerMs = 8;

// Polls the client (several datagrams per millisecond, since a long list
// arrives in many pieces) until the connection has received a list, keeping
// the server's output drained meanwhile. Nothing when none came in time.
inline std::optional<std::vector<uint8_t>> awaitList(ListClient& client,
                                                     const Connection* connection,
                                                     ServerProcess& server,
                                                     int timeoutMs = kDefaultWaitMs) {
    for (int waited = 0; waited <= timeoutMs; ++waited) {
        for (int poll = 0; poll < kPollsPerMs; ++poll) client.poll();
        server.drain();
        const auto lists = client.listsFor(connection);
        if (!lists.empty()) return lists.front();
        sleepMs(1);
    }
    return std::nullopt;
}

// Polls the client and drains the server for about ms milliseconds.
inline void runFor(ListClient& client, ServerProcess& server, int ms) {
    for (int waited = 0; waited < ms; ++waited) {
        for (int poll = 0; poll < kPollsPerMs; ++poll) client.poll();
        server.drain();
        sleepMs(1);
    }
}

}  // namespace kelvaro::testing_support
