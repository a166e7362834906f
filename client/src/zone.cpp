// The game server's side: one socket bound to the zone's port + 1 sends the
// updates and count queries and receives the directories' pings and count
// replies, so the game waits on one descriptor.
//
// Every 4-byte datagram is a ping and is answered to its sender with the
// population and the same 4 bytes, whoever sent it: a directory's peers learn
// the zone from its list and ping it too (a zone that ignored them would be
// dropped there), and a directory verifying zones sends a token instead of a
// tick, which must come back byte for byte. An 8-byte datagram is a count
// reply when it echoes our query; anything else is dropped unread.

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "util/bytes.h"
#include "zones/zone_name.h"

namespace kelvaro::client {
namespace {

constexpr size_t kUpdateHeader = 94;  // fixed fields before the description
constexpr size_t kLongestName = KELVARO_MAX_NAME;
constexpr size_t kLongestPassword = KELVARO_MAX_PASSWORD;
// The longest update an endpoint takes is 520 bytes.
constexpr size_t kLongestDescription = KELVARO_MAX_DESCRIPTION;
static_assert(kUpdateHeader + kLongestDescription + 1 == 520);
constexpr uint32_t kDefaultIntervalMs = 10000;
constexpr uint16_t kNoPort = 0;
// Datagrams read per poll: a flood cannot hold the game's loop.
constexpr int kDatagramsPerPoll = 64;

struct ZoneDirectory {
    uint32_t address = 0;
    uint16_t updatePort = KELVARO_UPDATE_PORT;
    // Where its pings come from, learnt from its count replies (they leave
    // from the same socket, and a directory on a host of several addresses
    // may send from another one); until then any ping from its address is its.
    uint32_t pingAddress = 0;
    uint16_t pingPort = kNoPort;
    uint32_t echo = 0;
    bool queried = false;
    kelvaro_zone_directory_state state{};
    uint32_t lastPingMs = 0;
};

// A text the datagram can carry: at most longest bytes, no NUL inside.
bool fits(const char* text, size_t longest, size_t& length) {
    if (text == nullptr) return false;
    length = strnlen(text, longest + 1);
    return length <= longest;
}

}  // namespace

class Zone {
public:
    kelvaro_status open(uint16_t gamePort, bool answersPings);
    kelvaro_status addDirectory(const char* address, uint16_t updatePort, size_t* index);
    kelvaro_status announce();
    kelvaro_status queryCount(size_t index);
    kelvaro_status poll();
    int descriptor() const { return endpoint.descriptor(); }
    bool directoryState(size_t index, kelvaro_zone_directory_state& out) const;

    std::string name, password, description;
    uint16_t population = 0;
    uint16_t flag = 0;
    uint32_t word = 0;
    uint32_t intervalMs = kDefaultIntervalMs;
    kelvaro_ping_callback callback = nullptr;
    void* user = nullptr;

private:
    void encodeUpdate();
    void onDatagram(const Datagram& datagram, uint32_t now);

