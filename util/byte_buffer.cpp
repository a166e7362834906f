#include "util/byte_buffer.h"

namespace kelvaro {

void ByteBuffer::append(const uint8_t* source, uint32_t count) {
    const uint64_t newSize = static_cast<uint64_t>(bytes.size()) + count;
    if (newSize > limit_) return;
    // The vector keeps spare capacity, so growth is amortised; what callers
    // observe (size, contents, refusals) is the exact-size behaviour.
    bytes.insert(bytes.end(), source, source + count);
    hasBlock = true;
}

const uint8_t* ByteBuffer::data() const {
    static const uint8_t emptyBlock = 0;  // the block of a zero-byte append
    if (!hasBlock) return nullptr;
    return bytes.empty() ? &emptyBlock : bytes.data();
}

void ByteBuffer::clear() {
    bytes.clear();
    bytes.shrink_to_fit();
    hasBlock = false;
}

}  // namespace kelvaro
