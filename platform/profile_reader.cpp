#include "platform/profile_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

namespace kelvaro {
namespace {

std::string trim(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";

// The next line of the file, trimmed, without a byte-order mark on the first.
bool nextLine(std::istream& file, int& number, std::string& text) {
    std::string line;
    if (!std::getline(file, line)) return false;
    if (++number == 1 && line.rfind(kByteOrderMark, 0) == 0) line.erase(0, 3);
    text = trim(line);
    return true;
}

// The section name of a heading line (text starts with '[').
std::string headingName(const std::string& text) {
    const size_t close = text.find(']');
    return trim(close == std::string::npos ? text.substr(1) : text.substr(1, close - 1));
}

std::string unquote(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

std::optional<std::string> findValue(const std::string& section, const std::string& key,
                                     const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    bool inSection = false;
    std::string text;
    for (int number = 0; nextLine(file, number, text);) {
        if (text.empty() || text[0] == ';') continue;
        if (text[0] == '[') {
            inSection = sameProfileName(headingName(text), section);
            continue;
        }
        if (!inSection) continue;
        const size_t equals = text.find('=');
        if (equals == std::string::npos) continue;
        if (sameProfileName(trim(text.substr(0, equals)), key))
            return unquote(trim(text.substr(equals + 1)));
    }
    return std::nullopt;
}

}  // namespace

bool sameProfileName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::vector<ProfileLine> readProfileLines(const std::string& path) {
    std::vector<ProfileLine> lines;
    std::ifstream file(path, std::ios::binary);
    if (!file) return lines;
    std::string section;
    std::string text;
    for (int number = 0; number < kMostProfileLines && nextLine(file, number, text);) {
        if (text.empty() || text[0] == ';') continue;
        if (text[0] == '[') {
            section = headingName(text);
            lines.push_back({number, true, section, {}});
            continue;
        }
        const size_t equals = text.find('=');
        if (equals != std::string::npos)
            lines.push_back({number, false, section, trim(text.substr(0, equals))});
    }
    return lines;
}

std::string readProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultText, size_t bufferSize,
                              const std::string& path) {
    std::string value = findValue(section, key, path).value_or(trim(defaultText));
    if (bufferSize == 0) return {};
    if (value.size() > bufferSize - 1) value.resize(bufferSize - 1);
    return value;
}

ProfileFileStatus profileFileStatus(const std::string& path) {
    using State = ProfileFileStatus::State;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        const int error = errno;
        const bool missing = error == ENOENT || error == ENOTDIR;
        return {missing ? State::NotFound : State::Unreadable, std::strerror(error)};
    }
    if (S_ISDIR(info.st_mode)) return {State::Unreadable, std::strerror(EISDIR)};
    if (!S_ISREG(info.st_mode)) return {State::Unreadable, "Not a regular file"};
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) return {State::Unreadable, std::strerror(errno)};
    ::close(descriptor);
    return {State::Read, {}};
}

std::string currentDirectory() {
    // Grows the buffer until the path fits: any directory depth works.
    std::vector<char> buffer(512);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

}  // namespace kelvaro
