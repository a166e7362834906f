// The blocking count query: one datagram to the update port, the reply from
// the directory's ping port, matched by its echo.

#include <memory>

#include "common.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"

extern "C" kelvaro_status kelvaro_count(const char* address, uint16_t update_port,
                                        uint32_t timeout_ms, uint32_t* count) {
    using namespace kelvaro;
    using namespace kelvaro::client;
    uint32_t directory = 0;
    if (count == nullptr || !parseAddress(address, directory) || timeout_ms > kLongestTimeoutMs)
        return KELVARO_ERR_ARGUMENT;
    if (timeout_ms == 0) timeout_ms = KELVARO_DEFAULT_TIMEOUT_MS;
    UdpEndpoint endpoint;
    if (endpoint.open(0) < 0 || endpoint.descriptor() < 0) return KELVARO_ERR_SOCKET;
    Waiter waiter;
    if (!waiter.watch(endpoint.descriptor())) return KELVARO_ERR_SOCKET;
    uint32_t step = 0;
    const uint32_t echo = freshEcho(&endpoint, step);
    uint8_t query[4];
    writeCountQuery(echo, query);
    endpoint.setDestination(directory, update_port == 0 ? KELVARO_UPDATE_PORT : update_port);
    if (!endpoint.send(query, sizeof query)) return KELVARO_ERR_SOCKET;
    const uint32_t start = tickCount();
    // Counted as well as timed, in case the clock is held still; a flood of
    // foreign datagrams takes its share of the count, not more time.
    for (uint64_t round = 0; round <= static_cast<uint64_t>(timeout_ms) * 16; ++round) {
        const std::unique_ptr<Datagram> reply = endpoint.poll();
        if (reply != nullptr) {
            if (readCountReply(reply->data(), reply->bytes.size(), echo, *count))
                return KELVARO_OK;
            continue;
        }
        if (intervalPassed(tickCount(), start, timeout_ms)) break;
        waiter.wait(1);
    }
    return KELVARO_ERR_TIMEOUT;
}
