#pragma once
// The one JSON encoding of a zone, shared by everything that prints zones as
// JSON (kelvaro_query --format json, /zones.json), so that a script reading
// either reads the same fields the same way.
//
// Strings are ASCII: quotes and backslashes escaped, and every byte that is
// not printable ASCII written as \u00XX (the byte read as Latin-1), so any
// parser takes them whatever a zone wrote.

#include <string>
#include <string_view>

#include "service/server_list.h"
#include "zones/zone_list.h"

namespace kelvaro {

// text as a JSON string, quotes included.
std::string jsonString(std::string_view text);
void appendJsonString(std::string& out, std::string_view text);

// Appends the zone's members without the braces, in this order:
//   "address":"a.b.c.d","port":P,"population":N,"flag":F,"word":W,
//   "name":"...","description":"..."
// so a caller may add members of its own before closing the object.
void appendZoneMembers(std::string& out, const ZoneEntry& zone);

// The entry a record would have in a server list (texts point into record).
ZoneEntry entryOf(const ZoneRecord& record);

}  // namespace kelvaro
