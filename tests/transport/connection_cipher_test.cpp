#include "transport/connection_cipher.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "platform/tick_clock.h"

namespace kelvaro {
namespace {

using Bytes = std::vector<uint8_t>;

ConnectionCipher keyed(int32_t key) {
    ConnectionCipher cipher;
    cipher.setKey(key);
    return cipher;
}

Bytes encrypted(const ConnectionCipher& cipher, Bytes packet) {
    cipher.encrypt(packet.data(), static_cast<uint32_t>(packet.size()));
    return packet;
}

Bytes decrypted(const ConnectionCipher& cipher, Bytes packet) {
    cipher.decrypt(packet.data(), static_cast<uint32_t>(packet.size()));
    return packet;
}

Bytes patterned(uint32_t length, uint8_t first, uint8_t seed) {
    Bytes packet(length);
    for (uint32_t i = 0; i < length; ++i) packet[i] = static_cast<uint8_t>(seed + i * 37u);
    if (length > 0) packet[0] = first;
    return packet;
}

struct TableVector {
    int32_t key;
    uint16_t first[8];
    uint16_t entry259;
};

// Computed from the written generator by two independent implementations.
TEST(ConnectionCipherTest, KeyTablesMatchKnownAnswers) {
    const TableVector vectors[] = {
        {-123456789, {25167, 25684, 56186, 24485, 26960, 4027, 56082, 45535}, 45569},
        {-1, {14094, 32331, 40365, 65432, 28436, 50324, 57646, 45583}, 7951},
        {INT32_MIN, {16930, 50857, 35436, 63069, 31260, 51481, 39772, 47184}, 24552},
    };
    for (const TableVector& v : vectors) {
        SCOPED_TRACE(v.key);
        const ConnectionCipher cipher = keyed(v.key);
        EXPECT_EQ(cipher.key, v.key);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(cipher.table[i], v.first[i]) << "entry " << i;
        EXPECT_EQ(cipher.table[259], v.entry259);
    }
}

TEST(ConnectionCipherTest, PacketsEncryptToKnownAnswers) {
    const ConnectionCipher cipher = keyed(-123456789);
    const Bytes reliable = {0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0x41, 0x42, 0x43, 0x44, 0x45};
    const Bytes reliableWire = {0x00, 0x03, 0xa5, 0x50, 0xf0, 0x9c, 0x9e, 0xc9, 0x16, 0x87, 0x8b};
    EXPECT_EQ(encrypted(cipher, reliable), reliableWire);
    EXPECT_EQ(decrypted(cipher, reliableWire), reliable);

    const Bytes listRequest = {0x01, 0x00, 0x00, 0x00, 0x00};
    const Bytes listRequestWire = {0x01, 0xa4, 0x50, 0xf0, 0x9c};
    EXPECT_EQ(encrypted(cipher, listRequest), listRequestWire);
    EXPECT_EQ(decrypted(cipher, listRequestWire), listRequest);
}

TEST(ConnectionCipherTest, GeneratedKeysMatchKnownAnswersAndStayFixed) {
    ManualClock clock(0);
    const struct {
        uint32_t tick;
        int32_t key;
    } vectors[] = {{0, -161941987}, {1000, -161941612}, {123456789, -269777029}};
    for (const auto& v : vectors) {
        clock.set(v.tick);
        ConnectionCipher cipher;
        EXPECT_EQ(cipher.generateKey(), v.key) << "tick " << v.tick;
        // A retried key request must carry the same key, whatever the time.
        clock.advance(777);
        EXPECT_EQ(cipher.generateKey(), v.key);
        EXPECT_EQ(cipher.ownKey, v.key);
    }
}

TEST(ConnectionCipherTest, GeneratedKeysAreNeverPositive) {
    ManualClock clock(0);
    for (uint32_t tick = 0; tick < 200000; tick += 7) {
        clock.set(tick * 21467u);
        ConnectionCipher cipher;
        ASSERT_LE(cipher.generateKey(), 0) << "tick " << clock.now();
    }
}

TEST(ConnectionCipherTest, AcceptsOnlyOwnKeyAndItsNegation) {
    ManualClock clock(4242);
    ConnectionCipher cipher;
    const int32_t own = cipher.generateKey();
    EXPECT_TRUE(cipher.accepts(own));
    EXPECT_TRUE(cipher.accepts(-own));
    EXPECT_FALSE(cipher.accepts(own + 1));
    EXPECT_FALSE(cipher.accepts(-own - 1));
    EXPECT_FALSE(cipher.accepts(0));

    EXPECT_EQ(ConnectionCipher::negateKey(INT32_MIN), INT32_MIN);
    EXPECT_EQ(ConnectionCipher::negateKey(-5), 5);
}

TEST(ConnectionCipherTest, OwnKeyEchoedTurnsEncryptionOffWithoutTouchingTheTable) {
    ManualClock clock(1000);
    ConnectionCipher cipher;
    const int32_t own = cipher.generateKey();
    cipher.setKey(own);
    EXPECT_EQ(cipher.key, 0);
    for (uint16_t entry : cipher.table) ASSERT_EQ(entry, 0);

    const Bytes packet = patterned(40, 0, 3);
    EXPECT_EQ(encrypted(cipher, packet), packet);

    cipher.setKey(ConnectionCipher::negateKey(own));
    EXPECT_EQ(cipher.key, -own);
    EXPECT_NE(encrypted(cipher, packet), packet);
}

TEST(ConnectionCipherTest, NoKeyLeavesEveryPacketUnchanged) {
    const ConnectionCipher cipher;
    for (uint32_t length : {1u, 2u, 7u, 100u, 520u}) {
        const Bytes packet = patterned(length, length % 2 ? 0 : 5, 11);
        EXPECT_EQ(encrypted(cipher, packet), packet);
        EXPECT_EQ(decrypted(cipher, packet), packet);
    }
}

TEST(ConnectionCipherTest, TypeBytesStayClear) {
    const ConnectionCipher cipher = keyed(-987654);
    // A lone zero byte and a two-byte core packet have no payload at all.
    EXPECT_EQ(encrypted(cipher, {0x00}), Bytes({0x00}));
    EXPECT_EQ(encrypted(cipher, {0x00, 0x07}), Bytes({0x00, 0x07}));

    const Bytes core = patterned(12, 0, 9);
    const Bytes coreWire = encrypted(cipher, core);
    EXPECT_EQ(coreWire[0], core[0]);
    EXPECT_EQ(coreWire[1], core[1]);
    EXPECT_NE(Bytes(coreWire.begin() + 2, coreWire.end()), Bytes(core.begin() + 2, core.end()));

    const Bytes app = patterned(12, 1, 9);
    const Bytes appWire = encrypted(cipher, app);
    EXPECT_EQ(appWire[0], app[0]);
    EXPECT_NE(appWire[1], app[1]);
    // A one-byte application message has nothing to encrypt either.
    EXPECT_EQ(encrypted(cipher, {0x09}), Bytes({0x09}));
}

TEST(ConnectionCipherTest, PartialLastWordDependsOnlyOnItsOwnBytes) {
    const ConnectionCipher cipher = keyed(-123456789);
    // Seven bytes of a core packet: one whole payload word and one byte.
    const Bytes packet = {0x00, 0x03, 0x10, 0x20, 0x30, 0x40, 0x50};
    const Bytes wire = encrypted(cipher, packet);
    ASSERT_EQ(wire.size(), 7u);
    EXPECT_EQ(decrypted(cipher, wire), packet);

    // The first payload bytes of a longer packet encrypt identically: the
    // trailing word is treated as zero-filled, not as whatever follows.
    Bytes longer = packet;
    longer.push_back(0x00);
    const Bytes longerWire = encrypted(cipher, longer);
    EXPECT_EQ(Bytes(longerWire.begin(), longerWire.begin() + 7), wire);
}

TEST(ConnectionCipherTest, EveryLengthSurvivesTheRoundTripAndEncryptsAlike) {
    const ConnectionCipher cipher = keyed(-55555555);
    for (uint32_t length = 1; length <= 521; ++length) {
        for (uint8_t first : {uint8_t{0}, uint8_t{1}}) {
            const Bytes packet = patterned(length, first, static_cast<uint8_t>(length));
            const Bytes wire = encrypted(cipher, packet);
            ASSERT_EQ(wire, encrypted(cipher, packet)) << "length " << length;
            ASSERT_EQ(decrypted(cipher, wire), packet) << "length " << length;
        }
    }
}

TEST(ConnectionCipherTest, EachPacketDecryptsByItself) {
    const ConnectionCipher cipher = keyed(-31337);
    const Bytes a = patterned(30, 0, 1), b = patterned(30, 0, 2);
    const Bytes wireA = encrypted(cipher, a), wireB = encrypted(cipher, b);
    // In reverse order, as if the first had been delayed.
    EXPECT_EQ(decrypted(cipher, wireB), b);
    EXPECT_EQ(decrypted(cipher, wireA), a);
}

TEST(ConnectionCipherTest, PayloadBeyondTheWorkAreaIsLeftUnchanged) {
    const ConnectionCipher cipher = keyed(-2024);
    const Bytes fits = patterned(522, 0, 4);  // 520 payload bytes
    EXPECT_NE(encrypted(cipher, fits), fits);
    const Bytes tooLong = patterned(523, 0, 4);
    EXPECT_EQ(encrypted(cipher, tooLong), tooLong);
    EXPECT_EQ(decrypted(cipher, tooLong), tooLong);
}

}  // namespace
}  // namespace kelvaro