    uint16_t port = 0;
    bool pings = true;
    UdpEndpoint endpoint;
    std::vector<ZoneDirectory> directories;
    std::vector<uint8_t> update;
    bool announced = false;
    uint32_t lastAnnounceMs = 0;
    uint32_t echoStep = 0;
};

kelvaro_status Zone::open(uint16_t gamePort, bool answersPings) {
    port = gamePort;
    const auto pingPort = static_cast<uint16_t>(answersPings ? gamePort + 1 : 0);
    if (endpoint.open(pingPort) < 0 || endpoint.localPort() == 0 ||
        (answersPings && endpoint.localPort() != pingPort))
        return KELVARO_ERR_SOCKET;
    pings = answersPings;
    update.reserve(520);
    return KELVARO_OK;
}

kelvaro_status Zone::addDirectory(const char* address, uint16_t updatePort, size_t* index) {
    ZoneDirectory directory;
    if (!parseAddress(address, directory.address) || directories.size() >= KELVARO_MAX_DIRECTORIES)
        return KELVARO_ERR_ARGUMENT;
    if (updatePort != 0) directory.updatePort = updatePort;
    directories.push_back(directory);
    if (index != nullptr) *index = directories.size() - 1;
    return KELVARO_OK;
}

// The update as the directory checks it: header 0, port, population, flag,
// word, the name and password fields NUL-padded, 32 reserved zeros, then the
// description and its NUL.
void Zone::encodeUpdate() {
    update.assign(kUpdateHeader + description.size() + 1, 0);
    writeU16(update.data(), 4, port);
    writeU16(update.data(), 6, population);
    writeU16(update.data(), 8, flag);
    writeU32(update.data(), 10, word);
    std::memcpy(update.data() + 14, name.data(), name.size());
    std::memcpy(update.data() + 46, password.data(), password.size());
    std::memcpy(update.data() + kUpdateHeader, description.data(), description.size());
}

kelvaro_status Zone::announce() {
    if (name.empty() || directories.empty()) return KELVARO_ERR_STATE;
    encodeUpdate();
    kelvaro_status status = KELVARO_OK;
    for (ZoneDirectory& directory : directories) {
        endpoint.setDestination(directory.address, directory.updatePort);
        if (!endpoint.send(update.data(), update.size())) {
            status = KELVARO_ERR_SOCKET;
            continue;
        }
        ++directory.state.updates_sent;
    }
    announced = true;
    lastAnnounceMs = tickCount();
    return status;
}

kelvaro_status Zone::queryCount(size_t index) {
    if (index >= directories.size()) return KELVARO_ERR_ARGUMENT;
    ZoneDirectory& directory = directories[index];
    directory.echo = freshEcho(this, echoStep);
    directory.queried = true;
    uint8_t query[4];
    writeCountQuery(directory.echo, query);
    endpoint.setDestination(directory.address, directory.updatePort);
    return endpoint.send(query, sizeof query) ? KELVARO_OK : KELVARO_ERR_SOCKET;
}

void Zone::onDatagram(const Datagram& datagram, uint32_t now) {
    const uint32_t from = datagram.source.address();
    const uint16_t fromPort = datagram.source.hostPort();
    if (datagram.bytes.size() == 4 && pings) {
        uint8_t reply[8];
        writeU32(reply, 0, population);
        std::memcpy(reply + 4, datagram.data(), 4);
        endpoint.setDestination(datagram.source);
        endpoint.send(reply, sizeof reply);
        for (ZoneDirectory& directory : directories) {
            const bool learnt = directory.pingPort != kNoPort;
            if (learnt ? directory.pingAddress != from || directory.pingPort != fromPort
                       : directory.address != from)
                continue;
            ++directory.state.pings;
            directory.state.pinged = 1;
            directory.lastPingMs = now;
        }
        if (callback != nullptr) callback(user, from, fromPort);
        return;
    }
    uint32_t count = 0;
    for (ZoneDirectory& directory : directories)
        if (directory.queried &&
            readCountReply(datagram.data(), datagram.bytes.size(), directory.echo, count)) {
            directory.state.count_known = 1;
            directory.state.count = count;
            ++directory.state.count_replies;
            directory.pingAddress = from;
            directory.pingPort = fromPort;
            directory.queried = false;
        }
}

kelvaro_status Zone::poll() {
    uint32_t now = tickCount();
    for (int taken = 0; taken < kDatagramsPerPoll; ++taken) {
        const std::unique_ptr<Datagram> datagram = endpoint.poll();
        if (datagram == nullptr) break;
        onDatagram(*datagram, now);
    }
    now = tickCount();
    if (intervalMs != 0 && !name.empty() && !directories.empty() &&
        (!announced || elapsedMs(now, lastAnnounceMs) >= intervalMs)) {
        const kelvaro_status status = announce();
        for (size_t i = 0; i < directories.size(); ++i) queryCount(i);
        return status;
    }
    return KELVARO_OK;
}

bool Zone::directoryState(size_t index, kelvaro_zone_directory_state& out) const {
    if (index >= directories.size()) return false;
    const ZoneDirectory& directory = directories[index];
    out = directory.state;
    out.ms_since_ping = directory.state.pinged ? elapsedMs(tickCount(), directory.lastPingMs) : 0;
    return true;
}

}  // namespace kelvaro::client

using kelvaro::client::fits;
using kelvaro::client::Zone;

struct kelvaro_zone {
    Zone zone;
};

