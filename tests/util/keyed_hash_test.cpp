#include "util/keyed_hash.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvaro {
namespace {

HashKey countingKey() {
    HashKey key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i);
    return key;
}

// The published vectors of the hash: key 00..0f, message 00..(n-1). They
// cover the empty message, a partial last word and a whole word before it.
TEST(KeyedHashTest, MatchesThePublishedVectors) {
    struct Case {
        size_t length;
        uint64_t expected;
    };
    const Case cases[] = {
        {0, 0x726fdb47dd0e0e31ULL},
        {1, 0x74f839c593dc67fdULL},
        {15, 0xa129ca6149be45e5ULL},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> message(c.length);
        for (size_t i = 0; i < c.length; ++i) message[i] = static_cast<uint8_t>(i);
        EXPECT_EQ(keyedHash(countingKey(), message), c.expected) << "length " << c.length;
    }
}

}  // namespace
}  // namespace kelvaro
