// The connection itself: construction, the receive and raw send paths, the
// unsplit send path, the handler tables with the core packet handlers, the
// key exchange, clock synchronisation, disconnect and the per-tick upkeep.

#include "transport/connection.h"

#include <array>

#include "platform/tick_clock.h"
#include "transport/core_packet.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

constexpr uint32_t kTicksPerTransportTick = 10;  // transport time is in 1/100 s


constexpr uint32_t kKeyRequestLength = 8;
constexpr uint16_t kKeyRequestMarker = 1;  // sent, never read
constexpr uint32_t kKeyResponseLength = 6;
constexpr uint32_t kKeyResponseWithExtra = 7;  // some peers send a seventh byte
constexpr uint32_t kSyncRequestLength = 14;
constexpr uint32_t kSyncRequestShort = 6;
constexpr uint32_t kSyncResponseLength = 10;
constexpr uint32_t kDisconnectLength = 2;
constexpr uint32_t kAckLength = 6;
constexpr uint32_t kMinChunkPacket = 3;
constexpr uint32_t kMinStreamPacket = 7;
constexpr uint32_t kMinClusterPacket = 6;

// An unanswered key request is repeated after this many round-trip time-outs.
constexpr uint32_t kKeyRetryFactor = 16;

constexpr uint8_t kListRequestType = 1;
constexpr uint32_t kListRequestLength = 5;  // type, minimum population (u32)

// A private copy of a run of bytes: on the stack when it fits a datagram,
// which is nearly always, so that the per-packet paths do not allocate; on
// the heap for a reassembled message longer than that.
class ScratchCopy {
public:
    ScratchCopy(const uint8_t* bytes, uint32_t length) {
        if (length > local.size()) {
            heap = std::make_unique_for_overwrite<uint8_t[]>(length);
            bytes_ = heap.get();
        }
        copyBytes(bytes, bytes_, length);
    }
    ScratchCopy(const ScratchCopy&) = delete;
    ScratchCopy& operator=(const ScratchCopy&) = delete;

    uint8_t* data() { return bytes_; }

private:
    std::array<uint8_t, kMaxDatagram> local;
    std::unique_ptr<uint8_t[]> heap;
    uint8_t* bytes_ = local.data();
};

// The core packet handlers. Each checks the length its packet must have (all
// comparisons unsigned) before reading a field, and drops anything else.

void handleKeyRequest(ReceivedMessage& message) {
    if (message.length != kKeyRequestLength) return;
    message.connection->onKeyRequest(static_cast<int32_t>(readU32(message.data, 2)));
}

void handleKeyResponse(ReceivedMessage& message) {
    if (message.length != kKeyResponseLength && message.length != kKeyResponseWithExtra) return;
    message.connection->onKeyResponse(static_cast<int32_t>(readU32(message.data, 2)));
}

void handleReliable(ReceivedMessage& message) {
    message.connection->onReliablePacket(message.data, message.length);
}

void handleAck(ReceivedMessage& message) {
    if (message.length != kAckLength) return;
    message.connection->onAck(readU32(message.data, 2));
}

// A bare two-byte sync request is accepted and needs no answer.
void handleSyncRequest(ReceivedMessage& message) {
    if (message.length == kSyncRequestShort || message.length == kSyncRequestLength)
        message.connection->onSyncRequest(readU32(message.data, 2));
}

void handleSyncResponse(ReceivedMessage& message) {
    if (message.length != kSyncResponseLength) return;
    message.connection->onSyncResponse(readU32(message.data, 2), readU32(message.data, 6));
}

void handleDisconnect(ReceivedMessage& message) {
    if (message.length != kDisconnectLength) return;
    message.connection->onDisconnect();
}

void handleChunkBody(ReceivedMessage& message) {
    if (message.length < kMinChunkPacket) return;
    message.connection->onChunkBody(message.data + kCoreHeader, message.length - kCoreHeader);
}

