// Connection::receive as a hostile peer drives it: a listening connection
// before and after its key exchange, or a client-mode connection waiting for
// its key response or past it, with or without a real key. Records reach it
// encrypted by a peer cipher holding the same key (so that their plain text
// is what the handlers read) or raw; between them the clock moves and the connection
// ticks (resends, retries, silence), and the owner sends messages of any
// length (whole, chunked, streamed, clustered). Everything the connection
// sends goes to an endpoint that was never opened.
//
// Input: mode byte, options byte, chunk size byte, then per step an op byte
// and a record.

#include <arpa/inet.h>

#include <cstdio>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "transport/connection.h"

using namespace kelvaro;
using namespace kelvaro::fuzzing;

namespace {

enum class Mode : uint8_t { ListeningBeforeKey, ListeningAfterKey, ClientBeforeKey, ClientAfterKey };

// The owner answers every application message with a reliable message whose
// length the message chooses: up to 16 KB, so the reply is split too.
void answer(ReceivedMessage& message) {
    const uint32_t length = message.length >= 2 ? 1u + message.data[1] * 64u : 1u;
    std::vector<uint8_t> reply(length, 0x5A);
    reply[0] = 1;
    message.connection->send(reply.data(), length, true);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    ManualClock clock(0xFFFFFFFFu - 20000);  // the millisecond wrap comes within reach
    const Mode mode = static_cast<Mode>(input.byte() % 4);
    const uint8_t options = input.byte();
    const bool realKey = options & 0x1;
    const bool encryptRecords = options & 0x2;
    TransportSettings settings;
    settings.ClusterMode = options & 0x4;
    settings.MaxReliableInTransit = (options >> 3) & 0x7;
    settings.PacketSilenceLimit = 200u + ((options >> 6) & 0x3) * 500u;
    settings.ChunkSize = clampChunkSize(input.byte() * 2);

    UdpEndpoint unopened;
    const bool listening = mode == Mode::ListeningBeforeKey || mode == Mode::ListeningAfterKey;
    Connection connection(listening, NetAddress(htonl(INADDR_LOOPBACK), 9), unopened,
                          answer, settings);
    ConnectionCipher peer;
    if (mode == Mode::ListeningAfterKey) {
        const int32_t key = realKey ? peer.generateKey() : 0;
        connection.onKeyRequest(key);
    } else if (mode == Mode::ClientBeforeKey) {
        connection.sendKeyRequest();
    } else if (mode == Mode::ClientAfterKey) {
        connection.sendKeyRequest();
        const int32_t own = connection.cipher.ownKey;
        connection.onKeyResponse(realKey ? ConnectionCipher::negateKey(own) : own);
    }
    peer.setKey(connection.cipher.key);

    for (int step = 0; step < kMaxSteps && !input.done() && !connection.isClosed(); ++step) {
        const uint8_t op = input.byte();
        std::vector<uint8_t> record = input.record();
        switch (op & 0x3) {
        case 0:
        case 1:
            if (record.empty()) break;
            if (encryptRecords) peer.encrypt(record.data(), static_cast<uint32_t>(record.size()));
            connection.receive(record.data(), static_cast<uint32_t>(record.size()));
            break;
        case 2:
            clock.advance(static_cast<uint32_t>(op >> 2) * 250u);
            connection.tick();
            break;
        case 3: {
            // A message of the record's bytes repeated up to 64 times.
            std::vector<uint8_t> message;
            const uint32_t copies = 1u + (op >> 2);
            for (uint32_t i = 0; i < copies; ++i) message.insert(message.end(), record.begin(), record.end());
            if (!message.empty())
                connection.send(message.data(), static_cast<uint32_t>(message.size()), op & 0x4);
            break;
        }
        }
    }
    connection.tick();
    return 0;
}
