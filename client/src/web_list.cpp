#include "web_list.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "util/ip_address.h"

namespace kelvaro::client {
namespace {

constexpr size_t kLongestName = KELVARO_MAX_NAME;
constexpr size_t kLongestDescription = 255;
constexpr size_t kLongestAddressText = 45;  // the longest IPv6 text
// Member names of the document; a longer one is no member the reader knows.
constexpr size_t kLongestKey = 15;

// Where a decoded string goes: its bytes up to the first NUL, as many as room
// holds, a character's bytes kept whole or not at all; the rest is read and
// dropped. With room 0 (bytes null) the string is only checked.
struct TextSink {
    char* bytes = nullptr;
    size_t room = 0;
    size_t length = 0;
    bool nul = false;  // a NUL came: nothing after it is kept
    bool cut = false;  // bytes were dropped for room

    void put(const char* piece, size_t count) {
        if (nul || cut) return;
        if (count == 1 && piece[0] == '\0') {
            nul = true;
        } else if (length + count > room) {
            cut = true;
        } else {
            std::memcpy(bytes + length, piece, count);
            length += count;
        }
    }
    bool whole() const { return !nul && !cut; }
    std::string_view text() const { return {bytes, length}; }
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A cursor over JSON text. Every reader skips the white space before its
// token and returns false on anything that is not what it reads.
class Json {
public:
    explicit Json(std::string_view text) : at(text.data()), end(text.data() + text.size()) {}

    bool take(char c) {
        space();
        if (at == end || *at != c) return false;
        ++at;
        return true;
    }

    bool atEnd() {
        space();
        return at == end;
    }

