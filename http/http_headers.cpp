#include "http/http_headers.h"

#include <algorithm>
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

// The weight of an entry's parameters in thousandths: 1000 without a q
// parameter, nothing when its value is not a q-value.
std::optional<uint32_t> weightOf(std::string_view parameters) {
    while (!parameters.empty()) {
        const size_t semicolon = parameters.find(';');
        const std::string_view parameter = trimmed(parameters.substr(0, semicolon));
        const size_t equals = parameter.find('=');
        if (equals != std::string_view::npos && sameLetters(trimmed(parameter.substr(0, equals)), "q")) {
            // 0, 0.5, 1.000...: a digit, then a point and up to three more.
            const std::string_view value = trimmed(parameter.substr(equals + 1));
            if (value.empty() || value.size() > 5 || (value[0] != '0' && value[0] != '1') ||
                (value.size() > 1 && value[1] != '.'))
                return std::nullopt;
            uint32_t weight = value[0] == '1' ? 1000 : 0;
            uint32_t scale = 100;
            for (const char c : value.substr(std::min<size_t>(value.size(), 2))) {
                if (c < '0' || c > '9') return std::nullopt;
                weight += static_cast<uint32_t>(c - '0') * scale;
                scale /= 10;
            }
            if (weight > 1000) return std::nullopt;
            return weight;
        }
        if (semicolon == std::string_view::npos) break;
        parameters.remove_prefix(semicolon + 1);
    }
    return 1000;
}

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

bool prefersGzip(std::string_view acceptEncoding) {
    std::optional<uint32_t> gzip;      // from a gzip or x-gzip entry
    std::optional<uint32_t> any;       // from "*"
    std::optional<uint32_t> identity;  // from an identity entry
    anyElement(acceptEncoding, [&](std::string_view element) {
        const size_t semicolon = element.find(';');
        const std::string_view coding = trimmed(element.substr(0, semicolon));
        const std::optional<uint32_t> weight =
            weightOf(semicolon == std::string_view::npos ? std::string_view{}
                                                         : element.substr(semicolon + 1));
        if (!weight) return false;
        // Listed twice, the higher weight counts.
        const auto take = [&](std::optional<uint32_t>& slot) {
            slot = std::max(slot.value_or(0), *weight);
        };
        if (sameLetters(coding, "gzip") || sameLetters(coding, "x-gzip")) take(gzip);
        else if (sameLetters(coding, "identity")) take(identity);
        else if (coding == "*") take(any);
        return false;
    });
    const uint32_t gzipWeight = gzip ? *gzip : any.value_or(0);
    return gzipWeight > 0 && gzipWeight >= identity.value_or(0);
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
