#pragma once
// Little-endian byte helpers. Every multi-byte integer on our wires is
// little-endian and unaligned, so fields are assembled byte by byte rather than
// by laying a struct over received bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kelvaro {

// REQUIRES: offset + width bytes are readable; callers check lengths first.
inline uint32_t readU32(const uint8_t* bytes, size_t offset) {
    const uint8_t* p = bytes + offset;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint16_t readU16(const uint8_t* bytes, size_t offset) {
    const uint8_t* p = bytes + offset;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint8_t readU8(const uint8_t* bytes, size_t offset) { return bytes[offset]; }

inline void writeU32(uint8_t* bytes, size_t offset, uint32_t value) {
    uint8_t* p = bytes + offset;
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

inline void writeU16(uint8_t* bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// Source before destination, unlike memcpy. Regions must not overlap.
inline void copyBytes(const void* source, void* destination, size_t count) {
    if (count != 0) std::memcpy(destination, source, count);
}

inline uint32_t minUnsigned(uint32_t a, uint32_t b) { return a < b ? a : b; }

// Length of a NUL-terminated text held in a fixed array, never reading past it.
inline size_t boundedLength(const char* text, size_t capacity) {
    const void* nul = std::memchr(text, 0, capacity);
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : capacity;
}

// Length of text up to its first NUL (the text may come from a fixed array).
inline size_t textLength(std::string_view text) {
    const size_t nul = text.find('\0');
    return nul == std::string_view::npos ? text.size() : nul;
}

// Fills a fixed text array: zeroes it, then copies text up to its first NUL,
// cut so that the terminating NUL always fits. REQUIRES: capacity >= 1.
inline void storeText(char* target, size_t capacity, std::string_view text) {
    std::memset(target, 0, capacity);
    const size_t length = textLength(text);
    copyBytes(text.data(), target, length < capacity - 1 ? length : capacity - 1);
}

// Whether an array filled by storeText (zero past its text) already holds
// what storeText(stored, capacity, text) would leave; reads only the bytes
// up to the stored text's end. REQUIRES: capacity >= 1.
inline bool holdsText(const char* stored, size_t capacity, std::string_view text) {
    size_t length = textLength(text);
    if (length > capacity - 1) length = capacity - 1;
    return std::memcmp(stored, text.data(), length) == 0 && stored[length] == '\0';
}

}  // namespace kelvaro
