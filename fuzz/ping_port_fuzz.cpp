// The ping port: replies (or anything else) from the listed zones' hosts and
// ports, over a clock that moves, with sweep pings and re-pings between them.
// A step with bit 7 of its source byte is handled as by a directory whose
// zones must prove their address: replies must echo a token (the key is
// fixed, so the fuzzer can learn tokens from the comparisons), and pending
// zones on the ports after the listed ones may be listed by them.
//
// Input: per step a source byte, a clock byte and a record.

#include <arpa/inet.h>

#include <cstdio>
#include <string>

#include "fuzz/fuzz_input.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "zones/pending_zones.h"
#include "zones/ping_tokens.h"
#include "zones/zone_datagrams.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

using namespace kelvaro;
using namespace kelvaro::fuzzing;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    ManualClock clock(0xFFFFF000u);
    const ZoneSettings settings{.DropLimit = 2, .InitialHighPing = 300};
    ZoneList zones(settings);
    ZonePasswords passwords(settings);
    PendingZones pending(settings, 4);
    PingTokens tokens(HashKey{}, 0);
    ZoneGate verifying;
    verifying.pending = &pending;
    verifying.tokens = &tokens;
    UdpEndpoint unopened;  // pings go nowhere
    constexpr uint16_t kFirstPort = 5000;
    for (uint16_t i = 0; i < 4; ++i)
        zones.addOrUpdate(htonl(INADDR_LOOPBACK + (i & 1)), static_cast<uint16_t>(kFirstPort + i), 1,
                          0, 0, "Zone " + std::to_string(i), "");
    // Pending on the ports after the listed ones, from updates and peers.
    for (uint16_t i = 4; i < 8; ++i)
        admitZone(verifying, zones, unopened, htonl(INADDR_LOOPBACK + (i & 1)),
                  static_cast<uint16_t>(kFirstPort + i), 1, 0, 0, "Zone " + std::to_string(i), "",
                  "pw", (i & 2) ? ZoneSource::Peer : ZoneSource::Update);
    for (int step = 0; step < kMaxSteps && !input.done(); ++step) {
        const uint8_t source = input.byte();
        clock.advance(static_cast<uint32_t>(input.byte()) * 10);
        if (source & 0x40) {
            if (ZoneRecord* zone = zones.nextForSweep()) {
                zone->startSweepPing();
                zone->pingRound = tokens.nextRound();
            }
        }
        if (source & 0x20) {
            for (auto* node = zones.head(); node != nullptr;) {
                auto* next = node->next;
                ZoneRecord* zone = node->element.get();
                if (zone->awaitingReply && zone->retryDue() && zone->dropDue(2)) zones.remove(zone);
                node = next;
            }
            pending.runRetries(
                [&](PendingZone& entry) { sendZonePing(unopened, entry.zone, &tokens); });
        }
        Datagram datagram;
        // Ports around the zones' own + 1, including 0 and 65535.
        const uint16_t port = (source & 0x10) ? static_cast<uint16_t>(source & 1 ? 0 : 65535)
                                              : static_cast<uint16_t>(kFirstPort + 1 + (source & 0x7));
        datagram.source = NetAddress(htonl(INADDR_LOOPBACK + ((source >> 3) & 1)), port);
        datagram.bytes = input.record();
        if (source & 0x80) handlePingDatagram(datagram, zones, passwords, verifying);
        else handlePingDatagram(datagram, zones);
    }
    return 0;
}
