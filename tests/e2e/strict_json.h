#pragma once
// A strict reader for the JSON the tools print: objects, arrays, strings,
// unsigned integers, true, false and null, nothing more lenient than the
// grammar allows (no trailing commas, no raw control bytes or bytes above 126
// inside strings, no leading zeros). \u escapes below 256 become that byte,
// which is how the tools write bytes that are not printable ASCII.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvaro::testing_support {

struct JsonValue {
    enum class Kind { Null, Boolean, Number, String, Array, Object } kind = Kind::Null;
    uint64_t number = 0;
    bool boolean = false;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;
};

class StrictJson {
public:
    // False unless the whole text (surrounding blanks aside) is one value.
    static bool parse(std::string_view text, JsonValue& out) {
        StrictJson reader(text);
        return reader.value(out, 0) && (reader.skipBlanks(), reader.at == text.size());
    }

private:
    static constexpr int kDeepest = 32;

    explicit StrictJson(std::string_view source) : text(source) {}

    void skipBlanks() {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\n' || text[at] == '\t' ||
                                    text[at] == '\r'))
            ++at;
    }
    bool take(char c) {
        skipBlanks();
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    }
    bool word(std::string_view expected) {
        if (text.substr(at, expected.size()) != expected) return false;
        at += expected.size();
        return true;
    }

    bool value(JsonValue& out, int depth) {
        if (depth > kDeepest) return false;
        skipBlanks();
        if (at >= text.size()) return false;
        const char c = text[at];
        if (c == '{') return object(out, depth);
        if (c == '[') return array(out, depth);
        if (c == '"') return out.kind = JsonValue::Kind::String, string(out.text);
        if (c >= '0' && c <= '9') return number(out);
        if (word("true")) return out.kind = JsonValue::Kind::Boolean, out.boolean = true;
        if (word("false")) return out.kind = JsonValue::Kind::Boolean, true;
        return word("null");
    }

    bool number(JsonValue& out) {
        out.kind = JsonValue::Kind::Number;
        const size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - first < 20)
            out.number = out.number * 10 + static_cast<uint64_t>(text[at++] - '0');
        return !(text[first] == '0' && at - first > 1);
    }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool string(std::string& out) {
        ++at;  // the opening quote
        while (at < text.size()) {
            const auto c = static_cast<unsigned char>(text[at++]);
            if (c == '"') return true;
            if (c < 0x20 || c > 0x7e) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at >= text.size()) return false;
            const char escape = text[at++];
            static constexpr std::string_view kSimple = "\"\\/bfnrt";
            static constexpr std::string_view kMeaning = "\"\\/\b\f\n\r\t";
            if (const size_t found = kSimple.find(escape); found != std::string_view::npos) {
                out += kMeaning[found];
                continue;
            }
            if (escape != 'u' || at + 4 > text.size()) return false;
            unsigned code = 0;
            for (int i = 0; i < 4; ++i) {
                const int digit = hexDigit(text[at++]);
                if (digit < 0) return false;
                code = code * 16 + static_cast<unsigned>(digit);
            }
            if (code > 0xff) return false;  // the tools never write one
            out += static_cast<char>(code);
        }
        return false;
    }

    bool array(JsonValue& out, int depth) {
        out.kind = JsonValue::Kind::Array;
        ++at;
        if (take(']')) return true;
        do {
            out.items.emplace_back();
            if (!value(out.items.back(), depth + 1)) return false;
        } while (take(','));
        return take(']');
    }

    bool object(JsonValue& out, int depth) {
        out.kind = JsonValue::Kind::Object;
        ++at;
        if (take('}')) return true;
        do {
            skipBlanks();
            std::string key;
            if (at >= text.size() || text[at] != '"' || !string(key) || !take(':')) return false;
            if (out.members.count(key) != 0) return false;
            if (!value(out.members[key], depth + 1)) return false;
        } while (take(','));
        return take('}');
    }

    std::string_view text;
    size_t at = 0;
};

}  // namespace kelvaro::testing_support
