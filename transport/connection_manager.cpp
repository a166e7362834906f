#include "transport/connection_manager.h"

#include <random>

#include "util/bytes.h"

namespace kelvaro {

namespace {
constexpr uint16_t kEphemeralPort = 0;

// The hash seed of the answer table: senders must not be able to pick
// addresses that fall into one bucket.
uint64_t unpredictableSeed() {
    std::random_device source;
    return static_cast<uint64_t>(source()) << 32 | source();
}

HashKey unpredictableKey() {
    std::random_device source;
    HashKey key;
    for (size_t i = 0; i < key.size(); i += 4) writeU32(key.data(), static_cast<uint32_t>(i), source());
    return key;
}

// Network order: the first three bytes in memory are the /24.
bool sameBlock(uint32_t address, uint32_t other) {
    const uint32_t mask = htonl(0xFFFFFF00u);
    return (address & mask) == (other & mask);
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
      answered(std::make_unique<AnsweredKeyRequests>(unpredictableSeed())),
      probeKey(unpredictableKey()) {
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
    const Admission admission = admissionOf(source);
    if (!admission.admitted) {
        ++refused;
        return nullptr;
    }
    // Closed silently: its peer, if it reads at all, has not shown it.
    if (admission.evicted != nullptr) {
        connections.removeNode(admission.evicted);
        ++evicted;
    }
    Connection* connection = connections.append(
        std::make_unique<Connection>(true, source, endpoint, applicationHandler, settings));
    uint8_t counter[8];
    writeU32(counter, 0, static_cast<uint32_t>(accepted));
    writeU32(counter, 4, static_cast<uint32_t>(accepted >> 32));
    ++accepted;
    connection->probeSeed = keyedHash(probeKey, counter);
    connection->acceptExchangedKey(connectionKey);
    return connection;
}

void ConnectionManager::answerKeyRequest(const NetAddress& source, int32_t key, uint32_t now) {
    if (answered->find(source, now, settings.PacketSilenceLimit) != nullptr) return;  // a repeat
    if (!admissionOf(source).admitted) {
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
// only once the walk has freed its connection. An unproven connection gives
// way to a newcomer: the oldest one goes, so that each newcomer, honest or
// not, holds its slot for as many arrivals as there are unproven slots, time
// enough to answer its probes; giving way the newest would let the next
// forged arrival push out an honest newcomer before its answer is back.
ConnectionManager::Admission ConnectionManager::admissionOf(const NetAddress& source) const {
    Admission admission;
    if (settings.MaxHostsPerAddress != 0) {
        // The address's own connections, and unproven ones from its /24,
        // which forged addresses fill as easily as one.
        uint32_t counted = 0;
        PointerList<Connection>::Node* oldestUnproven = nullptr;
        for (auto* node = connections.head(); node != nullptr; node = node->next) {
            const Connection& connection = *node->element;
            const uint32_t address = connection.remoteAddress.address();
            const bool unproven = !connection.peerProven;
            if (address != source.address() && !(unproven && sameBlock(address, source.address())))
                continue;
            ++counted;
            if (unproven && !connection.isClosed() && oldestUnproven == nullptr) oldestUnproven = node;
        }
        if (counted >= settings.MaxHostsPerAddress) {
            if (oldestUnproven == nullptr) return admission;
            admission.evicted = oldestUnproven;
        }
    }
    if (admission.evicted == nullptr && connections.count() >= static_cast<int32_t>(maxHosts)) {
        for (auto* node = connections.head(); node != nullptr; node = node->next) {
            if (node->element->peerProven || node->element->isClosed()) continue;
            admission.evicted = node;
            break;
        }
        if (admission.evicted == nullptr) return admission;
    }
    admission.admitted = true;
    return admission;
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