extern "C" {

kelvaro_status kelvaro_zone_create(kelvaro_zone** out, uint16_t port, unsigned flags) {
    if (out == nullptr) return KELVARO_ERR_ARGUMENT;
    *out = nullptr;
    const bool answersPings = (flags & KELVARO_ZONE_NO_PINGS) == 0;
    if (port == 0 || (answersPings && port == UINT16_MAX) || (flags & ~KELVARO_ZONE_NO_PINGS) != 0)
        return KELVARO_ERR_ARGUMENT;
    std::unique_ptr<kelvaro_zone> zone(new (std::nothrow) kelvaro_zone);
    if (zone == nullptr) return KELVARO_ERR_MEMORY;
    const kelvaro_status status = zone->zone.open(port, answersPings);
    if (status != KELVARO_OK) return status;
    *out = zone.release();
    return KELVARO_OK;
}

void kelvaro_zone_destroy(kelvaro_zone* zone) { delete zone; }

kelvaro_status kelvaro_zone_add_directory(kelvaro_zone* zone, const char* address,
                                          uint16_t update_port, size_t* index) {
    return zone == nullptr ? KELVARO_ERR_ARGUMENT
                           : zone->zone.addDirectory(address, update_port, index);
}

kelvaro_status kelvaro_check_zone_name(const char* name) {
    size_t length = 0;
    if (!fits(name, kelvaro::client::kLongestName, length) || length == 0 ||
        !kelvaro::isValidZoneName(std::string_view(name, length)))
        return KELVARO_ERR_ARGUMENT;
    return KELVARO_OK;
}

kelvaro_status kelvaro_zone_set_name(kelvaro_zone* zone, const char* name) {
    if (zone == nullptr || kelvaro_check_zone_name(name) != KELVARO_OK) return KELVARO_ERR_ARGUMENT;
    zone->zone.name.assign(name);
    return KELVARO_OK;
}

kelvaro_status kelvaro_zone_set_password(kelvaro_zone* zone, const char* password) {
    size_t length = 0;
    if (zone == nullptr || !fits(password, kelvaro::client::kLongestPassword, length))
        return KELVARO_ERR_ARGUMENT;
    zone->zone.password.assign(password, length);
    return KELVARO_OK;
}

kelvaro_status kelvaro_zone_set_description(kelvaro_zone* zone, const char* description) {
    size_t length = 0;
    if (zone == nullptr || !fits(description, kelvaro::client::kLongestDescription, length))
        return KELVARO_ERR_ARGUMENT;
    zone->zone.description.assign(description, length);
    return KELVARO_OK;
}

kelvaro_status kelvaro_zone_set_population(kelvaro_zone* zone, uint16_t population) {
    if (zone == nullptr) return KELVARO_ERR_ARGUMENT;
    zone->zone.population = population;
    return KELVARO_OK;
}

kelvaro_status kelvaro_zone_set_flag(kelvaro_zone* zone, uint16_t flag) {
    if (zone == nullptr || flag > 1) return KELVARO_ERR_ARGUMENT;
    zone->zone.flag = flag;
    return KELVARO_OK;
}

kelvaro_status kelvaro_zone_set_word(kelvaro_zone* zone, uint32_t word) {
    if (zone == nullptr) return KELVARO_ERR_ARGUMENT;
    zone->zone.word = word;
    return KELVARO_OK;
}

kelvaro_status kelvaro_zone_set_interval(kelvaro_zone* zone, uint32_t interval_ms) {
    if (zone == nullptr || interval_ms > kelvaro::client::kLongestTimeoutMs)
        return KELVARO_ERR_ARGUMENT;
    zone->zone.intervalMs = interval_ms;
    return KELVARO_OK;
}

kelvaro_status kelvaro_zone_set_ping_callback(kelvaro_zone* zone, kelvaro_ping_callback callback,
                                              void* user) {
    if (zone == nullptr) return KELVARO_ERR_ARGUMENT;
    zone->zone.callback = callback;
    zone->zone.user = user;
    return KELVARO_OK;
}

kelvaro_status kelvaro_zone_announce(kelvaro_zone* zone) {
    return zone == nullptr ? KELVARO_ERR_ARGUMENT : zone->zone.announce();
}

kelvaro_status kelvaro_zone_query_count(kelvaro_zone* zone, size_t index) {
    return zone == nullptr ? KELVARO_ERR_ARGUMENT : zone->zone.queryCount(index);
}

kelvaro_status kelvaro_zone_poll(kelvaro_zone* zone) {
    return zone == nullptr ? KELVARO_ERR_ARGUMENT : zone->zone.poll();
}

int kelvaro_zone_fd(const kelvaro_zone* zone) {
    return zone == nullptr ? -1 : zone->zone.descriptor();
}

kelvaro_status kelvaro_zone_directory(const kelvaro_zone* zone, size_t index,
                                      kelvaro_zone_directory_state* state) {
    if (zone == nullptr || state == nullptr || !zone->zone.directoryState(index, *state))
        return KELVARO_ERR_ARGUMENT;
    return KELVARO_OK;
}

}  // extern "C"
