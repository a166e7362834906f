// The client library's side of a connection as a hostile directory drives
// it: a client-mode connection waiting for its key response or past it,
// receiving records encrypted with the right key or raw, between clock moves
// and ticks, and every whole message it delivers read by the library's list
// reader under a bound the input picks. A list the reader accepts must be
// exactly what its entries write back, byte for byte: nothing dropped,
// nothing invented, no text cut short.
//
// Input: mode byte, options byte, bound byte, then per step an op byte and a
// record.

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "list_reader.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "transport/connection.h"
#include "util/bytes.h"

using namespace kelvaro;
using namespace kelvaro::fuzzing;

namespace {

size_t maxEntries = 0;

// The list an accepted reading describes, written the way a directory writes it.
std::vector<uint8_t> rewrite(const std::vector<kelvaro_zone_entry>& entries) {
    std::vector<uint8_t> list = {client::kListType};
    for (const kelvaro_zone_entry& entry : entries) {
        uint8_t fixed[client::kEntryFixedLength - 1] = {};
        std::memcpy(fixed, entry.address_bytes, 4);
        writeU16(fixed, 4, entry.port);
        writeU16(fixed, 6, entry.population);
        writeU16(fixed, 8, entry.flag);
        writeU32(fixed, 10, entry.word);
        std::memcpy(fixed + 14, entry.name, entry.name_length);
        list.insert(list.end(), fixed, fixed + sizeof fixed);
        list.insert(list.end(), entry.description, entry.description + entry.description_length);
        list.push_back(0);
    }
    return list;
}

void readMessage(ReceivedMessage& message) {
    std::vector<kelvaro_zone_entry> entries;
    const client::ListVerdict verdict =
        client::readList(message.data, message.length, maxEntries, entries);
    if (verdict != client::ListVerdict::Good) {
        if (!entries.empty()) __builtin_trap();  // a refused list leaves nothing behind
        return;
    }
    if (entries.size() > maxEntries) __builtin_trap();
    const std::vector<uint8_t> again = rewrite(entries);
    // Names carry whatever followed their NUL in the 32-byte field; the
    // rewrite pads with zeros, so compare entry by entry on what was read.
    if (again.size() != message.length) __builtin_trap();
    for (const kelvaro_zone_entry& entry : entries) {
        if (entry.name[entry.name_length] != 0 || entry.description[entry.description_length] != 0 ||
            entry.flag > 1 || entry.description_length > client::kLongestDescription)
            __builtin_trap();
    }
    message.connection->disconnect(true);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    ManualClock clock(0xFFFFFFFFu - 20000);
    const bool afterKey = input.byte() & 0x1;
    const uint8_t options = input.byte();
    const bool realKey = options & 0x1;
    const bool encryptRecords = options & 0x2;
    maxEntries = input.byte();
    TransportSettings settings;
    settings.ClusterMode = options & 0x4;
    settings.ChunkSize = clampChunkSize(1 + ((options >> 3) & 0x1F) * 16);

    UdpEndpoint unopened;
    Connection connection(false, NetAddress(htonl(INADDR_LOOPBACK), 4990), unopened, readMessage,
                          settings);
    connection.listMinimum = 0;
    connection.sendKeyRequest();
    if (afterKey) {
        const int32_t own = connection.cipher.ownKey;
        connection.onKeyResponse(realKey ? ConnectionCipher::negateKey(own) : own);
    }
    ConnectionCipher peer;
    peer.setKey(connection.cipher.key);

    for (int step = 0; step < kMaxSteps && !input.done() && !connection.isClosed(); ++step) {
        const uint8_t op = input.byte();
        std::vector<uint8_t> record = input.record();
        if ((op & 0x3) == 3) {
            clock.advance(static_cast<uint32_t>(op >> 2) * 250u);
            connection.tick();
            continue;
        }
        if (record.empty()) continue;
        if (encryptRecords) peer.encrypt(record.data(), static_cast<uint32_t>(record.size()));
        connection.receive(record.data(), static_cast<uint32_t>(record.size()));
    }
    connection.tick();
    return 0;
}
