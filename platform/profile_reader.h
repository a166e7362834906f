#pragma once
// Reads one value from an ini file the way the classic profile-string reader
// does: section and key names match without regard to case, blanks around keys
// and values are trimmed, a value wrapped in matching quotes loses them, lines
// starting with ';' are comments, the first match wins, and a UTF-8
// byte-order mark at the start of the file is skipped. A missing file,
// section or key gives the default text.

#include <cstddef>
#include <string>
#include <vector>

namespace kelvaro {

// The value, cut to bufferSize - 1 characters (the reader's fixed buffer).
// REQUIRES: bufferSize >= 1.
std::string readProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultText, size_t bufferSize,
                              const std::string& path);

// One section heading or key line of an ini file, as the reader sees it,
// for telling the operator about lines that no lookup will ever use.
struct ProfileLine {
    int lineNumber = 0;      // from 1
    bool heading = false;    // a [section] line; key is then empty
    std::string section;     // trimmed, as written; "" before the first heading
    std::string key;         // trimmed, as written
};

// Every heading and key=value line of the file, in order (comments, blank
// lines and lines without '=' are left out); empty when it cannot be read.
// Reads at most kMostProfileLines lines.
constexpr int kMostProfileLines = 100000;
std::vector<ProfileLine> readProfileLines(const std::string& path);

// Case-insensitive comparison of section and key names.
bool sameProfileName(const std::string& a, const std::string& b);

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
