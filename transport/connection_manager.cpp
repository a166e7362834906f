#include "transport/connection_manager.h"

namespace kelvaro {

namespace {
constexpr uint16_t kEphemeralPort = 0;
}  // namespace

ConnectionManager::ConnectionManager(MessageHandler handler, const TransportSettings& values)
    : applicationHandler(std::move(handler)), settings(values) {
    endpoint.open(kEphemeralPort);
}

ConnectionManager::ConnectionManager(uint16_t hostLimit, uint16_t port, MessageHandler handler,
                                     const TransportSettings& values)
    : maxHosts(hostLimit), listening(true), applicationHandler(std::move(handler)), settings(values) {
    // A failure to open is reported by the endpoint; the manager then simply
    // never receives anything.
    endpoint.open(port);
}

// Members are destroyed in reverse order: the endpoint closes before the
// connections that hold references to it are freed. Their destructors send
// nothing, so the closed socket is never used.
ConnectionManager::~ConnectionManager() = default;

uint32_t ConnectionManager::poll(uint32_t maxDatagrams) {
    uint32_t taken = 0;
    while (taken < maxDatagrams) {
        std::unique_ptr<Datagram> datagram = endpoint.poll();
        if (!datagram) break;
        ++taken;
        Connection* connection = findOrAccept(datagram->source);
        if (connection == nullptr) continue;
        connection->receive(datagram->bytes.data(), static_cast<uint32_t>(datagram->bytes.size()));
        if (connection->isClosed()) break;
    }
    // A connection closed by the datagram above is freed here without a tick,
    // so whatever it queued for the cluster flush goes with it.
    for (auto* node = connections.head(); node != nullptr;) {
        auto* following = node->next;
        if (node->element->isClosed())
            connections.removeNode(node);
        else
            node->element->tick();
        node = following;
    }
    return taken;
}

Connection* ConnectionManager::findOrAccept(const NetAddress& source) {
    for (auto* node = connections.head(); node != nullptr; node = node->next)
        if (node->element->matchesAddress(source)) return node->element.get();
    // The count includes closed connections not yet freed, so a slot comes
    // back only once the walk has freed its connection. In client mode
    // (maxHosts 0) nobody is ever admitted this way.
    if (connections.count() >= static_cast<int32_t>(maxHosts)) {
        if (listening) ++refused;
        return nullptr;
    }
    return connections.append(
        std::make_unique<Connection>(true, source, endpoint, applicationHandler, settings));
}

// Two connects to one address make two connections; the earlier one then
// takes every datagram from that address.
void ConnectionManager::connect(uint32_t address, uint16_t port) {
    const NetAddress peer(address, port);
    Connection* connection = connections.append(
        std::make_unique<Connection>(false, peer, endpoint, applicationHandler, settings));
    connection->sendKeyRequest();
}

void ConnectionManager::removeAll() { connections.clear(); }

}  // namespace kelvaro
