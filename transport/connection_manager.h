#pragma once
// The owner of one UdpEndpoint and of the Connections that talk through it.
// A listening manager admits a connection for each new source address while
// it holds fewer than maxHosts; a client-mode manager (maxHosts 0) only holds
// the connections opened by connect() and ignores every other sender.
//
// Each poll takes up to maxDatagrams datagrams (one by default), hands each to
// its connection, then walks the list once: closed connections are freed
// there, every other one is ticked.

#include <cstdint>

#include "net/udp_endpoint.h"
#include "transport/connection.h"
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

    // A new source that a listening manager turns away because it already
    // holds maxHosts connections is counted (once per datagram) in
    // refusedCount(); a client-mode manager ignores strangers uncounted.
    Connection* findOrAccept(const NetAddress& source);
    // Datagrams from would-be connections refused because maxHosts was reached.
    uint64_t refusedCount() const { return refused; }

    PointerList<Connection> connections;
    uint16_t maxHosts = 0;
    UdpEndpoint endpoint;

private:
    bool listening = false;
    uint64_t refused = 0;
    MessageHandler applicationHandler;
    TransportSettings settings;
};

}  // namespace kelvaro