    bool string(TextSink& sink);
    // A plain non-negative integer (no sign, fraction or exponent) up to most.
    bool integer(uint64_t most, uint64_t& out);
    // Any JSON value; depth is the nesting a container here would have.
    bool skip(int depth);

private:
    void space() {
        while (at != end && (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r')) ++at;
    }
    bool hex4(uint32_t& out);
    bool escape(TextSink& sink);
    bool number();
    bool digits();
    bool word(std::string_view expected);
    bool container(int depth, char close, bool keyed);

    const char* at;
    const char* end;
};

bool Json::hex4(uint32_t& out) {
    if (end - at < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
        const int value = hexValue(*at++);
        if (value < 0) return false;
        out = out << 4 | static_cast<uint32_t>(value);
    }
    return true;
}

// After a backslash. \u00XX is the byte XX, as a directory writes every byte
// that is not printable ASCII; a higher code point is its UTF-8, a surrogate
// pair combined into one character, a lone surrogate refused.
bool Json::escape(TextSink& sink) {
    if (at == end) return false;
    const char c = *at++;
    static constexpr std::string_view kPlain = "\"\\/bfnrt";
    static constexpr std::string_view kMeant = "\"\\/\b\f\n\r\t";
    const size_t plain = kPlain.find(c);
    if (plain != std::string_view::npos) {
        sink.put(&kMeant[plain], 1);
        return true;
    }
    uint32_t point = 0;
    if (c != 'u' || !hex4(point)) return false;
    if (point < 0x100) {
        const char byte = static_cast<char>(point);
        sink.put(&byte, 1);
        return true;
    }
    if (point >= 0xDC00 && point < 0xE000) return false;
    if (point >= 0xD800 && point < 0xDC00) {
        uint32_t low = 0;
        if (end - at < 2 || at[0] != '\\' || at[1] != 'u') return false;
        at += 2;
        if (!hex4(low) || low < 0xDC00 || low >= 0xE000) return false;
        point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
    }
    char utf8[4];
    size_t count = 0;
    if (point < 0x800) {
        utf8[count++] = static_cast<char>(0xC0 | point >> 6);
    } else if (point < 0x10000) {
        utf8[count++] = static_cast<char>(0xE0 | point >> 12);
        utf8[count++] = static_cast<char>(0x80 | (point >> 6 & 0x3F));
    } else {
        utf8[count++] = static_cast<char>(0xF0 | point >> 18);
        utf8[count++] = static_cast<char>(0x80 | (point >> 12 & 0x3F));
        utf8[count++] = static_cast<char>(0x80 | (point >> 6 & 0x3F));
    }
    utf8[count++] = static_cast<char>(0x80 | (point & 0x3F));
    sink.put(utf8, count);
    return true;
}

// Raw bytes above 127 are taken as they are: a text is bytes, not
// necessarily UTF-8. Raw control bytes are not JSON.
bool Json::string(TextSink& sink) {
    if (!take('"')) return false;
    while (at != end) {
        const char c = *at++;
        if (c == '"') return true;
        if (static_cast<unsigned char>(c) < 0x20) return false;
        if (c == '\\') {
            if (!escape(sink)) return false;
        } else {
            sink.put(&c, 1);
        }
    }
    return false;
}

bool Json::integer(uint64_t most, uint64_t& out) {
    space();
    if (at == end || !isDigit(*at)) return false;
    out = 0;
    if (*at == '0') {
        ++at;
    } else {
        // most is far below 2^60, so the value cannot wrap before the check.
        while (at != end && isDigit(*at)) {
            out = out * 10 + static_cast<uint64_t>(*at++ - '0');
            if (out > most) return false;
        }
    }
    return at == end || (!isDigit(*at) && *at != '.' && *at != 'e' && *at != 'E');
}

bool Json::digits() {
    if (at == end || !isDigit(*at)) return false;
    while (at != end && isDigit(*at)) ++at;
    return true;
}

bool Json::number() {
    if (at != end && *at == '-') ++at;
    if (at != end && *at == '0') {
        ++at;
    } else if (!digits()) {
        return false;
    }
    if (at != end && *at == '.') {
        ++at;
        if (!digits()) return false;
    }
    if (at != end && (*at == 'e' || *at == 'E')) {
        ++at;
        if (at != end && (*at == '+' || *at == '-')) ++at;
        if (!digits()) return false;
    }
    return true;
}

bool Json::word(std::string_view expected) {
    if (static_cast<size_t>(end - at) < expected.size() ||
        std::string_view(at, expected.size()) != expected)
        return false;
    at += expected.size();
    return true;
}

// After the opening bracket or brace of an array or (keyed) object.
bool Json::container(int depth, char close, bool keyed) {
    if (depth > kMostNesting) return false;
    if (take(close)) return true;
    do {
        if (keyed) {
            TextSink key;
            if (!string(key) || !take(':')) return false;
        }
        if (!skip(depth + 1)) return false;
    } while (take(','));
    return take(close);
}

bool Json::skip(int depth) {
    space();
    if (at == end) return false;
    switch (*at) {
        case '{': ++at; return container(depth, '}', true);
        case '[': ++at; return container(depth, ']', false);
        case '"': {
            TextSink ignored;
            return string(ignored);
        }
        case 't': return word("true");
        case 'f': return word("false");
        case 'n': return word("null");
        default: return number();
    }
}

// A member's name, or "" for one longer than any member the reader knows.
bool readKey(Json& json, char (&room)[kLongestKey + 1], std::string_view& key) {
    TextSink sink{room, kLongestKey};
    if (!json.string(sink) || !json.take(':')) return false;
    key = sink.whole() ? sink.text() : std::string_view{};
    return true;
}

template <typename Field>
bool readNumber(Json& json, uint64_t least, uint64_t most, Field& field) {
    uint64_t value = 0;
    if (!json.integer(most, value) || value < least) return false;
    field = static_cast<Field>(value);
    return true;
}

// A text member into its fixed field, cut to room bytes.
template <size_t Size>
bool readText(Json& json, char (&field)[Size], size_t room, uint16_t& length) {
    TextSink sink{field, room};
    if (!json.string(sink)) return false;
    length = static_cast<uint16_t>(sink.length);
    return true;
}

bool readAddressMember(Json& json, kelvaro_zone_entry& out) {
    char text[kLongestAddressText + 1] = {};
    TextSink sink{text, kLongestAddressText};
    return json.string(sink) && sink.whole() && readAddress(sink.text(), false, out);
}

bool readSecondAddress(Json& json, kelvaro_web_zone& zone) {
    kelvaro_zone_entry second{};
    if (!readAddressMember(json, second) || second.family != KELVARO_FAMILY_IPV6) return false;
    zone.has_address6 = 1;
    std::memcpy(zone.address6_text, second.address_text, sizeof zone.address6_text);
    std::memcpy(zone.address6_bytes, second.address_bytes, sizeof zone.address6_bytes);
    return true;
}

// A source a later directory may name is no reason to refuse its list: only
// "peer" says the zone is known from a peer.
bool readSource(Json& json, kelvaro_web_zone& zone) {
    char text[8] = {};
    TextSink sink{text, sizeof text - 1};
    if (!json.string(sink)) return false;
    zone.from_peer = sink.whole() && sink.text() == "peer" ? 1 : 0;
    return true;
}

// The members of a zone the reader takes; its bit in a zone's seen mask is
// its place here.
struct Member {
    std::string_view name;
    bool (*read)(Json&, kelvaro_web_zone&);
};

constexpr Member kMembers[] = {
    {"address", [](Json& j, kelvaro_web_zone& z) { return readAddressMember(j, z.zone); }},
    {"port", [](Json& j, kelvaro_web_zone& z) { return readNumber(j, 1, UINT16_MAX, z.zone.port); }},
    {"address6", readSecondAddress},
    {"port6", [](Json& j, kelvaro_web_zone& z) { return readNumber(j, 1, UINT16_MAX, z.port6); }},
    {"population",
     [](Json& j, kelvaro_web_zone& z) { return readNumber(j, 0, UINT16_MAX, z.zone.population); }},
    {"flag", [](Json& j, kelvaro_web_zone& z) { return readNumber(j, 0, 1, z.zone.flag); }},
    {"word", [](Json& j, kelvaro_web_zone& z) { return readNumber(j, 0, UINT32_MAX, z.zone.word); }},
    {"name",
     [](Json& j, kelvaro_web_zone& z) {
         return readText(j, z.zone.name, kLongestName, z.zone.name_length);
     }},
    {"description",
     [](Json& j, kelvaro_web_zone& z) {
         return readText(j, z.zone.description, kLongestDescription, z.zone.description_length);
     }},
    {"last_heard",
     [](Json& j, kelvaro_web_zone& z) { return readNumber(j, 0, UINT32_MAX, z.last_heard); }},
    {"source", readSource},
};
constexpr unsigned kAddressBit = 1u << 0, kPortBit = 1u << 1;
constexpr unsigned kAddress6Bit = 1u << 2, kPort6Bit = 1u << 3;

// One zone object: a document's zone is an object at nesting 3, so the
// values of members skipped here may nest from 4.
bool readZone(Json& json, kelvaro_web_zone& zone) {
    if (!json.take('{')) return false;
    zone = kelvaro_web_zone{};
    unsigned seen = 0;
    if (!json.take('}')) {
        do {
            char room[kLongestKey + 1] = {};
            std::string_view key;
            if (!readKey(json, room, key)) return false;
            const auto found = std::find_if(std::begin(kMembers), std::end(kMembers),
                                            [key](const Member& m) { return m.name == key; });
            if (found == std::end(kMembers)) {
                if (!json.skip(4)) return false;
                continue;
            }
            const unsigned bit = 1u << (found - std::begin(kMembers));
            if ((seen & bit) != 0 || !found->read(json, zone)) return false;
            seen |= bit;
        } while (json.take(','));
        if (!json.take('}')) return false;
    }
    const bool both6 = (seen & kAddress6Bit) != 0 && (seen & kPort6Bit) != 0;
    const bool neither6 = (seen & (kAddress6Bit | kPort6Bit)) == 0;
    return (seen & kAddressBit) != 0 && (seen & kPortBit) != 0 && (both6 || neither6);
}

kelvaro_status readZones(Json& json, size_t maxZones, std::vector<kelvaro_web_zone>& out) {
    if (!json.take('[')) return KELVARO_ERR_MALFORMED;
    if (json.take(']')) return KELVARO_OK;
    size_t read = 0;
    kelvaro_web_zone zone;
    do {
        if (!readZone(json, zone)) return KELVARO_ERR_MALFORMED;
        if (read++ >= maxZones) return KELVARO_ERR_TOO_MANY;
        out.push_back(zone);
    } while (json.take(','));
    return json.take(']') ? KELVARO_OK : KELVARO_ERR_MALFORMED;
}

kelvaro_status readDocument(Json& json, size_t maxZones, std::vector<kelvaro_web_zone>& out) {
    const size_t before = out.size();
    if (!json.take('{')) return KELVARO_ERR_MALFORMED;
    bool zonesSeen = false;
    bool countSeen = false;
    uint64_t count = 0;
    if (!json.take('}')) {
        do {
            char room[kLongestKey + 1] = {};
            std::string_view key;
            if (!readKey(json, room, key)) return KELVARO_ERR_MALFORMED;
            if (key == "zones") {
                if (zonesSeen) return KELVARO_ERR_MALFORMED;
                zonesSeen = true;
                const kelvaro_status status = readZones(json, maxZones, out);
                if (status != KELVARO_OK) return status;
            } else if (key == "count") {
                if (countSeen || !json.integer(UINT32_MAX, count)) return KELVARO_ERR_MALFORMED;
                countSeen = true;
            } else if (!json.skip(2)) {
                return KELVARO_ERR_MALFORMED;
            }
        } while (json.take(','));
        if (!json.take('}')) return KELVARO_ERR_MALFORMED;
    }
    if (!json.atEnd() || !zonesSeen || (countSeen && count != out.size() - before))
        return KELVARO_ERR_MALFORMED;
    return KELVARO_OK;
}

bool sameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// "HTTP/1.x NNN" and an optional reason.
bool readStatusLine(std::string_view line, int& status) {
    if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || !isDigit(line[7]) || line[8] != ' ' ||
        !isDigit(line[9]) || !isDigit(line[10]) || !isDigit(line[11]) ||
        (line.size() > 12 && line[12] != ' '))
        return false;
    status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    return true;
}

bool isTokenByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7f && c != ':';
}

bool readHeaderLine(std::string_view line, AnswerHead& head) {
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos ||
        !std::all_of(line.begin(), line.begin() + colon, isTokenByte))
        return false;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (sameLetters(name, "Transfer-Encoding")) return false;  // asked HTTP/1.0: none may come
    if (sameLetters(name, "Content-Encoding")) return sameLetters(value, "identity");
    if (!sameLetters(name, "Content-Length")) return true;
    // Nineteen digits at most: more than any answer may have, short of a wrap.
    if (value.empty() || value.size() > 19 || !std::all_of(value.begin(), value.end(), isDigit))
        return false;
    uint64_t length = 0;
    for (const char c : value) length = length * 10 + static_cast<uint64_t>(c - '0');
    if (head.lengthKnown && head.contentLength != length) return false;
    head.lengthKnown = true;
    head.contentLength = length;
    return true;
}

}  // namespace

size_t webAnswerLimit(uint32_t maxZones) {
    const uint64_t limit =
        KELVARO_WEB_BYTES_BASE + static_cast<uint64_t>(KELVARO_WEB_BYTES_PER_ZONE) * maxZones;
    return static_cast<size_t>(std::min<uint64_t>(limit, KELVARO_WEB_BYTES_MOST));
}

bool readAddress(std::string_view text, bool brackets, kelvaro_zone_entry& out) {
    bool onlyV6 = false;
    if (brackets && text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
        onlyV6 = true;
    }
    IpAddress parsed;
    if (!parseIpAddress(text, parsed) || (onlyV6 && !parsed.isV6())) return false;
    out.family = parsed.isV6() ? KELVARO_FAMILY_IPV6 : KELVARO_FAMILY_IPV4;
    std::memcpy(out.address_bytes, parsed.bytes.data(), sizeof out.address_bytes);
    out.address = parsed.v4();
    // Written again from the bytes: the one text each address has.
    const std::string shown = parsed.text();
    if (shown.size() >= sizeof out.address_text) return false;
    std::memcpy(out.address_text, shown.c_str(), shown.size() + 1);
    return true;
}

std::string webRequest(const kelvaro_zone_entry& host, uint16_t port) {
    const bool v6 = host.family == KELVARO_FAMILY_IPV6;
    std::string request = "GET /zones.json HTTP/1.0\r\nHost: ";
    request += v6 ? "[" : "";
    request += host.address_text;
    request += v6 ? "]:" : ":";
    request += std::to_string(port);
    request += "\r\nAccept-Encoding: identity\r\nConnection: close\r\n"
               "User-Agent: libkelvaro/" KELVARO_VERSION_STRING "\r\n\r\n";
    return request;
}

// Lines end in CR LF or a bare LF; each is judged as soon as it is whole, so
// an answer that is not HTTP is refused without waiting for more of it.
HeadVerdict readAnswerHead(std::string_view answer, AnswerHead& head) {
    head = AnswerHead{};
    size_t start = 0;
    for (size_t lines = 0; lines <= kLongestHead; ++lines) {
        const size_t end = answer.find('\n', start);
        if (end == std::string_view::npos || end >= kLongestHead)
            return answer.size() >= kLongestHead ? HeadVerdict::Malformed : HeadVerdict::Incomplete;
        std::string_view line = answer.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = end + 1;
        if (lines == 0) {
            if (!readStatusLine(line, head.status)) return HeadVerdict::Malformed;
        } else if (line.empty()) {
            head.bodyStart = start;
            return HeadVerdict::Good;
        } else if (!readHeaderLine(line, head)) {
            return HeadVerdict::Malformed;
        }
    }
    return HeadVerdict::Malformed;
}

kelvaro_status readZonesJson(std::string_view document, size_t maxZones,
                             std::vector<kelvaro_web_zone>& out) {
    const size_t before = out.size();
    Json json(document);
    const kelvaro_status status = readDocument(json, maxZones, out);
    if (status != KELVARO_OK) out.resize(before);
    return status;
}

kelvaro_status readWebAnswer(std::string_view answer, uint32_t maxZones,
                             std::vector<kelvaro_web_zone>& out) {
    AnswerHead head;
    const HeadVerdict verdict = readAnswerHead(answer, head);
    if (verdict == HeadVerdict::Incomplete) return KELVARO_ERR_CLOSED;
    if (verdict == HeadVerdict::Malformed) return KELVARO_ERR_MALFORMED;
    if (head.status != 200) return KELVARO_ERR_HTTP;
    const size_t limit = webAnswerLimit(maxZones);
    if (answer.size() > limit || (head.lengthKnown && head.contentLength > limit - head.bodyStart))
        return KELVARO_ERR_TOO_MANY;
    const std::string_view body = answer.substr(head.bodyStart);
    if (head.lengthKnown && body.size() < head.contentLength) return KELVARO_ERR_CLOSED;
    if (head.lengthKnown && body.size() > head.contentLength) return KELVARO_ERR_MALFORMED;
    return readZonesJson(body, maxZones, out);
}

}  // namespace kelvaro::client
