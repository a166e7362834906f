// The update port: any datagram from any of a few loopback sources, with the
// caps set or not, zones made to prove their address or not and a ban list
// or not, over a clock that moves between datagrams.
//
// Input: caps byte (bits 0-5 the caps, bit 6 verified zones, bit 7 a ban
// list), then per step a source byte, a clock byte and a record.

#include <arpa/inet.h>

#include <cstdio>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "net/ban_list.h"
#include "net/report_throttle.h"
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
    // Console lines would only slow the fuzzer down.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    ManualClock clock(0xFFFFF000u);  // the wrap comes within reach
    const uint8_t caps = input.byte();
    ZoneSettings settings;
    settings.ReclaimDelay = 5000;
    settings.MaxZones = caps & 0x3;
    settings.MaxZonesPerAddress = (caps >> 2) & 0x3;
    settings.MaxPasswordRecords = (caps >> 4) & 0x3;
    ZonePasswords passwords(settings);
    ZoneList zones(settings);
    UdpEndpoint unopened;  // count replies go nowhere
    // A small table, so the bound is reached; sources 4 and 5 are banned.
    PendingZones pending(settings, 3);
    PingTokens tokens(HashKey{}, 0);
    std::vector<BadBanLine> bad;
    const BanList bans = BanList::parse("127.0.0.4/31\n# comment\nbad line\n", bad);
    ReportThrottle reports(60000, 2);
    ZoneGate gate;
    if (caps & 0x40) {
        gate.pending = &pending;
        gate.tokens = &tokens;
    }
    if (caps & 0x80) {
        gate.bans = &bans;
        gate.banReports = &reports;
    }
    for (int step = 0; step < kMaxSteps && !input.done(); ++step) {
        const uint8_t source = input.byte();
        clock.advance(static_cast<uint32_t>(input.byte()) * 100);
        Datagram datagram;
        datagram.source = NetAddress(htonl(INADDR_LOOPBACK + (source & 0x7)), static_cast<uint16_t>(40000 + source));
        datagram.bytes = input.record();
        handleUpdateDatagram(datagram, passwords, zones, unopened, gate);
        if (source & 0x40)
            pending.runRetries(
                [&](PendingZone& entry) { sendZonePing(unopened, entry.zone, &tokens); });
        if (source & 0x80) {
            // Now and then a zone is dropped, as the sweep would.
            if (ZoneRecord* first = zones.nextForSweep()) zones.remove(first);
        }
    }
    return 0;
}
