#include "transport/answered_key_requests.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>

namespace kelvaro {
namespace {

constexpr uint32_t kLifetime = 2000;

// Address i: 127.x.y.z with a port of its own, all distinct.
NetAddress source(uint32_t i) {
    return NetAddress(htonl(0x7F000000u | (i & 0xFFFFFFu)), static_cast<uint16_t>(1024 + i % 60000));
}

TEST(AnsweredKeyRequestsTest, KeepsFindsReplacesAndForgetsAnswersByAddressAndPort) {
    auto table = std::make_unique<AnsweredKeyRequests>(7);
    const NetAddress a(htonl(0x7F000001), 5000), samePortOtherHost(htonl(0x7F000002), 5000),
        sameHostOtherPort(htonl(0x7F000001), 5001);
    EXPECT_EQ(table->find(a, 100, kLifetime), nullptr);

    table->add(a, -42, 100);
    const AnsweredKeyRequests::Entry* entry = table->find(a, 150, kLifetime);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->key, -42);
    EXPECT_EQ(entry->tick, 100u);
    EXPECT_EQ(table->find(samePortOtherHost, 150, kLifetime), nullptr);
    EXPECT_EQ(table->find(sameHostOtherPort, 150, kLifetime), nullptr);

    table->add(a, -43, 200);  // a new answer replaces the old one
    EXPECT_EQ(table->count(), 1u);
    EXPECT_EQ(table->find(a, 200, kLifetime)->key, -43);

    table->remove(sameHostOtherPort);  // not held: nothing happens
    EXPECT_EQ(table->count(), 1u);
    table->remove(a);
    EXPECT_EQ(table->count(), 0u);
    EXPECT_EQ(table->find(a, 200, kLifetime), nullptr);
}

TEST(AnsweredKeyRequestsTest, AnswerOlderThanItsLifetimeIsGoneAcrossTheTickWrap) {
    struct Case {
        uint32_t answeredAt;
        uint32_t now;
        bool found;
    };
    const Case cases[] = {
        {1000, 1000 + kLifetime, true},
        {1000, 1000 + kLifetime + 1, false},
        {0xFFFFFF00u, 0xFFFFFF00u + kLifetime, true},  // wraps through 0
        {0xFFFFFF00u, 0xFFFFFF00u + kLifetime + 1, false},
    };
    for (const Case& c : cases) {
        AnsweredKeyRequests table(1);
        table.add(source(1), -5, c.answeredAt);
        EXPECT_EQ(table.find(source(1), c.now, kLifetime) != nullptr, c.found)
            << "answered at " << c.answeredAt << ", now " << c.now;
    }
}

TEST(AnsweredKeyRequestsTest, FullTableForgetsTheOldestFirstAndNeverGrows) {
    auto table = std::make_unique<AnsweredKeyRequests>(99);
    constexpr uint32_t kCapacity = AnsweredKeyRequests::kCapacity;
    for (uint32_t i = 0; i < kCapacity; ++i) table->add(source(i), -static_cast<int32_t>(i), i);
    EXPECT_EQ(table->count(), kCapacity);

    // Answers removed in the middle leave their places to the turn of the
    // oldest: the next answers still take the oldest entries.
    table->remove(source(10));
    table->add(source(kCapacity), -1, kCapacity);
    table->add(source(kCapacity + 1), -2, kCapacity + 1);
    const uint32_t now = kCapacity + 1;
    EXPECT_EQ(table->find(source(0), now, kLifetime * 10), nullptr);
    EXPECT_EQ(table->find(source(1), now, kLifetime * 10), nullptr);
    EXPECT_NE(table->find(source(2), now, kLifetime * 10), nullptr);
    EXPECT_NE(table->find(source(kCapacity + 1), now, kLifetime * 10), nullptr);
    EXPECT_EQ(table->count(), kCapacity - 1);

    // A flood three times the size leaves exactly the newest kCapacity.
    for (uint32_t i = 0; i < 3 * kCapacity; ++i) table->add(source(100000 + i), -7, 5000 + i);
    EXPECT_EQ(table->count(), kCapacity);
    uint32_t newestHeld = 0;
    for (uint32_t i = 2 * kCapacity; i < 3 * kCapacity; ++i)
        if (table->find(source(100000 + i), 5000 + 3 * kCapacity, kLifetime * 10)) ++newestHeld;
    EXPECT_EQ(newestHeld, kCapacity);
    EXPECT_EQ(table->find(source(100000 + 2 * kCapacity - 1), 5000 + 3 * kCapacity, kLifetime * 10),
              nullptr);
}

TEST(AnsweredKeyRequestsTest, MemoryIsAFixedSeventyThreeKilobytes) {
    EXPECT_EQ(AnsweredKeyRequests::kMemoryBytes, 4096u * (16 + 2) + 4096 / 8);
    // Nothing beyond the arrays but a few counters.
    EXPECT_LE(sizeof(AnsweredKeyRequests), AnsweredKeyRequests::kMemoryBytes + 32);
}

}  // namespace
}  // namespace kelvaro
