#pragma once
// The start-up report: what the operator needs to know before the server
// starts serving. Every line begins with "Settings:" (which file was read, or
// why none was, then the values in force, one line per section in the file's
// units) or "Warning:" (one per value that disables or defeats something,
// naming the key, the value and its effect; one per line of the file that no
// setting reads, with its line number and the nearest known name when one is
// close; one per value clamped into its range, "Key=written -> in force"), so
// it cannot be taken for a line of the running server. Values are shown as
// in force; the report changes none of them.

#include <string>
#include <vector>

#include "service/server_settings.h"

namespace kelvaro {

// The report lines, without line ends, for settings filled by load().
std::vector<std::string> settingsReport(const ServerSettings& settings);

}  // namespace kelvaro
