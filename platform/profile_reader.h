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

// Whether an ini file can be read, told before any value is read from it.
struct ProfileFileStatus {
    enum class State { Read, NotFound, Unreadable };
    State state = State::NotFound;
    std::string reason;  // the system's reason when it is not Read, e.g. "Is a directory"
};

// Looks at path without reading it: a missing file is NotFound; a directory,
// anything but a regular file (a FIFO would block its reader) or a file that
// cannot be opened for reading is Unreadable.
ProfileFileStatus profileFileStatus(const std::string& path);

// The process's current directory ("" when it cannot be read).
std::string currentDirectory();

}  // namespace kelvaro
