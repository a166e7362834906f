#pragma once
// How the fuzz targets read their input: a few leading bytes choose the
// set-up, then a run of records, each one step (a datagram, a clock move, a
// send). A record is a little-endian u16 length, cut to one datagram, and that
// many bytes (fewer at the end of the input). Reading past the end yields
// zeros and empty records, so every input is a valid script.
//
// make_corpus writes its seeds with appendRecord, so they follow the same
// layout.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/udp_endpoint.h"

namespace kelvaro::fuzzing {

class FuzzInput {
public:
    FuzzInput(const uint8_t* bytes, size_t length) : data(bytes), size(length) {}

    bool done() const { return position >= size; }

    uint8_t byte() { return done() ? 0 : data[position++]; }

    uint16_t u16() {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | byte() << 8);
    }

    uint32_t u32() {
        const uint32_t low = u16();
        return low | static_cast<uint32_t>(u16()) << 16;
    }

    // The next record's bytes (a copy: handlers decrypt in place).
    std::vector<uint8_t> record() {
        size_t length = u16() % (static_cast<size_t>(kMaxDatagram) + 1);
        if (length > size - position) length = size - position;
        std::vector<uint8_t> bytes(data + position, data + position + length);
        position += length;
        return bytes;
    }

private:
    const uint8_t* data;
    size_t size;
    size_t position = 0;
};

inline void appendRecord(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
    out.push_back(static_cast<uint8_t>(bytes.size()));
    out.push_back(static_cast<uint8_t>(bytes.size() >> 8));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// Bounds every target's work per input, whatever its length.
constexpr int kMaxSteps = 64;

}  // namespace kelvaro::fuzzing
