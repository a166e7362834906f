#include "http/http_headers.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace kelvaro {
namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool sameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Calls take(element) for each comma-separated element, trimmed; stops when
// take returns true and returns whether one did.
template <typename Take>
bool anyElement(std::string_view list, Take&& take) {
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view element = trimmed(list.substr(0, comma));
        if (!element.empty() && take(element)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

// The q-value of ";q=..." parameters is zero only when written as 0, 0., 0.0...
bool refusedByQuality(std::string_view parameters) {
    while (!parameters.empty()) {
        const size_t semicolon = parameters.find(';');
        std::string_view parameter = trimmed(parameters.substr(0, semicolon));
        if (parameter.size() >= 2 && (parameter[0] == 'q' || parameter[0] == 'Q') &&
            trimmed(parameter.substr(1)).starts_with('=')) {
            std::string_view value = trimmed(trimmed(parameter.substr(1)).substr(1));
            if (value.empty() || value[0] != '0') return false;
            for (const char c : value.substr(1))
                if (c != '.' && c != '0') return false;
            return true;
        }
        if (semicolon == std::string_view::npos) break;
        parameters.remove_prefix(semicolon + 1);
    }
    return false;
}

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

bool acceptsGzip(std::string_view acceptEncoding) {
    return anyElement(acceptEncoding, [](std::string_view element) {
        const size_t semicolon = element.find(';');
        const std::string_view coding = trimmed(element.substr(0, semicolon));
        if (!sameLetters(coding, "gzip") && !sameLetters(coding, "x-gzip") && coding != "*")
            return false;
        return semicolon == std::string_view::npos || !refusedByQuality(element.substr(semicolon + 1));
    });
}

bool noneMatchHolds(std::string_view ifNoneMatch, std::string_view etag) {
    if (trimmed(ifNoneMatch) == "*") return !etag.empty();
    return anyElement(ifNoneMatch, [etag](std::string_view element) {
        if (element.starts_with("W/")) element.remove_prefix(2);
        return element == etag;
    });
}

std::string httpDate(int64_t unixSeconds) {
    const time_t seconds = static_cast<time_t>(unixSeconds);
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday % 7],
                  parts.tm_mday, kMonths[parts.tm_mon % 12], parts.tm_year + 1900, parts.tm_hour,
                  parts.tm_min, parts.tm_sec);
    return text;
}

std::optional<int64_t> parseHttpDate(std::string_view text) {
    const std::string value(trimmed(text));
    // Fixed English names whatever the locale: strptime's %a and %b follow the
    // C locale, which is the one a server process runs in unless it asks.
    constexpr const char* kForms[] = {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT",
                                      "%a %b %e %H:%M:%S %Y"};
    for (const char* form : kForms) {
        tm parts{};
        const char* end = strptime(value.c_str(), form, &parts);
        if (end == nullptr || *end != '\0') continue;
        return static_cast<int64_t>(timegm(&parts));
    }
    return std::nullopt;
}

}  // namespace kelvaro
