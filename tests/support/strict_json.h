#pragma once
// A strict reader for the JSON the tools print and the HTTP front serves:
// objects, arrays, strings and unsigned integers, by the grammar (no trailing
// commas, no leading zeros, no raw control bytes or bytes above 126 in
// strings). A \u escape below 256 becomes that byte, which is how the tools
// and the server write bytes that are not printable ASCII.

#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kelvaro::testing_support {

struct JsonValue {
    enum class Kind { Number, String, Array, Object, Null } kind = Kind::Number;
    uint64_t number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;
};

class StrictJson {
public:
    // False unless the whole text (blanks aside) is one value.
    static bool parse(std::string_view source, JsonValue& out) {
        StrictJson reader(source);
        return reader.value(out, 0) && !reader.more();
    }

private:
    explicit StrictJson(std::string_view source) : text(source) {}

    bool more() {
        while (at < text.size() &&
               std::string_view(" \t\r\n").find(text[at]) != std::string_view::npos)
            ++at;
        return at < text.size();
    }
    bool take(char c) {
        if (!more() || text[at] != c) return false;
        ++at;
        return true;
    }

    bool value(JsonValue& out, int depth) {
        if (depth > 32 || !more()) return false;
        if (take('"')) return out.kind = JsonValue::Kind::String, string(out.text);
        // Every element takes at least one byte, so the text bounds the loops.
        if (take('[')) {
            out.kind = JsonValue::Kind::Array;
            if (take(']')) return true;
            for (size_t n = 0; n < text.size(); ++n) {
                if (!value(out.items.emplace_back(), depth + 1)) return false;
                if (!take(',')) return take(']');
            }
            return false;
        }
        if (take('{')) {
            out.kind = JsonValue::Kind::Object;
            if (take('}')) return true;
            for (size_t n = 0; n < text.size(); ++n) {
                std::string key;
                if (!take('"') || !string(key) || !take(':') || out.members.count(key) != 0 ||
                    !value(out.members[key], depth + 1))
                    return false;
                if (!take(',')) return take('}');
            }
            return false;
        }
        if (text.substr(at, 4) == "null") return at += 4, out.kind = JsonValue::Kind::Null, true;
        const size_t first = at;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && at - first < 20; ++at)
            out.number = out.number * 10 + static_cast<uint64_t>(text[at] - '0');
        return at > first && !(text[first] == '0' && at - first > 1);
    }

    bool string(std::string& out) {
        while (at < text.size()) {
            const auto c = static_cast<unsigned char>(text[at++]);
            if (c == '"') return true;
            if (c < 0x20 || c > 0x7e) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
            } else if (at < text.size() &&
                       std::string_view("\"\\/").find(text[at]) != std::string_view::npos) {
                out += text[at++];
            } else if (at < text.size() &&
                       std::string_view("bfnrt").find(text[at]) != std::string_view::npos) {
                out += "\b\f\n\r\t"[std::string_view("bfnrt").find(text[at++])];
            } else {
                unsigned code = 0;
                if (text.substr(at, 1) != "u" || at + 5 > text.size()) return false;
                for (size_t i = at + 1; i < at + 5; ++i) {
                    const char h =
                        static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
                    const size_t digit = std::string_view("0123456789abcdef").find(h);
                    if (digit == std::string_view::npos) return false;
                    code = code * 16 + static_cast<unsigned>(digit);
                }
                at += 5;
                if (code > 0xff) return false;  // the tools never write one
                out += static_cast<char>(code);
            }
        }
        return false;
    }

    std::string_view text;
    size_t at = 0;
};

}  // namespace kelvaro::testing_support
