// The split send path, the cluster flush, and the reassembly of chunked,
// stream and clustered messages on the receiving side.

#include <array>

#include "transport/connection.h"
#include "transport/core_packet.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

constexpr uint32_t kLongestChunkedMessage = 1000;  // longer messages stream
constexpr uint32_t kClusterableLength = 255;       // one length byte

// How many reassembled messages are being delivered right now. A reassembled
// message is always an application message in this protocol; if one turns
// out to hold chunk or stream pieces (at any depth, e.g. a cluster of them),
// those pieces would feed the very buffer being delivered and could recurse
// without end. Pieces are therefore refused while this is above zero. The
// transport runs on one thread, and a handler never makes another connection
// receive, so one counter serves every connection.
uint32_t reassembledDeliveries = 0;

class ReassembledDelivery {
public:
    ReassembledDelivery() { ++reassembledDeliveries; }
    ~ReassembledDelivery() { --reassembledDeliveries; }
    ReassembledDelivery(const ReassembledDelivery&) = delete;
    ReassembledDelivery& operator=(const ReassembledDelivery&) = delete;
};

bool insideReassembledDelivery() { return reassembledDeliveries > 0; }

}  // namespace

std::unique_ptr<ByteBlock> ByteBlock::copyOf(const uint8_t* bytes, uint32_t length) {
    auto block = std::make_unique<ByteBlock>();
    block->data = std::make_unique_for_overwrite<uint8_t[]>(length);
    block->length = length;
    copyBytes(bytes, block->data.get(), length);
    return block;
}

// Every piece goes reliably, whatever the caller asked: the receiver has no
// offsets or piece numbers, so pieces must arrive once and in order.
void Connection::sendPieces(const uint8_t* bytes, uint32_t length) {
    const uint32_t pieceSize = chunkSize();
    std::array<uint8_t, kMaxDatagram> piece;
    if (length <= kLongestChunkedMessage) {
        const uint32_t bodySize = pieceSize + 4;
        for (uint32_t offset = 0; offset < length; offset += bodySize) {
            const uint32_t rest = length - offset;
            const bool tail = rest <= bodySize;
            const uint32_t n = tail ? rest : bodySize;
            putHeader(piece.data(), tail ? CorePacketType::ChunkTail : CorePacketType::ChunkBody);
            copyBytes(bytes + offset, piece.data() + kCoreHeader, n);
            send(piece.data(), n + kCoreHeader, true);
        }
        return;
    }
    // Stepping by rest rather than by offset keeps a message near 4 GiB from
    // wrapping the offset.
    uint32_t offset = 0;
    for (uint32_t rest = length; rest > 0;) {
        const uint32_t n = rest > pieceSize ? pieceSize : rest;
        putHeader(piece.data(), CorePacketType::StreamChunk);
        writeU32(piece.data(), kCoreHeader, length);
        copyBytes(bytes + offset, piece.data() + kStreamHeader, n);
        send(piece.data(), n + kStreamHeader, true);
        offset += n;
        rest -= n;
    }
}

namespace {

// A cluster under construction in a 520-byte working area: 0, 14, then length
// byte and bytes of each packet. It never grows past ChunkSize + 13 bytes.
class ClusterBuilder {
public:
    explicit ClusterBuilder(Connection& owner) : connection(owner) { reset(); }

    uint32_t length() const { return used; }

    void add(const uint8_t* bytes, uint32_t count) {
        area[used] = static_cast<uint8_t>(count);
        copyBytes(bytes, area.data() + used + 1, count);
        used += 1 + count;
        ++packets;
    }

    // One packet leaves as itself: a cluster of one would only cost 3 bytes.
    void close() {
        if (packets == 1) {
            const uint32_t firstLength = area[kCoreHeader];
            connection.sendRaw(area.data() + kCoreHeader + 1, firstLength);
        } else if (packets > 1) {
            connection.sendRaw(area.data(), used);
        }
        reset();
    }

private:
    void reset() {
        putHeader(area.data(), CorePacketType::Cluster);
        used = kCoreHeader;
        packets = 0;
    }

    Connection& connection;
    std::array<uint8_t, kMaxDatagram> area;
    uint32_t used = 0;
    uint32_t packets = 0;
};

}  // namespace

void Connection::flushClusters() {
    clustering = false;
    const uint32_t limit = chunkSize() + kWholeMessageMargin;  // the length byte not counted
    ClusterBuilder cluster(*this);
    for (auto* node = clusterQueue.head(); node != nullptr; node = node->next) {
        const ByteBlock& packet = *node->element;
        // An empty packet has nothing to carry, and as a sub-message its zero
        // length byte would end the peer's unpacking of the whole cluster.
        if (packet.length == 0) continue;
        if (packet.length > kClusterableLength) {
            sendRaw(packet.data.get(), packet.length);
            continue;
        }
        if (cluster.length() + packet.length > limit) {
            cluster.close();
            if (kCoreHeader + packet.length > limit) {
                sendRaw(packet.data.get(), packet.length);
                continue;
            }
        }
        cluster.add(packet.data.get(), packet.length);
    }
    cluster.close();
    clusterQueue.clear();
}

void Connection::onChunkBody(const uint8_t* piece, uint32_t length) {
    if (insideReassembledDelivery()) return;
    chunkBuffer.append(piece, length);
}

// The tail always ends the message, whatever was gathered; a piece refused by
// the limit is simply missing from what is delivered.
void Connection::onChunkTail(const uint8_t* piece, uint32_t length) {
    if (insideReassembledDelivery()) return;
    chunkBuffer.append(piece, length);
    if (chunkBuffer.size() > 0) {
        ReassembledDelivery guard;
        deliver(chunkBuffer.data(), chunkBuffer.size());
    }
    chunkBuffer.clear();
}

void Connection::onStreamChunk(uint32_t total, const uint8_t* piece, uint32_t length) {
    if (insideReassembledDelivery()) return;
    if (streamTotal != total) {
        // A piece of another message: what was gathered can never complete.
        streamBuffer.clear();
        streamTotal = total;
    }
    streamBuffer.append(piece, length);
    if (streamBuffer.size() == total) {
        if (streamBuffer.size() > 0) {
            ReassembledDelivery guard;
            deliver(streamBuffer.data(), streamBuffer.size());
        }
        streamBuffer.clear();
        streamTotal = 0;
    } else if (streamBuffer.size() > total) {
        streamBuffer.clear();
        streamTotal = 0;
    }
}

// Sub-messages delivered before a bad length byte stay delivered.
void Connection::onCluster(const uint8_t* content, uint32_t length) {
    uint32_t position = 0;
    while (position < length) {
        const uint32_t subLength = content[position];
        ++position;
        if (subLength == 0 || subLength > length - position) return;
        deliver(content + position, subLength);
        position += subLength;
    }
}

}  // namespace kelvaro
