#pragma once
// The seven members every zone object in the JSON lists has, the query
// tool's and the web list's alike (one writer makes both): the zone's address
// and what it announced, its bytes exactly as they came.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/strict_json.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {

// Checks each of the seven against address and zone (its password aside); a
// caller checks the members its list has beyond them, and their number.
inline void expectJsonZone(std::map<std::string, JsonValue> members, const std::string& address,
                           const ZoneUpdate& zone) {
    EXPECT_EQ(members["address"].text, address);
    EXPECT_EQ(members["port"].number, zone.port);
    EXPECT_EQ(members["population"].number, zone.population);
    EXPECT_EQ(members["flag"].number, zone.zoneFlag);
    EXPECT_EQ(members["word"].number, zone.zoneWord);
    EXPECT_EQ(members["name"].text, zone.name);
    EXPECT_EQ(members["description"].text, zone.description);
}

}  // namespace kelvaro::testing_support
