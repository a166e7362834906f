#include "util/bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kelvaro {
namespace {

TEST(BytesTest, ReadsLittleEndianAtAnyOffset) {
    const uint8_t bytes[] = {2, 1, 0x78, 0x56, 0x34, 0x12, 0xFF};
    EXPECT_EQ(readU16(bytes, 0), 258);
    EXPECT_EQ(readU32(bytes, 2), 0x12345678u);
    EXPECT_EQ(readU32(bytes, 3), 0xFF123456u);
    EXPECT_EQ(readU8(bytes, 6), 0xFF);
}

TEST(BytesTest, WritersAreTheReadersInverse) {
    uint8_t bytes[7] = {};
    writeU32(bytes, 1, 0xA1B2C3D4u);
    writeU16(bytes, 5, 0xBEEF);
    EXPECT_EQ(bytes[1], 0xD4);
    EXPECT_EQ(readU32(bytes, 1), 0xA1B2C3D4u);
    EXPECT_EQ(readU16(bytes, 5), 0xBEEF);
}

TEST(BytesTest, CopyBytesTakesSourceFirstAndMinIsUnsigned) {
    const uint8_t from[3] = {1, 2, 3};
    uint8_t to[3] = {};
    copyBytes(from, to, 3);
    EXPECT_EQ(to[2], 3);
    EXPECT_EQ(minUnsigned(0xFFFFFFFFu, 1), 1u);
}

TEST(BytesTest, BoundedLengthNeverPassesItsCapacity) {
    const char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(boundedLength(full, 4), 4u);
    EXPECT_EQ(boundedLength("ab\0cd", 5), 2u);
}

// holdsText must agree with comparing the whole array after a storeText, the
// way a changed text used to be found.
TEST(BytesTest, HoldsTextAgreesWithAWholeArrayComparison) {
    using namespace std::string_literals;
    struct Case {
        std::string stored;
        std::string next;
    };
    const Case cases[] = {
        {"Zone", "Zone"},     {"Zone", "Zon"},      {"Zon", "Zone"},        {"", ""},
        {"", "a"},            {"a", ""},            {"Zone", "Zone\0x"s},   {"Zone\0x"s, "Zone"},
        {"abcdefgh", "abcdefg"},  // stored cut at the capacity of 8: 7 bytes
        {"abcdefgh", "abcdefgX"}, {"abcdefg", "abcdefgh"}, {"abcdefg", "abcdef"},
    };
    for (const Case& c : cases) {
        char stored[8];
        char next[8];
        storeText(stored, sizeof stored, c.stored);
        storeText(next, sizeof next, c.next);
        EXPECT_EQ(holdsText(stored, sizeof stored, c.next), std::memcmp(stored, next, sizeof stored) == 0)
            << '"' << c.stored << "\" then \"" << c.next << '"';
    }
}

}  // namespace
}  // namespace kelvaro
