#pragma once
// A connection's key, key table and XOR-chain cipher. Both ends must build the
// same table from the same key, so the generators are followed bit for bit.
//
// Packets are encrypted in place. The type bytes at the head of a packet stay
// clear (two for a core packet of 2 or more bytes, one otherwise), so a packet
// can be dispatched by type before and after the key exchange alike. A cipher
// without a key (key 0) leaves every packet unchanged.

#include <cstdint>

namespace kelvaro {

class ConnectionCipher {
public:
    static constexpr int kTableEntries = 260;

    // This side's key for its key request: made on the first call from the tick
    // counter, returned unchanged afterwards. Never positive.
    int32_t generateKey();
    static int32_t negateKey(int32_t key);
    // True for ownKey and for its negation.
    bool accepts(int32_t responseKey) const;
    // Agrees the connection key: ownKey echoed back means no encryption.
    void setKey(int32_t k);

    void encrypt(uint8_t* packet, uint32_t length) const;
    void decrypt(uint8_t* packet, uint32_t length) const;

    int32_t key = 0;
    int32_t ownKey = 0;
    uint32_t keyGenerator = 0;
    uint32_t tableGenerator = 0;
    uint16_t table[kTableEntries] = {};

private:
    uint32_t nextKeyOutput();
    uint16_t nextTableOutput();
};

}  // namespace kelvaro
