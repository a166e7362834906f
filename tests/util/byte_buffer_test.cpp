#include "util/byte_buffer.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvaro {
namespace {

std::vector<uint8_t> bytesOf(uint32_t count, uint8_t fill) { return std::vector<uint8_t>(count, fill); }

TEST(ByteBufferTest, DefaultLimitAcceptsExactlyOneThousandBytes) {
    ByteBuffer buffer;
    const auto big = bytesOf(1001, 7);
    buffer.append(big.data(), 1001);
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.data(), nullptr);
    buffer.append(big.data(), 1000);
    EXPECT_EQ(buffer.size(), 1000u);
}

TEST(ByteBufferTest, RefusedAppendLeavesEarlierBytesAndLaterShortAppendStillFits) {
    ByteBuffer buffer;
    const auto a = bytesOf(600, 1), b = bytesOf(500, 2), c = bytesOf(400, 3);
    buffer.append(a.data(), 600);
    buffer.append(b.data(), 500);
    EXPECT_EQ(buffer.size(), 600u);
    buffer.append(c.data(), 400);
    ASSERT_EQ(buffer.size(), 1000u);
    EXPECT_EQ(buffer.data()[599], 1);
    EXPECT_EQ(buffer.data()[600], 3);
}

TEST(ByteBufferTest, RaisedLimitAndClearKeepingIt) {
    ByteBuffer buffer;
    buffer.setLimit(50000);
    const auto big = bytesOf(50000, 9);
    buffer.append(big.data(), 50000);
    EXPECT_EQ(buffer.size(), 50000u);
    const uint8_t one = 1;
    buffer.append(&one, 1);
    EXPECT_EQ(buffer.size(), 50000u);
    buffer.clear();
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(buffer.limit(), 50000u);
    buffer.clear();
    EXPECT_EQ(buffer.size(), 0u);
}

TEST(ByteBufferTest, EmptyAppendStillLeavesABlock) {
    ByteBuffer buffer;
    buffer.append(nullptr, 0);
    EXPECT_NE(buffer.data(), nullptr);
    EXPECT_EQ(buffer.size(), 0u);
}

TEST(ByteBufferTest, HugeCountCannotWrapPastTheLimit) {
    ByteBuffer buffer;
    const uint8_t one = 1;
    buffer.append(&one, 1);
    buffer.append(&one, 0xFFFFFFFFu);  // size + count wraps in 32 bits
    EXPECT_EQ(buffer.size(), 1u);
}

}  // namespace
}  // namespace kelvaro
