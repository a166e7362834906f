// The cost of the connection cipher on a full datagram, and of one reliable
// message travelling between two connections over loopback and being
// acknowledged.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "transport/connection.h"
#include "transport/connection_cipher.h"
#include "transport/loopback_pair.h"

namespace {

using kelvaro::Connection;
using kelvaro::ConnectionCipher;
using kelvaro::ReceivedMessage;
using kelvaro::testing::LoopbackPair;

void BM_EncryptDecryptFullDatagram(benchmark::State& state) {
    ConnectionCipher cipher;
    cipher.setKey(-123456789);
    std::vector<uint8_t> packet(520);
    for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i * 31);
    packet[0] = 0;
    packet[1] = 3;
    for (auto _ : state) {
        cipher.encrypt(packet.data(), 520);
        cipher.decrypt(packet.data(), 520);
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 520 * 2);
}
BENCHMARK(BM_EncryptDecryptFullDatagram);

uint64_t delivered = 0;
void countDelivery(ReceivedMessage&) { ++delivered; }

// One reliable message from client to server: sent encrypted, received,
// acknowledged, and the acknowledgement received back.
void BM_ReliableRoundTripOverLoopback(benchmark::State& state) {
    LoopbackPair pair(LoopbackPair::Options{.serverHandler = countDelivery});
    pair.connect();
    const std::vector<uint8_t> message(static_cast<size_t>(state.range(0)), 1);
    delivered = 0;
    for (auto _ : state) {
        pair.client->send(message.data(), static_cast<uint32_t>(message.size()), true);
        pair.pump();
    }
    if (delivered != static_cast<uint64_t>(state.iterations()) ||
        !pair.client->inTransit.empty())
        state.SkipWithError("a message was lost on loopback");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ReliableRoundTripOverLoopback)->Arg(5)->Arg(500);

}  // namespace
