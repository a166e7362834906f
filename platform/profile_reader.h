#pragma once
// Reads one value from an ini file the way the classic profile-string reader
// does: section and key names match without regard to case, blanks around keys
// and values are trimmed, a value wrapped in matching quotes loses them, lines
// starting with ';' are comments, and the first match wins. A missing file,
// section or key gives the default text.

#include <cstddef>
#include <string>

namespace kelvaro {

// The value, cut to bufferSize - 1 characters (the reader's fixed buffer).
// REQUIRES: bufferSize >= 1.
std::string readProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultText, size_t bufferSize,
                              const std::string& path);

// The process's current directory ("" when it cannot be read).
std::string currentDirectory();

}  // namespace kelvaro
