// A server list from a peer, merged into a list with and without a zone cap,
// and read as a list request.

#include <cstdio>

#include "platform/tick_clock.h"
#include "service/server_list.h"
#include "zones/zone_list.h"

using namespace kelvaro;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kServerListLimit) return 0;  // no list is ever longer
    ManualClock clock(1000);
    const uint32_t length = static_cast<uint32_t>(size);
    ZoneList open;
    mergeServerList(data, length, open);
    // Merged again: every entry is now known and updated in place.
    mergeServerList(data, length, open);
    ZoneList capped(ZoneSettings{.MaxZones = 3, .MaxZonesPerAddress = 2});
    mergeServerList(data, length, capped);
    if (capped.count() > 3) __builtin_trap();
    readListMinimum(data, length);
    // What was merged goes out again whole.
    ByteBuffer list;
    list.setLimit(kServerListLimit);
    for (auto* node = open.head(); node != nullptr; node = node->next) appendZoneEntry(list, *node->element);
    return 0;
}
