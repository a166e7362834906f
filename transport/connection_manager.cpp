#include "transport/connection_manager.h"

#include <random>

namespace kelvaro {

namespace {
constexpr uint16_t kEphemeralPort = 0;

// The hash seed of the answer table: senders must not be able to pick
// addresses that fall into one bucket.
uint64_t unpredictableSeed() {
    std::random_device source;
    return static_cast<uint64_t>(source()) << 32 | source();
}
}  // namespace

ConnectionManager::ConnectionManager(MessageHandler handler, const TransportSettings& values)
    : applicationHandler(std::move(handler)), settings(values) {
    endpoint.open(kEphemeralPort);
}

ConnectionManager::ConnectionManager(uint16_t hostLimit, uint16_t port, MessageHandler handler,
                                     const TransportSettings& values)
    : maxHosts(hostLimit),
      applicationHandler(std::move(handler)),
      settings(values),
      answered(std::make_unique<AnsweredKeyRequests>(unpredictableSeed())) {
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
        Datagram* datagram = endpoint.receive(maxDatagrams - taken);
        if (datagram == nullptr) break;
        ++taken;
        const auto length = static_cast<uint32_t>(datagram->bytes.size());
        Connection* connection = findOrAccept(datagram->source, datagram->bytes.data(), length);
        if (connection == nullptr) continue;
        connection->receive(datagram->bytes.data(), length);
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
    endpoint.flush();
    return taken;
}

Connection* ConnectionManager::find(const NetAddress& source) {
    for (auto* node = connections.head(); node != nullptr; node = node->next)
        if (node->element->matchesAddress(source)) return node->element.get();
    return nullptr;
}

Connection* ConnectionManager::findOrAccept(const NetAddress& source, const uint8_t* bytes,
                                            uint32_t length) {
    if (Connection* known = find(source)) return known;
    if (!answered) return nullptr;  // client mode: strangers are ignored
    const uint32_t now = transportNow();
    int32_t key = 0;
    if (readKeyRequest(bytes, length, key)) {
        answerKeyRequest(source, key, now);
        return nullptr;
    }
    // An answer older than the silence limit is gone, as its connection
    // would have been.
    const AnsweredKeyRequests::Entry* answer = answered->find(source, now, settings.PacketSilenceLimit);
    if (answer == nullptr) return nullptr;
    const int32_t connectionKey = answer->key;
    answered->remove(source);
    if (!hasRoomFor(source)) {
        ++refused;
        return nullptr;
    }
    Connection* connection = connections.append(
        std::make_unique<Connection>(true, source, endpoint, applicationHandler, settings));
    connection->acceptExchangedKey(connectionKey);
    return connection;
}

void ConnectionManager::answerKeyRequest(const NetAddress& source, int32_t key, uint32_t now) {
    if (answered->find(source, now, settings.PacketSilenceLimit) != nullptr) return;  // a repeat
    if (!hasRoomFor(source)) {
        ++refused;
        return;
    }
    // In clear: the peer cannot read anything else before it has the key.
    const std::array<uint8_t, 6> response = keyResponseTo(key);
    endpoint.setDestination(source);
    endpoint.send(response.data(), response.size());
    answered->add(source, ConnectionCipher::negateKey(key), now);
}

// The count includes closed connections not yet freed, so a slot comes back
// only once the walk has freed its connection.
bool ConnectionManager::hasRoomFor(const NetAddress& source) const {
    if (connections.count() >= static_cast<int32_t>(maxHosts)) return false;
    if (settings.MaxHostsPerAddress == 0) return true;
    uint32_t fromAddress = 0;
    for (auto* node = connections.head(); node != nullptr; node = node->next)
        if (node->element->remoteAddress.address() == source.address()) ++fromAddress;
    return fromAddress < settings.MaxHostsPerAddress;
}

// Two connects to one address make two connections; the earlier one then
// takes every datagram from that address.
void ConnectionManager::connect(uint32_t address, uint16_t port) {
    const NetAddress peer(address, port);
    Connection* connection = connections.append(
        std::make_unique<Connection>(false, peer, endpoint, applicationHandler, settings));
    connection->sendKeyRequest();
    endpoint.flush();
}

void ConnectionManager::removeAll() { connections.clear(); }

}  // namespace kelvaro