void handleChunkTail(ReceivedMessage& message) {
    if (message.length < kMinChunkPacket) return;
    message.connection->onChunkTail(message.data + kCoreHeader, message.length - kCoreHeader);
}

void handleStreamChunk(ReceivedMessage& message) {
    if (message.length < kMinStreamPacket) return;
    message.connection->onStreamChunk(readU32(message.data, 2), message.data + kStreamHeader,
                                      message.length - kStreamHeader);
}

void handleCluster(ReceivedMessage& message) {
    if (message.length < kMinClusterPacket) return;
    message.connection->onCluster(message.data + kCoreHeader, message.length - kCoreHeader);
}

// Application entry 0: every core packet goes on by its second byte.
void handleCorePacket(ReceivedMessage& message) { message.connection->dispatchCore(message); }

// Application entry 1 once the key exchange is done: the owner's handler.
void handleOwnerMessage(ReceivedMessage& message) { message.connection->dispatchToOwner(message); }

struct CoreEntry {
    CorePacketType type;
    Handler handler;
};

constexpr CoreEntry kCoreEntries[] = {
    {CorePacketType::KeyRequest, handleKeyRequest},
    {CorePacketType::KeyResponse, handleKeyResponse},
    {CorePacketType::Reliable, handleReliable},
    {CorePacketType::Ack, handleAck},
    {CorePacketType::SyncRequest, handleSyncRequest},
    {CorePacketType::SyncResponse, handleSyncResponse},
    {CorePacketType::Disconnect, handleDisconnect},
    {CorePacketType::ChunkBody, handleChunkBody},
    {CorePacketType::ChunkTail, handleChunkTail},
    {CorePacketType::StreamChunk, handleStreamChunk},
    {CorePacketType::Cluster, handleCluster},
};

Handler coreHandlerFor(CorePacketType type) {
    for (const CoreEntry& entry : kCoreEntries)
        if (entry.type == type) return entry.handler;
    return nullptr;
}

uint8_t typeByte(CorePacketType type) { return static_cast<uint8_t>(type); }

}  // namespace

// From the 64-bit count: the quotient then wraps cleanly in 32 bits, where
// the 32-bit millisecond counter divided by 10 would jump from 429,496,729
// back to 0 and inflate every interval running across the wrap.
uint32_t transportNow() { return static_cast<uint32_t>(tickCount64() / kTicksPerTransportTick); }

Connection::Connection(bool listening, const NetAddress& remote, UdpEndpoint& socket,
                       MessageHandler application, const TransportSettings& values)
    : endpoint(socket),
      remoteAddress(remote.address(), remote.hostPort()),
      lastReceiveTick(transportNow()),
      settings(values),
      window(values.MaxReliableInTransit),
      applicationHandler(std::move(application)) {
    chunkBuffer.setLimit(kChunkBufferLimit);
    streamBuffer.setLimit(kStreamBufferLimit);
    appHandlers.set(kCore, handleCorePacket);
    // Before the key exchange a listening connection hears only a key request
    // (or a disconnect); a client only the answer to its own, and the peer's
    // clock questions.
    if (listening)
        registerHandlers({CorePacketType::KeyRequest, CorePacketType::Disconnect});
    else
        registerHandlers({CorePacketType::KeyResponse, CorePacketType::SyncRequest,
                          CorePacketType::Disconnect});
    resetRoundTrip();
    peerProven = !listening;
}

// The lists, buffers and queue free their contents; nothing is sent.
Connection::~Connection() = default;

void Connection::registerHandlers(std::initializer_list<CorePacketType> types) {
    for (CorePacketType type : types) coreHandlers.set(typeByte(type), coreHandlerFor(type));
}

void Connection::applyClusterMode() {
    if (settings.ClusterMode) clustering = true;
}

