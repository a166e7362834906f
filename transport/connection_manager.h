#pragma once
// The owner of one UdpEndpoint and of the Connections that talk through it.
// A client-mode manager only holds the connections opened by connect() and
// ignores every other sender.
//
// A listening manager answers a key request from a new address itself, from
// a bounded table of answers (AnsweredKeyRequests), and makes a connection
// only when that address sends its next packet that is not a key request: so
// a flood of key requests, forged or not, takes no connection slot. A repeated
// key request takes nothing. Any other datagram from an address that holds
// neither a connection nor an answer makes nothing and draws nothing. The
// connection then counts against maxHosts and, when it is set, against
// MaxHostsPerAddress (connections from one IPv4 address, any port, and
// connections from its /24 whose peer has not yet proven that it reads what
// it is sent, see Connection::kProbeCount). When a limit is reached, the
// oldest unproven connection that counts against it is closed silently to
// make room (evictedCount()); while only proven connections fill it, key
// requests go unanswered and answered addresses get no connection, and each
// such refusal counts in refusedCount().
//
// Each poll takes up to maxDatagrams datagrams (one by default), hands each to
// its connection, then walks the list once: closed connections are freed
// there, every other one is ticked. When the endpoint queues its sends, poll()
// and connect() flush it before they return; a send made elsewhere waits for
// the owner's next flush or poll.

#include <cstdint>
#include <memory>

#include "net/udp_endpoint.h"
#include "transport/answered_key_requests.h"
#include "transport/connection.h"
#include "util/keyed_hash.h"
#include "util/pointer_list.h"

namespace kelvaro {

// Every connection the manager makes gets a copy of the manager's settings and
// of its application handler (so a handler's own state is per connection).
class ConnectionManager {
public:
    // Client mode on an ephemeral port.
    explicit ConnectionManager(MessageHandler applicationHandler,
                               const TransportSettings& settings = {});
    // Listening mode on the given port.
    ConnectionManager(uint16_t maxHosts, uint16_t port, MessageHandler applicationHandler,
                      const TransportSettings& settings = {});
    ~ConnectionManager();
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    // Returns how many datagrams it took. A datagram that closes its
    // connection ends the taking, so the walk frees that connection before
    // its address is heard again, as with one datagram per poll.
    uint32_t poll(uint32_t maxDatagrams = 1);
    // Opens a client-mode connection to address (network order):port and sends
    // its first key request at once.
    void connect(uint32_t address, uint16_t port);
    int32_t connectionCount() const { return connections.count(); }
    // Frees every connection without sending anything to the peers.
    void removeAll();

    // The connection of source if it has one; else, in listening mode, the
    // new connection that the datagram of source opens, or nullptr. A key
    // request is answered here and returns nullptr.
    Connection* findOrAccept(const NetAddress& source, const uint8_t* bytes, uint32_t length);
    // Would-be connections refused because MaxHosts or MaxHostsPerAddress
    // was reached: key requests left unanswered, and answered addresses whose
    // next packet found no room.
    uint64_t refusedCount() const { return refused; }
    // Key requests answered and not yet followed by another packet; 0 in
    // client mode.
    uint32_t answeredKeyRequests() const { return answered ? answered->count() : 0; }
    // Unproven connections closed to make room for a newcomer.
    uint64_t evictedCount() const { return evicted; }

    // Settings for the connections made from now on (and for the key-request
    // table); a connection keeps the copy it was made with.
    void setSettings(const TransportSettings& values) { settings = values; }

    PointerList<Connection> connections;
    uint16_t maxHosts = 0;
    UdpEndpoint endpoint;

private:
    Connection* find(const NetAddress& source);
    void answerKeyRequest(const NetAddress& source, int32_t key, uint32_t now);
    // Whether source may have a connection now, and which unproven
    // connection must be closed first to make room for it, if any.
    struct Admission {
        bool admitted = false;
        PointerList<Connection>::Node* evicted = nullptr;
    };
    Admission admissionOf(const NetAddress& source) const;

    MessageHandler applicationHandler;
    TransportSettings settings;
    std::unique_ptr<AnsweredKeyRequests> answered;  // listening mode only
    uint64_t refused = 0;
    uint64_t evicted = 0;
    // The secret the probe numbers of accepted connections are drawn from,
    // with a count of connections accepted.
    HashKey probeKey{};
    uint64_t accepted = 0;
};

}  // namespace kelvaro
