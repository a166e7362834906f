#pragma once
// A byte block that grows as bytes are appended, up to a limit. An append that
// would take the buffer past its limit is refused whole and silently, so a
// message assembled piece by piece never exceeds what its reader accepts.

#include <cstdint>
#include <vector>

namespace kelvaro {

class ByteBuffer {
public:
    static constexpr uint32_t kDefaultLimit = 1000;

    ByteBuffer() = default;

    void setLimit(uint32_t newLimit) { limit_ = newLimit; }
    uint32_t limit() const { return limit_; }

    // Adds count bytes at the end, or nothing when size + count > limit.
    // An accepted append of 0 bytes still leaves the buffer holding a block.
    void append(const uint8_t* bytes, uint32_t count);

    // Frees the bytes; the limit stays.
    void clear();

    // nullptr before the first accepted append and after clear().
    const uint8_t* data() const;
    uint32_t size() const { return static_cast<uint32_t>(bytes.size()); }

private:
    uint32_t limit_ = kDefaultLimit;
    std::vector<uint8_t> bytes;
    bool hasBlock = false;
};

}  // namespace kelvaro