// Every datagram counts and refreshes the silence timer, whether or not a
// handler took it: stray datagrams keep a connection alive.
void Connection::receive(uint8_t* bytes, uint32_t length) {
    cipher.decrypt(bytes, length);
    applyClusterMode();
    deliver(bytes, length);
    ++packetsReceived;
    lastReceiveTick = transportNow();
}

void Connection::deliver(const uint8_t* bytes, uint32_t length) {
    if (length == 0) return;  // a message has at least its type byte
    if (deliveryDepth >= kMaxDeliveryDepth) return;
    // The handler gets its own copy: the bytes may sit in a reassembly buffer
    // that the handler's own traffic could change under it.
    ScratchCopy copy(bytes, length);
    ReceivedMessage message{copy.data(), length, this};
    ++deliveryDepth;
    dispatchApplication(message);
    --deliveryDepth;
}

void Connection::dispatchApplication(ReceivedMessage& message) {
    appHandlers.dispatch(message.type(), message);
}

void Connection::dispatchCore(ReceivedMessage& message) {
    if (message.length < kCoreHeader) return;
    coreHandlers.dispatch(message.data[1], message);
}

void Connection::sendRaw(const uint8_t* bytes, uint32_t length) {
    if (!peerProven) {
        if (length > kUnprovenByteLimit - unprovenBytes) return;  // unprovenBytes never passes it
        unprovenBytes += length;
    }
    ScratchCopy copy(bytes, length);
    cipher.encrypt(copy.data(), length);
    // The endpoint is shared by every connection of a manager: aim it at our
    // peer right before each send.
    endpoint.setDestination(remoteAddress);
    endpoint.send(copy.data(), length);  // a failed send is left to the resends
    ++packetsSent;
}

bool Connection::send(const uint8_t* bytes, uint32_t length, bool reliable) {
    if (length > chunkSize() + kWholeMessageMargin) {
        sendPieces(bytes, length);
        return true;
    }
    if (!reliable) {
        transmit(bytes, length);
        return true;
    }
    // The clamped ChunkSize keeps length + 6 within the area.
    uint8_t packet[kMaxDatagram];
    putHeader(packet, CorePacketType::Reliable);
    writeU32(packet, kSequenceOffset, nextSequence);
    copyBytes(bytes, packet + kReliableHeader, length);
    if (!queueReliable(packet, length + kReliableHeader)) return false;
    transmit(packet, length + kReliableHeader);
    return true;
}

void Connection::transmit(const uint8_t* bytes, uint32_t length) {
    if (clustering) {
        if (std::unique_ptr<ByteBlock> block = ByteBlock::copyOf(bytes, length)) {
            clusterQueue.append(std::move(block));
            return;
        }
    }
    sendRaw(bytes, length);
}

void Connection::disconnect(bool notify) {
    if (notify) {
        uint8_t packet[kDisconnectLength];
        putHeader(packet, CorePacketType::Disconnect);
        // Twice, since nothing acknowledges it.
        sendRaw(packet, kDisconnectLength);
        sendRaw(packet, kDisconnectLength);
    }
    closed = true;
}

void Connection::sendKeyRequest() {
    keyRequestPending = true;
    keyRequestTick = transportNow();
    uint8_t packet[kKeyRequestLength];
    putHeader(packet, CorePacketType::KeyRequest);
    writeU32(packet, 2, static_cast<uint32_t>(cipher.generateKey()));
    writeU16(packet, 6, kKeyRequestMarker);
    sendRaw(packet, kKeyRequestLength);
}

bool readKeyRequest(const uint8_t* bytes, uint32_t length, int32_t& key) {
    if (length != kKeyRequestLength || bytes[0] != kCore ||
        bytes[1] != typeByte(CorePacketType::KeyRequest))
        return false;
    key = static_cast<int32_t>(readU32(bytes, 2));
    return true;
}

