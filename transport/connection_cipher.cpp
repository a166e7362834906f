#include "transport/connection_cipher.h"

#include "platform/tick_clock.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

// Both ends rebuild the key table from the key alone, so every constant below
// is part of the wire protocol: change one and peers stop understanding us.
constexpr uint32_t kKeyMultiplier = 214013;
constexpr uint32_t kKeyIncrement = 2531011;
constexpr uint32_t kKeyOutputMask = 0x7FFF;
constexpr uint32_t kTickSpread = 0xCCCCCCCD;

constexpr uint64_t kQuotientMagic = 0x834E0B5F;  // 2^48 / 127773, rounded up
constexpr uint32_t kSchrageQ = 127773;
constexpr uint32_t kSchrageA = 16807;
constexpr uint32_t kSchrageR = 2836;
constexpr uint32_t kTableStepOffset = 123;
constexpr uint32_t kModulus = 0x7FFFFFFF;

// The cipher works on a fixed stack area the size of the largest datagram.
constexpr uint32_t kWorkArea = 520;
constexpr uint32_t kWordBytes = 4;

// Where the clear type bytes end: a core packet keeps its two type bytes in
// clear, anything else only its first.
uint32_t headerLength(const uint8_t* packet, uint32_t length) {
    return (packet[0] == 0 && length >= 2) ? 2 : 1;
}

uint32_t tableWord(const uint16_t* table, uint32_t w) {
    return static_cast<uint32_t>(table[2 * w]) | static_cast<uint32_t>(table[2 * w + 1]) << 16;
}

enum class Direction { Encrypt, Decrypt };

// One XOR chain over the payload. The chain always continues from the
// ciphertext word, in both directions, which is what makes decrypt the exact
// inverse of encrypt.
void runChain(int32_t key, const uint16_t* table, uint8_t* packet, uint32_t length,
              Direction direction) {
    if (key == 0 || length == 0) return;
    const uint32_t header = headerLength(packet, length);
    if (length <= header) return;
    const uint32_t payload = length - header;
    // A payload that does not fit the work area cannot come from a datagram we
    // receive (at most 520 bytes) and is never built with a ChunkSize in range;
    // it is left unchanged rather than cut, so nothing past the area is touched.
    if (payload > kWorkArea) return;

    uint8_t area[kWorkArea] = {};
    copyBytes(packet + header, area, payload);
    uint32_t previous = static_cast<uint32_t>(key);
    // A trailing partial word is processed as if zero-filled; since XOR works
    // bytewise only the payload's own bytes are written back below.
    const uint32_t words = (payload + kWordBytes - 1) / kWordBytes;
    for (uint32_t w = 0; w < words; ++w) {
        const uint32_t in = readU32(area, w * kWordBytes);
        const uint32_t out = in ^ tableWord(table, w) ^ previous;
        writeU32(area, w * kWordBytes, out);
        previous = direction == Direction::Encrypt ? out : in;
    }
    copyBytes(area, packet + header, payload);
}

}  // namespace

uint32_t ConnectionCipher::nextKeyOutput() {
    keyGenerator = keyGenerator * kKeyMultiplier + kKeyIncrement;
    return (keyGenerator >> 10) & kKeyOutputMask;
}

int32_t ConnectionCipher::generateKey() {
    if (ownKey != 0) return ownKey;
    const uint32_t spread = tickCount() * kTickSpread;
    const uint32_t high = nextKeyOutput() << 16;
    const uint32_t low = nextKeyOutput();
    const uint32_t mixed = high + (spread >> 3) + low;
    int32_t k = static_cast<int32_t>((mixed ^ spread) - spread);
    if (k > 0) k = -k;  // k > 0 here, so the negation cannot overflow
    ownKey = k;
    return k;
}

int32_t ConnectionCipher::negateKey(int32_t key) {
    // In unsigned arithmetic so that the negation of INT32_MIN wraps to itself.
    return static_cast<int32_t>(0u - static_cast<uint32_t>(key));
}

bool ConnectionCipher::accepts(int32_t responseKey) const {
    return responseKey == ownKey || responseKey == negateKey(ownKey);
}

uint16_t ConnectionCipher::nextTableOutput() {
    const uint32_t s = tableGenerator;
    // Bits 48..63 of the product, read as a signed 16-bit number, with the
    // sign correction of a signed division. For s below 2^31 this is s / 127773;
    // above, it is what the peers compute, which is all that matters.
    const uint64_t product = static_cast<uint64_t>(s) * kQuotientMagic;
    int32_t quotient = static_cast<int16_t>(static_cast<uint16_t>(product >> 48));
    if (quotient < 0) quotient += 1;
    const uint32_t remainder = s % kSchrageQ;
    uint32_t next = remainder * kSchrageA - static_cast<uint32_t>(quotient) * kSchrageR +
                    kTableStepOffset;
    if (next > kModulus) next += kModulus;
    tableGenerator = next;
    return static_cast<uint16_t>(next);
}

void ConnectionCipher::setKey(int32_t k) {
    if (k == ownKey) {
        // Our own key echoed back: the peer asks for no encryption.
        key = 0;
        return;
    }
    key = k;
    tableGenerator = static_cast<uint32_t>(k);
    for (uint16_t& entry : table) entry = nextTableOutput();
}

void ConnectionCipher::encrypt(uint8_t* packet, uint32_t length) const {
    runChain(key, table, packet, length, Direction::Encrypt);
}

void ConnectionCipher::decrypt(uint8_t* packet, uint32_t length) const {
    runChain(key, table, packet, length, Direction::Decrypt);
}

}  // namespace kelvaro
