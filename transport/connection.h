#pragma once
// One end of a conversation with one remote UDP address in the reliable
// datagram protocol spoken on port 4990: key exchange, XOR-chain cipher,
// numbered reliable packets with acknowledgements, clock synchronisation,
// chunked and stream messages and clusters.
//
// A packet whose first byte is 0 is a core packet whose second byte is its
// CorePacketType; any other packet is an application message whose first byte
// is its type. Every complete packet is dispatched through appHandlers by its
// first byte; entry 0 is the core dispatcher, which looks up coreHandlers by
// the second byte. Handlers check their exact lengths and drop anything else
// silently: nothing in the transport prints.
//
// A Connection is owned by its ConnectionManager, which feeds it datagrams,
// ticks it once per poll and frees it once it is closed. A connection never
// frees itself: disconnect() only marks it closed.

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>

#include "net/udp_endpoint.h"
#include "transport/connection_cipher.h"
#include "transport/transport_settings.h"
#include "util/byte_buffer.h"
#include "util/pointer_list.h"

namespace kelvaro {

class Connection;

enum class CorePacketType : uint8_t {
    KeyRequest = 1,
    KeyResponse = 2,
    Reliable = 3,
    Ack = 4,
    SyncRequest = 5,
    SyncResponse = 6,
    Disconnect = 7,
    ChunkBody = 8,
    ChunkTail = 9,
    StreamChunk = 10,
    Cluster = 14,
};

// One whole received message as a handler sees it. It lives for one dispatch;
// a handler must not keep it (or its bytes) after returning.
struct ReceivedMessage {
    const uint8_t* data = nullptr;  // a private copy of the message, length >= 1
    uint32_t length = 0;
    Connection* connection = nullptr;  // not owned

    uint8_t type() const { return data[0]; }
    uint8_t coreType() const { return length >= 2 ? data[1] : 0; }
};

// An entry of a handler table: the core packet handlers, which reach their
// connection through the message.
using Handler = void (*)(ReceivedMessage& message);

// The handler of the application messages (type 1) a connection's owner takes
// once the key exchange is done, bound to the owner's state. Every connection
// keeps its own copy, taken when the connection is made, so state held by the
// callable itself (say, "this connection has had its answer") is per
// connection and lives exactly as long as the connection.
using MessageHandler = std::function<void(ReceivedMessage& message)>;

// 256 handler entries indexed by a type byte; an empty entry drops the packet.
class HandlerTable {
public:
    void set(uint8_t type, Handler handler) { entries[type] = handler; }
    void clear(uint8_t type) { entries[type] = nullptr; }
    bool isSet(uint8_t type) const { return entries[type] != nullptr; }
    // Calls the entry if there is one. The entry is read before the call, so a
    // handler may change the table while it runs.
    bool dispatch(uint8_t type, ReceivedMessage& message) const {
        const Handler handler = entries[type];
        if (handler == nullptr) return false;
        handler(message);
        return true;
    }

private:
    std::array<Handler, 256> entries{};
};

// One numbered packet held by reliable delivery. Sending side: the whole
// reliable packet, header included; receiving side: the payload alone.
struct ReliablePacket {
    std::unique_ptr<uint8_t[]> data;
    uint32_t length = 0;
    uint32_t sequence = 0;
    uint32_t sentTick = 0;  // transport ticks
    // Sending side, with an opening window only: the connection's count of
    // transmissions at this packet's last one, and how many packets sent
    // after it have been acknowledged since.
    uint32_t transmission = 0;
    uint32_t passedBy = 0;
};

// An owned copy of a run of bytes.
struct ByteBlock {
    std::unique_ptr<uint8_t[]> data;
    uint32_t length = 0;

