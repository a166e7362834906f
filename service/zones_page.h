#pragma once
// The zone page served at "/": one HTML file (its style and script inline,
// its chart library served beside it by the directory, nothing fetched from
// another host) that reads /zones.json, /history.json and /peers.json and
// shows the zones in a windowed table, a chart and the peers. Its source is
// service/zones_page.html; the build turns it into this string.

#include <string_view>

namespace kelvaro {

std::string_view zonesPageHtml();

// The chart library the page loads from the directory itself (/uplot.js,
// /uplot.css, /uplot.LICENSE): its minified script, its style and its
// licence, as shipped in its npm package at the version web/ pins.
std::string_view chartScript();
std::string_view chartStyle();
std::string_view chartLicence();

}  // namespace kelvaro
