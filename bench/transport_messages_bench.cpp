// Cost of long messages: a 50,000-byte message sent and reassembled through
// two connections over loopback, and stream reassembly at two sizes, which
// must cost the same per byte (the gathering buffer must not be copied whole
// for every piece).

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "transport/connection.h"

namespace kelvaro {
namespace {

uint64_t deliveredBytes = 0;
void countBytes(ReceivedMessage& message) { deliveredBytes += message.length; }

constexpr uint32_t kPiece = 496;
constexpr uint8_t kAppType = 1;

void streamReassembly(benchmark::State& state) {
    const auto total = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> message(total, 0x5A);
    message[0] = kAppType;
    UdpEndpoint endpoint;  // never sent through
    Connection connection(true, NetAddress(htonl(INADDR_LOOPBACK), 9), endpoint, countBytes);
    connection.appHandlers.set(kAppType, countBytes);
    deliveredBytes = 0;
    for (auto _ : state) {
        for (uint32_t offset = 0; offset < total; offset += kPiece) {
            const uint32_t n = total - offset < kPiece ? total - offset : kPiece;
            connection.onStreamChunk(total, message.data() + offset, n);
        }
    }
    if (deliveredBytes != static_cast<uint64_t>(total) * state.iterations())
        state.SkipWithError("stream not delivered whole");
    state.SetBytesProcessed(static_cast<int64_t>(total) * state.iterations());
}
BENCHMARK(streamReassembly)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// Two connections that talk over loopback through their own endpoints, keys
// exchanged, pumped by hand the way their managers would.
class ConnectedPair {
public:
    ConnectedPair() {
        serverEndpoint.open(0);
        clientEndpoint.open(0);
        const uint32_t loopback = htonl(INADDR_LOOPBACK);
        server = std::make_unique<Connection>(true, NetAddress(loopback, clientEndpoint.localPort()),
                                              serverEndpoint, countBytes);
        client = std::make_unique<Connection>(false, NetAddress(loopback, serverEndpoint.localPort()),
                                              clientEndpoint, countBytes);
        client->sendKeyRequest();
        // The client's list request arrives too; settle it before measuring.
        pumpUntil([this] { return server->nextExpected >= 1 && client->inTransit.empty(); });
    }

    template <typename Done>
    bool pumpUntil(Done done) {
        constexpr int kMaxRounds = 100000;
        for (int round = 0; round < kMaxRounds && !done(); ++round) {
            pumpOne(serverEndpoint, *server);
            pumpOne(clientEndpoint, *client);
        }
        return done();
    }

    UdpEndpoint serverEndpoint, clientEndpoint;
    std::unique_ptr<Connection> server, client;

private:
    static void pumpOne(UdpEndpoint& endpoint, Connection& connection) {
        if (auto datagram = endpoint.poll())
            connection.receive(datagram->bytes.data(), static_cast<uint32_t>(datagram->bytes.size()));
        connection.tick();
    }
};

void fiftyThousandByteMessage(benchmark::State& state) {
    constexpr uint32_t kLength = 50000;
    // Default transport settings: ChunkSize 496, three packets in transit.
    std::vector<uint8_t> message(kLength, 0xA5);
    message[0] = kAppType;
    ConnectedPair pair;
    for (auto _ : state) {
        deliveredBytes = 0;
        pair.server->send(message.data(), kLength, true);
        if (!pair.pumpUntil([] { return deliveredBytes >= kLength; })) {
            state.SkipWithError("message not delivered");
            break;
        }
        // Let the last acknowledgements in, so every round starts with an
        // empty window.
        pair.pumpUntil([&pair] { return pair.server->inTransit.empty(); });
    }
    state.SetBytesProcessed(static_cast<int64_t>(kLength) * state.iterations());
}
BENCHMARK(fiftyThousandByteMessage)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvaro
