#pragma once
// Two Connections talking over real loopback UDP sockets, with a relay in the
// middle that the test drives by hand:
//
//   client Connection -> relay (client side) -> relay (server side) -> server Connection
//
// Each connection has its own UdpEndpoint on an ephemeral port and believes the
// facing relay socket is its peer. The relay forwards every datagram it
// receives, and can drop, duplicate or hold back (reorder) datagrams as chosen
// by a seeded std::mt19937, so every run replays exactly. It logs every
// datagram with its plain text. A ManualClock drives all time, so resends and
// time-outs happen only when the test moves the clock and ticks.
//
// Nothing moves by itself: pump() forwards and delivers until the network is
// quiet, tickBoth() runs the connections' maintenance as their manager would.
// Only loopback addresses are used, and every loop is bounded.
//
// Application messages (type 1 once the key exchange is done, or whatever
// handler a test installs) reach a MessageRecorder that the pair owns; tests
// may pass their own handlers, and the transport settings of both sides.

#include <arpa/inet.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "transport/connection.h"

namespace kelvaro::testing {

using Bytes = std::vector<uint8_t>;

enum class Side { Client, Server };

inline Side otherSide(Side side) { return side == Side::Client ? Side::Server : Side::Client; }

// Little-endian helpers for building packets in tests.
inline Bytes le32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// 0, type, then the rest.
inline Bytes corePacket(CorePacketType type, const Bytes& rest = {}) {
    return Bytes{0, static_cast<uint8_t>(type)} + rest;
}

inline uint32_t sequenceOf(const Bytes& packet) {
    return packet.size() >= 6 ? static_cast<uint32_t>(packet[2] | packet[3] << 8 | packet[4] << 16 |
                                                      static_cast<uint32_t>(packet[5]) << 24)
                              : 0;
}

// One message that reached an application handler.
struct Delivery {
    const Connection* connection = nullptr;
    Bytes bytes;
};

// Collects what the application handlers receive. Handlers are plain
// functions, so the recorder in use is reached through `current`.
class MessageRecorder {
public:
    MessageRecorder() { current = this; }
    ~MessageRecorder() {
        if (current == this) current = nullptr;
    }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    static void record(ReceivedMessage& message) {
        if (current == nullptr) return;
        current->deliveries.push_back({message.connection, Bytes(message.data, message.data + message.length)});
    }

    std::vector<Bytes> receivedBy(const Connection* connection) const {
        std::vector<Bytes> result;
        for (const Delivery& delivery : deliveries)
            if (delivery.connection == connection) result.push_back(delivery.bytes);
        return result;
    }

    void clear() { deliveries.clear(); }

    std::vector<Delivery> deliveries;
    static inline MessageRecorder* current = nullptr;
};

// Fault rates of one direction of the relay, in thousandths.
struct RelayFaults {
    uint32_t lossPerMille = 0;
    uint32_t duplicatePerMille = 0;
    uint32_t delayPerMille = 0;  // held back 1 to kMaxDelayRounds pump rounds
    bool blocked = false;        // drop everything
};

struct WireRecord {
    Side from = Side::Client;
    Bytes wire;   // as sent, encrypted
    Bytes plain;  // as the receiver's cipher reads it at the time it arrived
    bool dropped = false;
};

class LoopbackPair {
public:
    static constexpr uint32_t kMaxDelayRounds = 3;
    static constexpr int kDefaultPumpRounds = 200;

    struct Options {
        uint32_t seed = 1;
        uint32_t startMs = 1000000;
        MessageHandler serverHandler = MessageRecorder::record;
        MessageHandler clientHandler = MessageRecorder::record;
        TransportSettings settings{};  // both sides
        // The server starts as if its peer had already proven that it reads
        // what it is sent, so that what follows the proof can be tested
        // alone; false runs the proof (see Connection::kProbeCount).
        bool serverProven = true;
        uint64_t probeSeed = 0;
    };

    LoopbackPair() : LoopbackPair(Options{}) {}

    explicit LoopbackPair(const Options& options) : clock(options.startMs), random(options.seed) {
        serverEndpoint.open(0);
        clientEndpoint.open(0);
        relayClientSide.open(0);
        relayServerSide.open(0);
        server = std::make_unique<Connection>(true, loopback(relayServerSide), serverEndpoint,
                                              options.serverHandler, options.settings);
        server->peerProven = options.serverProven;
        server->probeSeed = options.probeSeed;
        client = std::make_unique<Connection>(false, loopback(relayClientSide), clientEndpoint,
                                              options.clientHandler, options.settings);
    }

    static NetAddress loopback(const UdpEndpoint& endpoint) {
        return NetAddress(htonl(INADDR_LOOPBACK), endpoint.localPort());
    }

    Connection& connection(Side side) { return side == Side::Client ? *client : *server; }
    RelayFaults& faults(Side from) { return from == Side::Client ? clientFaults : serverFaults; }

    // The client's first key request and everything that follows from it,
    // until the network is quiet: key response, sync, list request and acks.
    void connect() {
        client->sendKeyRequest();
        pump();
    }

    // Forwards and delivers until every datagram sent has been received and
    // nothing is held back, or until maxRounds have passed.
    int pump(int maxRounds = kDefaultPumpRounds) {
        int round = 0;
        for (; round < maxRounds; ++round) {
            const bool moved = relayRound();
            if (!moved && quiet()) break;
            // Loopback delivery is practically immediate; if a datagram is
            // still on its way, give the kernel a moment rather than spin.
            if (!moved) sleepMs(1);
        }
        return round;
    }

    // One side puts exactly these plain bytes on the wire (encrypted by its
    // cipher, as any packet it sends), and the network runs until quiet.
    void inject(Side from, const Bytes& plain) {
        connection(from).sendRaw(plain.data(), static_cast<uint32_t>(plain.size()));
        pump();
    }

    // One maintenance tick of each open connection, as their manager runs it.
    void tickBoth() {
        if (!client->isClosed()) client->tick();
        if (!server->isClosed()) server->tick();
    }

    // Moves the clock by stepMs, ticks and pumps, steps times.
    void run(int steps, uint32_t stepMs) {
        for (int i = 0; i < steps; ++i) {
            clock.advance(stepMs);
            tickBoth();
            pump();
        }
    }

    // Plain text of the datagrams one side has sent so far, dropped or not.
    std::vector<Bytes> sentBy(Side side) const {
        std::vector<Bytes> result;
        for (const WireRecord& record : wireLog)
            if (record.from == side) result.push_back(record.plain);
        return result;
    }

    // The datagrams of one side whose plain text starts 0, type.
    std::vector<Bytes> coreSentBy(Side side, CorePacketType type) const {
        std::vector<Bytes> result;
        for (const Bytes& packet : sentBy(side))
            if (packet.size() >= 2 && packet[0] == 0 && packet[1] == static_cast<uint8_t>(type))
                result.push_back(packet);
        return result;
    }

    // Declared first: connections read the clock when they are built.
    ManualClock clock;
    MessageRecorder recorder;
    UdpEndpoint serverEndpoint;
    UdpEndpoint clientEndpoint;
    UdpEndpoint relayClientSide;  // the client's peer
    UdpEndpoint relayServerSide;  // the server's peer
    std::unique_ptr<Connection> server;
    std::unique_ptr<Connection> client;
    RelayFaults clientFaults;  // datagrams from the client
    RelayFaults serverFaults;  // datagrams from the server
    std::vector<WireRecord> wireLog;

private:
    struct Held {
        Side from;
        Bytes wire;
        uint32_t roundsLeft;
    };

    static constexpr int kMaxPerPoll = 256;