    static std::unique_ptr<ByteBlock> copyOf(const uint8_t* bytes, uint32_t length);
};

// Hundredths of a second: the 64-bit millisecond count divided by 10, kept to
// 32 bits, so it wraps from 2^32 - 1 to 0 like any unsigned counter.
uint32_t transportNow();

class Connection {
public:
    static constexpr uint32_t kChunkBufferLimit = 5000;
    static constexpr uint32_t kStreamBufferLimit = 1000000;
    static constexpr uint32_t kRoundTripSlots = 32;
    static constexpr uint32_t kEmptySample = 0xFFFFFFFF;
    // An early reliable packet this far or further ahead of nextExpected is
    // dropped unacknowledged (the sender resends it), so a hostile peer cannot
    // make a connection store packets without bound.
    static constexpr uint32_t kMaxEarlyDistance = 256;
    // Every level of nesting a datagram can hold costs it at least three
    // bytes (a cluster's 0, 14 and length byte; a reliable header costs six),
    // so one datagram nests at most kMaxDatagram / 3 + 1 deliveries deep, all
    // of which are followed exactly. Above that, room for our own four levels
    // (datagram, cluster, reliable payload, reassembled message). Only a
    // reassembled message can nest deeper (a megabyte holds some 166,000
    // reliable headers); what lies below this depth is dropped before it can
    // exhaust the stack. A level costs about 1.5 KB of stack in the sanitizer
    // build, so the whole depth stays well under 1 MB.
    static constexpr uint32_t kMaxDatagramNesting = kMaxDatagram / 3 + 1;
    static constexpr uint32_t kMaxDeliveryDepth = kMaxDatagramNesting + 4;
    // Until its peer has shown that it reads what we send, a listening
    // connection sends it at most this many bytes in all: key response,
    // probes, acknowledgements, clock answers, resends and disconnects
    // together. Anyone can forge a key request, a list request and any number
    // of acknowledgements naming another's address, and our sequence numbers
    // start at 0, so an acknowledgement as such shows nothing. What a blind
    // sender cannot know is which packets we sent: see the probes below.
    static constexpr uint32_t kUnprovenByteLimit = 2000;
    // Of that, reliable packets leave only while this much stays free, so an
    // acknowledgement or a clock answer can still go out.
    static constexpr uint32_t kUnprovenControlReserve = 64;
    // The proof: with a reply (before anything else of it, when it is longer
    // than kSmallReplyBytes), the connection sends kProbeCount reliable packets
    // whose numbers it draws at random below kMaxEarlyDistance (so every
    // receiver holds and acknowledges them). A number the reply uses carries
    // that packet of the reply, sent early; a number past the reply carries a
    // one-byte core packet that no handler takes and is never delivered,
    // since a listening connection numbers no more than its one reply. The
    // peer is proven once every probe is acknowledged; an acknowledgement
    // of a number we never sent closes the connection silently, so guessing
    // costs the guesser its connection.
    static constexpr uint32_t kProbeCount = 2;
    // A reply this short leaves in order at once, beside the probes: with
    // one resend of each packet it stays inside the limit.
    static constexpr uint32_t kSmallReplyBytes = (kUnprovenByteLimit - kUnprovenControlReserve) / 2;
    // With an opening window, a packet in transit is resent at once when this
    // many packets sent after it have been acknowledged: the peer acknowledges
    // every packet it gets, so it has almost surely lost this one, and a
    // listening connection, which never measures its round trip, would
    // otherwise wait a whole second. Three leaves room for some reordering.
    static constexpr uint32_t kPassesBeforeResend = 3;

