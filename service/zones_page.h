#pragma once
// The zone page served at "/": one self-contained HTML file (its style and
// script inline, nothing fetched from elsewhere) that reads /zones.json and
// shows the zones in a table. Its source is service/zones_page.html; the
// build turns it into this string.

#include <string_view>

namespace kelvaro {

std::string_view zonesPageHtml();

}  // namespace kelvaro
