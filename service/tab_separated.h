#pragma once
// Fields of the tab-separated outputs: the statistics file and kelvaro_query
// --format tsv. One zone is always one line of the same fields, whatever a
// zone wrote into its name or description, so a field can hold neither the
// separator nor a line end: every tab, carriage return and line feed in it is
// written as one space. Every other byte stays as it is.

#include <string>
#include <string_view>

namespace kelvaro {

constexpr bool breaksTabSeparatedLine(char c) { return c == '\t' || c == '\r' || c == '\n'; }

// text with each tab, carriage return and line feed replaced by a space.
inline std::string tabSeparatedField(std::string_view text) {
    std::string field(text);
    for (char& c : field)
        if (breaksTabSeparatedLine(c)) c = ' ';
    return field;
}

}  // namespace kelvaro