    // One round: the relay takes what both sides sent, releases what it held
    // long enough, and both connections receive what reached them.
    bool relayRound() {
        bool moved = takeFrom(Side::Client);
        moved |= takeFrom(Side::Server);
        moved |= releaseHeld();
        moved |= deliverTo(serverEndpoint, *server, relayServerSide);
        moved |= deliverTo(clientEndpoint, *client, relayClientSide);
        return moved;
    }

    bool quiet() const {
        return held.empty() && takenFrom[0] == client->packetsSent &&
               takenFrom[1] == server->packetsSent && forwardedTo[0] == receivedBy[0] &&
               forwardedTo[1] == receivedBy[1];
    }

    static int index(Side side) { return side == Side::Client ? 0 : 1; }

    bool takeFrom(Side from) {
        UdpEndpoint& socket = from == Side::Client ? relayClientSide : relayServerSide;
        const UdpEndpoint& sender = from == Side::Client ? clientEndpoint : serverEndpoint;
        bool moved = false;
        for (int i = 0; i < kMaxPerPoll; ++i) {
            std::unique_ptr<Datagram> datagram = socket.poll();
            if (!datagram) break;
            if (!datagram->source.sameHost(loopback(sender))) continue;  // not ours
            ++takenFrom[index(from)];
            moved = true;
            route(from, std::move(datagram->bytes));
        }
        return moved;
    }

    bool chance(uint32_t perMille) { return perMille > 0 && random() % 1000 < perMille; }

    void route(Side from, Bytes wire) {
        const RelayFaults& f = faults(from);
        WireRecord record{from, wire, plainFor(from, wire), false};
        if (f.blocked || chance(f.lossPerMille)) {
            record.dropped = true;
            wireLog.push_back(std::move(record));
            return;
        }
        wireLog.push_back(std::move(record));
        const int copies = chance(f.duplicatePerMille) ? 2 : 1;
        for (int i = 0; i < copies; ++i) {
            if (chance(f.delayPerMille)) {
                held.push_back({from, wire, 1 + static_cast<uint32_t>(random() % kMaxDelayRounds)});
            } else {
                forward(from, wire);
            }
        }
    }

    Bytes plainFor(Side from, Bytes wire) {
        const Connection& receiver = from == Side::Client ? *server : *client;
        receiver.cipher.decrypt(wire.data(), static_cast<uint32_t>(wire.size()));
        return wire;
    }

    void forward(Side from, const Bytes& wire) {
        UdpEndpoint& out = from == Side::Client ? relayServerSide : relayClientSide;
        const UdpEndpoint& target = from == Side::Client ? serverEndpoint : clientEndpoint;
        out.setDestination(loopback(target));
        if (out.send(wire.data(), wire.size())) ++forwardedTo[index(from == Side::Client ? Side::Server : Side::Client)];
    }

    bool releaseHeld() {
        bool moved = false;
        for (auto it = held.begin(); it != held.end();) {
            if (--it->roundsLeft > 0) {
                ++it;
                continue;
            }
            forward(it->from, it->wire);
            it = held.erase(it);
            moved = true;
        }
        return moved;
    }

    bool deliverTo(UdpEndpoint& socket, Connection& connection, const UdpEndpoint& relay) {
        bool moved = false;
        for (int i = 0; i < kMaxPerPoll; ++i) {
            std::unique_ptr<Datagram> datagram = socket.poll();
            if (!datagram) break;
            if (!datagram->source.sameHost(loopback(relay))) continue;
            ++receivedBy[&connection == client.get() ? 0 : 1];
            moved = true;
            connection.receive(datagram->bytes.data(), static_cast<uint32_t>(datagram->bytes.size()));
        }
        return moved;
    }

    std::mt19937 random;
    std::deque<Held> held;
    uint32_t takenFrom[2] = {0, 0};    // by sender
    uint32_t forwardedTo[2] = {0, 0};  // by receiver
    uint32_t receivedBy[2] = {0, 0};   // by receiver
};

}  // namespace kelvaro::testing
