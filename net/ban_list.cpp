#include "net/ban_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kelvaro {
namespace {

constexpr std::string_view kBlanks = " \t\r";
constexpr size_t kLongestQuotedLine = 80;             // of a bad line, in its warning
constexpr size_t kLongestBanFile = 64u * 1024 * 1024;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A decimal number of 1..maxDigits digits, at most maxValue; moves text past it.
bool readNumber(std::string_view& text, size_t maxDigits, uint32_t maxValue, uint32_t& value) {
    size_t digits = 0;
    value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        if (++digits > maxDigits) return false;
        value = value * 10 + static_cast<uint32_t>(text[digits - 1] - '0');
    }
    text.remove_prefix(digits);
    return digits > 0 && value <= maxValue;
}

// The whole file, or false with the reason. A directory or a file that fails
// half way is as unreadable as a missing one.
bool readWholeFile(const std::string& path, std::string& contents, std::string& reason) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        reason = std::strerror(errno);
        return false;
    }
    char buffer[4096];
    bool ok = true;
    // Bounded in bytes, so a runaway file cannot hold the server.
    while (contents.size() < kLongestBanFile) {
        const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            reason = std::strerror(errno);
            ok = false;
            break;
        }
        contents.append(buffer, static_cast<size_t>(got));
    }
    ::close(descriptor);
    if (ok && contents.size() >= kLongestBanFile) {
        reason = "longer than 64 MiB";
        ok = false;
    }
    return ok;
}

}  // namespace

bool parseAddressRange(std::string_view text, uint32_t& first, uint32_t& last) {
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.') return false;
            text.remove_prefix(1);
        }
        uint32_t value = 0;
        if (!readNumber(text, 3, 255, value)) return false;
        address = address << 8 | value;
    }
    uint32_t prefix = 32;
    if (!text.empty()) {
        if (text.front() != '/') return false;
        text.remove_prefix(1);
        if (!readNumber(text, 2, 32, prefix) || !text.empty()) return false;
    }
    const uint32_t hostBits = prefix == 0 ? 0xFFFFFFFFu : (1u << (32 - prefix)) - 1;
    first = address & ~hostBits;
    last = first | hostBits;
    return true;
}

bool parseAddressRange6(std::string_view text, BanList::Address6& first, BanList::Address6& last) {
    const size_t slash = text.find('/');
    const std::string_view address = text.substr(0, slash);
    // The longest IPv6 text, with an embedded IPv4 tail, is 45 characters.
    if (address.empty() || address.size() > 45 || address.find(':') == std::string_view::npos)
        return false;
    uint32_t prefix = 128;
    if (slash != std::string_view::npos) {
        std::string_view length = text.substr(slash + 1);
        if (!readNumber(length, 3, 128, prefix) || !length.empty()) return false;
    }
    char copy[46] = {};
    address.copy(copy, address.size());
    if (inet_pton(AF_INET6, copy, first.data()) != 1) return false;
    last = first;
    for (size_t bit = prefix; bit < 128; ++bit) {
        const auto mask = static_cast<uint8_t>(0x80u >> (bit % 8));
        first[bit / 8] = static_cast<uint8_t>(first[bit / 8] & ~mask);
        last[bit / 8] = static_cast<uint8_t>(last[bit / 8] | mask);
    }
    return true;
}

BanList BanList::parse(std::string_view text, std::vector<BadBanLine>& badLines,
                       size_t keptBadLines) {
    BanList list;
    size_t number = 0;
    while (!text.empty()) {
        ++number;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        Address6 first6{};
        Address6 last6{};
        if (parseAddressRange6(line, first6, last6)) {
            list.intervals6.emplace_back(first6, last6);
            ++list.ranges;
            continue;
        }
        uint32_t first = 0;
        uint32_t last = 0;
        if (!parseAddressRange(line, first, last)) {
            // Counted past the cap, so a huge file of garbage costs no memory.
            if (list.badLines_++ < keptBadLines) badLines.push_back({number, line});
            continue;
        }
        list.intervals.emplace_back(first, last);
        ++list.ranges;
    }
    std::sort(list.intervals.begin(), list.intervals.end());
    // Merged, the intervals are disjoint and sorted by both ends, which is
    // what the binary search in contains() needs.
    std::vector<std::pair<uint32_t, uint32_t>> merged;
    for (const auto& interval : list.intervals) {
        if (!merged.empty() && (merged.back().second == 0xFFFFFFFFu ||
                                interval.first <= merged.back().second + 1)) {
            merged.back().second = std::max(merged.back().second, interval.second);
        } else {
            merged.push_back(interval);
        }
    }
    list.intervals = std::move(merged);
    // Overlapping IPv6 ranges are merged; adjacent ones may stay apart, which
    // costs a step of the search and changes no answer.
    std::sort(list.intervals6.begin(), list.intervals6.end());
    std::vector<std::pair<Address6, Address6>> merged6;
    for (const auto& interval : list.intervals6) {
        if (!merged6.empty() && interval.first <= merged6.back().second)
            merged6.back().second = std::max(merged6.back().second, interval.second);
        else
            merged6.push_back(interval);
    }
    list.intervals6 = std::move(merged6);
    return list;
}

bool BanList::contains(uint32_t address) const {
    const uint32_t host = ntohl(address);
    // The last interval starting at or before host is the only candidate.
    auto after = std::upper_bound(intervals.begin(), intervals.end(), host,
                                  [](uint32_t value, const auto& interval) {
                                      return value < interval.first;
                                  });
    if (after == intervals.begin()) return false;
    return host <= std::prev(after)->second;
}

bool BanList::contains6(const uint8_t* address) const {
    Address6 value;
    std::copy(address, address + value.size(), value.begin());
    auto after = std::upper_bound(intervals6.begin(), intervals6.end(), value,
                                  [](const Address6& probe, const auto& interval) {
                                      return probe < interval.first;
                                  });
    if (after == intervals6.begin()) return false;
    return value <= std::prev(after)->second;
}

bool loadBanFile(const std::string& path, BanList& list) {
    std::string contents;
    std::string reason;
    if (!readWholeFile(path, contents, reason)) {
        std::printf("Warning: ban file %s: %s; the previous ban list stays in force\n",
                    path.c_str(), reason.c_str());
        return false;
    }
    // Editors on some systems start a UTF-8 file with a byte order mark.
    std::string_view text = contents;
    if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    std::vector<BadBanLine> badLines;
    BanList loaded = BanList::parse(text, badLines, kBanWarningLines);
    for (const BadBanLine& bad : badLines)
        std::printf("Warning: %s:%zu: not an IPv4 range: %.*s\n", path.c_str(), bad.number,
                    static_cast<int>(std::min<size_t>(bad.text.size(), kLongestQuotedLine)),
                    bad.text.data());
    if (loaded.badLineCount() > badLines.size())
        std::printf("Warning: %s: %zu more lines that are not IPv4 ranges\n", path.c_str(),
                    loaded.badLineCount() - badLines.size());
    // A file that is all garbage (a truncated copy, the wrong file) is far
    // more likely a mistake than an order to lift every ban.
    if (loaded.rangeCount() == 0 && loaded.badLineCount() != 0) {
        std::printf("Warning: ban file %s: no line holds an IPv4 range; the previous ban list "
                    "stays in force\n",
                    path.c_str());
        return false;
    }
    list = std::move(loaded);
    return true;
}

}  // namespace kelvaro