    // applicationHandler takes application message type 1 once the key
    // exchange completes (the list request or the list, per mode); the
    // connection keeps its own copy of it and of settings. Sends nothing: a
    // client-mode connection is started by sendKeyRequest.
    Connection(bool listening, const NetAddress& remoteAddress, UdpEndpoint& endpoint,
               MessageHandler applicationHandler, const TransportSettings& settings = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool matchesAddress(const NetAddress& address) const { return remoteAddress.sameHost(address); }

    // One datagram from the peer; the bytes are decrypted in place.
    void receive(uint8_t* bytes, uint32_t length);
    // Per-tick maintenance: silence limit, resends, retries, cluster flush.
    void tick();

    // Encrypts a copy of the bytes and sends it to the peer.
    void sendRaw(const uint8_t* bytes, uint32_t length);
    // The one way to send a message: splits, numbers, clusters as needed. The
    // caller keeps its bytes. False only when a reliable message was numbered
    // but waits for room in the window; it leaves when an acknowledgement
    // makes room.
    bool send(const uint8_t* bytes, uint32_t length, bool reliable);
    void disconnect(bool notify);
    bool isClosed() const { return closed; }

    void sendKeyRequest();
    void sendSyncRequest();

    // Control-packet actions, called by the core handlers.
    void onKeyRequest(int32_t key);
    void onKeyResponse(int32_t key);
    void onSyncRequest(uint32_t peerTick);
    void onSyncResponse(uint32_t echoedTick, uint32_t peerTick);
    void onDisconnect() { disconnect(false); }
    // The listening side of a key exchange whose key response has already
    // been sent by the manager (which answers key requests from new addresses
    // before it makes a connection for them): takes responseKey and the
    // handlers of a keyed connection, and counts the key request and its
    // response as received and sent, exactly as onKeyRequest leaves them.
    void acceptExchangedKey(int32_t responseKey);

    void dispatchApplication(ReceivedMessage& message);
    void dispatchCore(ReceivedMessage& message);
    // Hands an application message to the owner's handler.
    void dispatchToOwner(ReceivedMessage& message) { applicationHandler(message); }

    // Reliable delivery.
    bool queueReliable(const uint8_t* packet, uint32_t length);
    void onAck(uint32_t sequence);
    // Moves the oldest waiting packet into transit and sends it, when the
    // window and the unproven limit leave room; false when it did not.
    bool promoteWaiting();
    void onReliablePacket(const uint8_t* packet, uint32_t length);  // the type-3 handler
    void sendAck(uint32_t sequence);
    void onReliable(uint32_t sequence, const uint8_t* payload, uint32_t length);
    void resendOverdue();
    void resetRoundTrip();
    uint32_t addRoundTripSample(uint32_t sample);

    // Chunked, stream and clustered messages.
    void transmit(const uint8_t* bytes, uint32_t length);
    void flushClusters();
    void onChunkBody(const uint8_t* piece, uint32_t length);
    void onChunkTail(const uint8_t* piece, uint32_t length);
    void onStreamChunk(uint32_t total, const uint8_t* piece, uint32_t length);
    void onCluster(const uint8_t* content, uint32_t length);
    void deliver(const uint8_t* bytes, uint32_t length);

    // Members in their designed order. Public for the handlers of the layers
    // above and for tests; only the connection itself changes them.
    UdpEndpoint& endpoint;
    NetAddress remoteAddress;
    uint32_t nextExpected = 0;
    PointerList<ReliablePacket> outOfOrder;
    uint32_t nextSequence = 0;
    uint32_t nextTransitSequence = 0;
    PointerList<ReliablePacket> inTransit;
    PointerList<ReliablePacket> waiting;
    HandlerTable appHandlers;
    HandlerTable coreHandlers;
    uint32_t lastReceiveTick = 0;
    bool clustering = false;
    bool keyRequestPending = false;
    uint32_t keyRequestTick = 0;
    bool syncPending = false;
    uint32_t syncTick = 0;
    ByteBuffer chunkBuffer;
    ByteBuffer streamBuffer;
    uint32_t streamTotal = 0;
    PointerList<ByteBlock> clusterQueue;
    ConnectionCipher cipher;
    uint32_t packetsSent = 0;
    uint32_t packetsReceived = 0;
    uint32_t roundTrip = 100;
    uint32_t roundTripDeviation = 0;
    uint32_t roundTripSamples[kRoundTripSlots];
    uint32_t sampleIndex = 0;
    bool closed = false;
    // The minimum population asked for by the list request that a client-mode
    // connection sends once its key exchange completes. The server's own
    // downloads leave it at 0 (every zone); a client that wants fewer sets it
    // right after connect(), before the key response can arrive.
    uint32_t listMinimum = 0;
    // The values this connection runs on, copied when it was made.
    TransportSettings settings;
    // Packets allowed in transit at once: MaxReliableInTransit, or between
    // that and MaxWindow while the window opens and closes.
    uint32_t window = 0;
    // Whether the peer has shown it reads what we send: a client-mode
    // connection's peer is one we chose, so it starts proven.
    bool peerProven = false;
    // Bytes sent while not proven, resends included; at most
    // kUnprovenByteLimit.
    uint32_t unprovenBytes = 0;
    // Drawn by the manager from a secret for every connection it accepts;
    // the probe numbers follow from it.
    uint64_t probeSeed = 0;
    std::array<uint32_t, kProbeCount> probes{};
    bool probesSent = false;
    uint32_t probesAcknowledged = 0;  // a bit per probe
    uint32_t probeTick = 0;
    uint32_t probeRounds = 0;  // resends of the probes so far
    // Set when a reply short enough to need no proof was let out in order.
    bool smallReply = false;
    // When the window was last halved; it halves at most once per time-out,
    // since the packets lost together time out in neighbouring ticks.
    uint32_t windowCutTick = 0;
    bool windowCut = false;
    uint32_t transmissions = 0;  // reliable transmissions so far, to order them

private:
    // The split path of send: a message longer than ChunkSize + 12 bytes
    // leaves as reliable chunk or stream pieces.
    void sendPieces(const uint8_t* bytes, uint32_t length);
    void applyClusterMode();
    // settings.ChunkSize clamped once more at every use, so that no value set
    // by hand can overrun the 520-byte working areas.
    uint32_t chunkSize() const { return clampChunkSize(settings.ChunkSize); }
    void registerHandlers(std::initializer_list<CorePacketType> types);
    // The listening side's state after its key response: one key request
    // answered, the keyed handlers registered, the key taken.
    void takeKey(int32_t responseKey);
    // The window in use: MaxWindow opens one only when it is above
    // MaxReliableInTransit.
    bool windowOpens() const;
    uint32_t sendWindow() const { return windowOpens() ? window : settings.MaxReliableInTransit; }
    // Whether a packet of this length and number may go on the wire now.
    bool mayTransmit(uint32_t length, uint32_t sequence) const;
    bool mayResend(uint32_t length) const;
    void countTransmission(ReliablePacket& record);
    void resendPassedOver(const ReliablePacket& acknowledged);
    // The proof: sends the probes once a reply waits, resends the ones not
    // yet acknowledged at each time-out, and lets a short reply out at once.
    void upkeepProof(uint32_t now);
    void sendProbe(uint32_t index);
    // Takes an acknowledgement while not proven; true when it was consumed.
    bool checkProof(uint32_t sequence);
    void openWindow();
    void narrowWindow(uint32_t now, uint32_t timeout);

    MessageHandler applicationHandler;
    uint32_t deliveryDepth = 0;  // deliveries of this connection now on the stack
};

uint32_t integerSquareRoot(uint32_t x);

// True for a key request as it reaches a port from a new address, in clear:
// exactly 8 bytes starting 0, 1; key is the requester's key.
bool readKeyRequest(const uint8_t* bytes, uint32_t length, int32_t& key);
// The 6-byte key response to a key request carrying key: 0, 2, then the
// negation of key.
std::array<uint8_t, 6> keyResponseTo(int32_t key);

}  // namespace kelvaro