std::array<uint8_t, 6> keyResponseTo(int32_t key) {
    static_assert(kKeyResponseLength == 6);
    std::array<uint8_t, 6> packet;
    putHeader(packet.data(), CorePacketType::KeyResponse);
    writeU32(packet.data(), 2, static_cast<uint32_t>(ConnectionCipher::negateKey(key)));
    return packet;
}

void Connection::onKeyRequest(int32_t key) {
    const std::array<uint8_t, 6> response = keyResponseTo(key);
    // Sent before setKey: the client can only read the key in clear.
    sendRaw(response.data(), kKeyResponseLength);
    takeKey(ConnectionCipher::negateKey(key));
}

void Connection::acceptExchangedKey(int32_t responseKey) {
    takeKey(responseKey);
    if (!peerProven) unprovenBytes += kKeyResponseLength;  // the manager's answer counts
    ++packetsSent;
    ++packetsReceived;
}

void Connection::takeKey(int32_t responseKey) {
    coreHandlers.clear(typeByte(CorePacketType::KeyRequest));  // answer one request only
    registerHandlers({CorePacketType::Reliable, CorePacketType::Ack, CorePacketType::SyncRequest,
                      CorePacketType::ChunkBody, CorePacketType::ChunkTail,
                      CorePacketType::StreamChunk, CorePacketType::Cluster});
    cipher.setKey(responseKey);
    appHandlers.set(kListRequestType, handleOwnerMessage);
}

void Connection::onKeyResponse(int32_t key) {
    // Any answer ends the retries, even one we refuse: such a connection stays
    // without a key and ends at the silence limit.
    keyRequestPending = false;
    if (!cipher.accepts(key)) return;
    cipher.setKey(key);
    coreHandlers.clear(typeByte(CorePacketType::SyncRequest));
    coreHandlers.clear(typeByte(CorePacketType::KeyResponse));
    registerHandlers({CorePacketType::Reliable, CorePacketType::Ack, CorePacketType::SyncResponse});
    sendSyncRequest();
    registerHandlers({CorePacketType::ChunkBody, CorePacketType::ChunkTail,
                      CorePacketType::StreamChunk, CorePacketType::Cluster});
    appHandlers.set(kListRequestType, handleOwnerMessage);
    uint8_t request[kListRequestLength];
    request[0] = kListRequestType;
    writeU32(request, 1, listMinimum);
    send(request, kListRequestLength, true);
}

void Connection::sendSyncRequest() {
    syncPending = true;
    syncTick = transportNow();
    uint8_t packet[kSyncRequestLength];
    putHeader(packet, CorePacketType::SyncRequest);
    writeU32(packet, 2, syncTick);
    writeU32(packet, 6, packetsSent);
    writeU32(packet, 10, packetsReceived);
    send(packet, kSyncRequestLength, false);
}

void Connection::onSyncRequest(uint32_t peerTick) {
    uint8_t packet[kSyncResponseLength];
    putHeader(packet, CorePacketType::SyncResponse);
    writeU32(packet, 2, peerTick);
    writeU32(packet, 6, transportNow());
    send(packet, kSyncResponseLength, false);
}

// The peer's own tick is not used: the two clocks share no epoch.
void Connection::onSyncResponse(uint32_t echoedTick, uint32_t /*peerTick*/) {
    roundTrip = transportNow() - echoedTick;
    addRoundTripSample(roundTrip);
    syncPending = false;
}

void Connection::tick() {
    applyClusterMode();
    // The tick goes on after a disconnect: its packets still leave.
    if (transportNow() - lastReceiveTick > settings.PacketSilenceLimit) disconnect(true);
    upkeepProof(transportNow());
    resendOverdue();
    const uint32_t timeout = roundTrip + roundTripDeviation;
    if (keyRequestPending && transportNow() - keyRequestTick > timeout * kKeyRetryFactor)
        sendKeyRequest();
    if (syncPending && transportNow() - syncTick > timeout) sendSyncRequest();
    flushClusters();
}

}  // namespace kelvaro
