// The game client's side: lists fetched over the reliable transport from one
// or more directories at once, merged by address and port.
//
// Each directory walks its own small state machine, advanced by poll: a
// connection awaiting its list (bounded by the time-out), then, for a list
// that may be full, a count query on the update port (bounded by the shorter
// of the time-out and one second), then, in fetch-all mode, the next list on
// a new connection, until every zone the directory counts has been seen, a
// list brought nothing new, or KELVARO_MAX_FETCH_ALL_LISTS lists have come.

#include <algorithm>
#include <memory>
#include <new>
#include <unordered_set>
#include <vector>

#include "common.h"
#include "list_reader.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "transport/connection.h"
#include "transport/connection_manager.h"

namespace kelvaro::client {
namespace {

// The longest wait for a count reply: the list is already in hand.
constexpr uint32_t kLongestCountWaitMs = 1000;
// Datagrams taken per poll: the transport's, in rounds of kDatagramsPerRound,
// and the count socket's. Enough for a list arriving at full speed, while a
// flood cannot hold a poll for long.
constexpr uint32_t kDatagramsPerRound = 64;
constexpr int kRoundsPerPoll = 8;
constexpr int kCountRepliesPerPoll = 16;
// A list holds at most this many entries (50000 bytes of 79 at least).
constexpr size_t kMostEntriesPerList = kListLimit / kEntryFixedLength + 1;

uint64_t zoneKey(const kelvaro_zone_entry& zone) {
    return static_cast<uint64_t>(zone.address) << 16 | zone.port;
}

enum class Step { List, Count, Finished };

struct DirectoryFetch {
    uint32_t address = 0;
    uint16_t clientPort = KELVARO_CLIENT_PORT;
    uint16_t updatePort = KELVARO_UPDATE_PORT;
    Step step = Step::List;
    kelvaro_status status = KELVARO_PENDING;
    const Connection* connection = nullptr;  // compared only, never read once freed
    bool listed = false;                     // the connection's list has come
    uint32_t stepStartMs = 0;
    uint32_t lists = 0;
    uint32_t zones = 0;
    size_t lastAdded = 0;  // zones new to this directory in its latest list
    size_t lastListLength = 0;
    bool countAsked = false;
    bool countKnown = false;
    uint32_t count = 0;
    uint32_t echo = 0;
    bool full = false;
    std::unordered_set<uint64_t> seen;  // fetch-all only: every zone it listed
};

}  // namespace

class Fetch {
public:
    explicit Fetch(const kelvaro_fetch_options& settled)
        : options(settled), manager([this](ReceivedMessage& message) { onList(message); }) {}
    // A fetch given up on says goodbye too: a directory counts itself busy
    // while any client is connected, and would wait for its silence limit.
    ~Fetch() {
        for (auto* node = manager.connections.head(); node != nullptr; node = node->next)
            if (!node->element->isClosed()) node->element->disconnect(true);
    }
    Fetch(const Fetch&) = delete;
    Fetch& operator=(const Fetch&) = delete;

    kelvaro_status start(const kelvaro_directory* given, size_t count);
    kelvaro_status poll();
    kelvaro_status wait();
    int descriptor() const { return waiter.descriptor(); }
    const std::vector<kelvaro_zone_entry>& zones() const { return merged; }
    bool result(size_t index, kelvaro_directory_result& out) const;

private:
    void connect(DirectoryFetch& directory);
    void onList(ReceivedMessage& message);
    bool merge(DirectoryFetch& directory);
    void readCountReplies();
    void advance(DirectoryFetch& directory, uint32_t now);
    void afterList(DirectoryFetch& directory, uint32_t now);
    void finish(DirectoryFetch& directory, kelvaro_status status);
    bool stillConnected(const Connection* connection) const;
    void refuseAll();

    kelvaro_fetch_options options;
    std::vector<DirectoryFetch> directories;
    std::vector<kelvaro_zone_entry> merged;
    std::unordered_set<uint64_t> mergedKeys;
    std::vector<kelvaro_zone_entry> scratch;  // one list's entries, reused
    UdpEndpoint countEndpoint;
    Waiter waiter;
    uint32_t echoStep = 0;
    bool tooMany = false;
    kelvaro_status outcome = KELVARO_PENDING;
    // Last: its connections hold handlers that reach the members above.
    ConnectionManager manager;
};

kelvaro_status Fetch::start(const kelvaro_directory* given, size_t count) {
    directories.resize(count);
    for (size_t i = 0; i < count; ++i) {
        DirectoryFetch& directory = directories[i];
        if (!parseAddress(given[i].address, directory.address)) return KELVARO_ERR_ARGUMENT;
        if (given[i].client_port != 0) directory.clientPort = given[i].client_port;
        if (given[i].update_port != 0) directory.updatePort = given[i].update_port;
    }
    if (manager.endpoint.localPort() == 0 || countEndpoint.open(0) < 0 ||
        !waiter.watch(manager.endpoint.descriptor()) || !waiter.watch(countEndpoint.descriptor()))
        return KELVARO_ERR_SOCKET;
    scratch.reserve(kMostEntriesPerList);
    merged.reserve(std::min<size_t>(options.max_zones, 1024));
    for (DirectoryFetch& directory : directories) connect(directory);
    return KELVARO_OK;
}

void Fetch::connect(DirectoryFetch& directory) {
    manager.connect(directory.address, directory.clientPort);
    Connection* connection = manager.connections.tail()->element.get();
    // Set before any poll, so before the key response can arrive.
    connection->listMinimum = options.min_population;
    directory.connection = connection;
    directory.listed = false;
    directory.step = Step::List;
    directory.stepStartMs = tickCount();
}

// Runs inside the manager's poll: the connection is only marked closed here,
// the manager frees it in its walk.
void Fetch::onList(ReceivedMessage& message) {
    auto found = std::find_if(directories.begin(), directories.end(), [&](const DirectoryFetch& d) {
        return d.step == Step::List && !d.listed && d.connection == message.connection;
    });
    message.connection->disconnect(true);
    if (found == directories.end() || tooMany) return;
    DirectoryFetch& directory = *found;
    scratch.clear();
    const ListVerdict verdict =
        readList(message.data, message.length, options.max_zones, scratch);
    if (verdict == ListVerdict::Malformed) return finish(directory, KELVARO_ERR_MALFORMED);
    if (verdict == ListVerdict::TooMany || !merge(directory)) return refuseAll();
    directory.listed = true;
    directory.lastListLength = message.length;
    ++directory.lists;
}

// Adds the new zones of scratch; false when the whole would pass max_zones.
bool Fetch::merge(DirectoryFetch& directory) {
    const size_t index = static_cast<size_t>(&directory - directories.data());
    directory.lastAdded = 0;
    for (kelvaro_zone_entry& zone : scratch) {
        const uint64_t key = zoneKey(zone);
        if (options.fetch_all) {
            if (!directory.seen.insert(key).second) continue;
        }
        ++directory.lastAdded;
        if (mergedKeys.count(key) != 0) continue;
        if (merged.size() >= options.max_zones) return false;
        zone.directory = static_cast<uint32_t>(index);
        merged.push_back(zone);
        mergedKeys.insert(key);
    }
    directory.zones = options.fetch_all ? static_cast<uint32_t>(directory.seen.size())
                                        : static_cast<uint32_t>(directory.lastAdded);
    return true;
}

void Fetch::refuseAll() {
    tooMany = true;
    merged.clear();
    mergedKeys.clear();
    for (DirectoryFetch& directory : directories)
        if (directory.step != Step::Finished) finish(directory, KELVARO_ERR_TOO_MANY);
}

void Fetch::finish(DirectoryFetch& directory, kelvaro_status status) {
    if (directory.step == Step::List && stillConnected(directory.connection)) {
        for (auto* node = manager.connections.head(); node != nullptr; node = node->next)
            if (node->element.get() == directory.connection && !node->element->isClosed())
                node->element->disconnect(true);
    }
    directory.step = Step::Finished;
    directory.status = status;
}

bool Fetch::stillConnected(const Connection* connection) const {
    for (auto* node = manager.connections.head(); node != nullptr; node = node->next)
        if (node->element.get() == connection) return !node->element->isClosed();
    return false;
}

void Fetch::readCountReplies() {
    for (int taken = 0; taken < kCountRepliesPerPoll; ++taken) {
        const std::unique_ptr<Datagram> reply = countEndpoint.poll();
        if (reply == nullptr) return;
        for (DirectoryFetch& directory : directories) {
            if (directory.step != Step::Count || directory.countKnown) continue;
            uint32_t count = 0;
            if (readCountReply(reply->data(), reply->bytes.size(), directory.echo, count)) {
                directory.countKnown = true;
                directory.count = count;
            }
        }
    }
}

// A list has come: ask for the count if it may be full and nobody asked yet,
// else judge whether another list is wanted.
void Fetch::afterList(DirectoryFetch& directory, uint32_t now) {
    const bool mayMiss = mayBeFull(directory.lastListLength);
    if (mayMiss && !directory.countAsked) {
        directory.countAsked = true;
        directory.echo = freshEcho(this, echoStep);
        uint8_t query[4];
        writeCountQuery(directory.echo, query);
        countEndpoint.setDestination(directory.address, directory.updatePort);
        countEndpoint.send(query, sizeof query);
        directory.step = Step::Count;
        directory.stepStartMs = now;
        return;
    }
    // The count speaks for a list of every zone only, not one with a minimum.
    const bool counted = options.min_population == 0 && directory.countKnown;
    directory.full = mayMiss && (!counted || directory.zones < directory.count);
    if (!options.fetch_all || !directory.full) return finish(directory, KELVARO_OK);
    if (!counted && directory.lists > 1 && directory.lastAdded == 0)
        return finish(directory, KELVARO_OK);  // gone round once
    if (directory.lists >= KELVARO_MAX_FETCH_ALL_LISTS)
        return finish(directory, counted ? KELVARO_ERR_INCOMPLETE : KELVARO_OK);
    connect(directory);
}

void Fetch::advance(DirectoryFetch& directory, uint32_t now) {
    const uint32_t timeoutMs = options.timeout_ms;
    if (directory.step == Step::List) {
        if (directory.listed) return afterList(directory, now);
        // A later list of fetch all that does not come leaves zones missing.
        const kelvaro_status failed = directory.lists == 0 ? KELVARO_ERR_TIMEOUT
                                                           : KELVARO_ERR_INCOMPLETE;
        if (!stillConnected(directory.connection))
            return finish(directory, directory.lists == 0 ? KELVARO_ERR_CLOSED : failed);
        if (intervalPassed(now, directory.stepStartMs, timeoutMs)) return finish(directory, failed);
    } else if (directory.step == Step::Count) {
        if (directory.countKnown ||
            intervalPassed(now, directory.stepStartMs, std::min(timeoutMs, kLongestCountWaitMs)))
            afterList(directory, now);
    }
}

kelvaro_status Fetch::poll() {
    if (outcome != KELVARO_PENDING) return outcome;
    for (int round = 0; round < kRoundsPerPoll; ++round)
        if (manager.poll(kDatagramsPerRound) < kDatagramsPerRound) break;
    readCountReplies();
    const uint32_t now = tickCount();
    bool pending = false;
    for (DirectoryFetch& directory : directories) {
        if (directory.step != Step::Finished) advance(directory, now);
        pending = pending || directory.step != Step::Finished;
    }
    if (pending) return KELVARO_PENDING;
    outcome = directories.front().status;
    for (const DirectoryFetch& directory : directories)
        if (directory.status == KELVARO_OK) outcome = KELVARO_OK;
    if (tooMany) outcome = KELVARO_ERR_TOO_MANY;
    // Goodbyes go out now rather than at destruction: a directory counts
    // itself busy while any client is connected.
    manager.poll(0);
    return outcome;
}

kelvaro_status Fetch::wait() {
    // Every step of every directory is bounded by the time-out, and there are
    // at most KELVARO_MAX_FETCH_ALL_LISTS lists and one count wait each; the
    // counted bound only guards against a clock that stands still.
    const uint64_t mostWaits =
        (static_cast<uint64_t>(options.timeout_ms) + kLongestCountWaitMs) *
            (KELVARO_MAX_FETCH_ALL_LISTS + 1) * 4 + 1000;
    kelvaro_status status = poll();
    for (uint64_t waits = 0; status == KELVARO_PENDING && waits < mostWaits; ++waits) {
        waiter.wait(1);
        status = poll();
    }
    return status;
}

bool Fetch::result(size_t index, kelvaro_directory_result& out) const {
    if (index >= directories.size()) return false;
    const DirectoryFetch& directory = directories[index];
    out.status = directory.status;
    out.lists = directory.lists;
    out.zones = directory.zones;
    out.count_known = directory.countKnown ? 1 : 0;
    out.count = directory.count;
    out.full = directory.full ? 1 : 0;
    out.list_bytes = static_cast<uint32_t>(directory.lastListLength);
    return true;
}

}  // namespace kelvaro::client

using kelvaro::client::Fetch;

struct kelvaro_fetch {
    Fetch fetch;
    explicit kelvaro_fetch(const kelvaro_fetch_options& options) : fetch(options) {}
};

namespace {

// The caller's options with every default filled in; false when out of range.
bool settle(const kelvaro_fetch_options* given, kelvaro_fetch_options& out) {
    kelvaro_fetch_options_init(&out);
    if (given != nullptr) {
        out = *given;
        if (out.timeout_ms == 0) out.timeout_ms = KELVARO_DEFAULT_TIMEOUT_MS;
        if (out.max_zones == 0) out.max_zones = KELVARO_DEFAULT_MAX_ZONES;
    }
    return out.timeout_ms <= kelvaro::client::kLongestTimeoutMs;
}

}  // namespace

extern "C" {

void kelvaro_fetch_options_init(kelvaro_fetch_options* options) {
    if (options == nullptr) return;
    *options = kelvaro_fetch_options{};
    options->timeout_ms = KELVARO_DEFAULT_TIMEOUT_MS;
    options->max_zones = KELVARO_DEFAULT_MAX_ZONES;
}

kelvaro_status kelvaro_fetch_start(kelvaro_fetch** out, const kelvaro_directory* directories,
                                   size_t count, const kelvaro_fetch_options* options) {
    if (out == nullptr) return KELVARO_ERR_ARGUMENT;
    *out = nullptr;
    kelvaro_fetch_options settled;
    if (directories == nullptr || count == 0 || count > KELVARO_MAX_DIRECTORIES ||
        !settle(options, settled))
        return KELVARO_ERR_ARGUMENT;
    std::unique_ptr<kelvaro_fetch> fetch(new (std::nothrow) kelvaro_fetch(settled));
    if (fetch == nullptr) return KELVARO_ERR_MEMORY;
    const kelvaro_status status = fetch->fetch.start(directories, count);
    if (status != KELVARO_OK) return status;
    *out = fetch.release();
    return KELVARO_OK;
}

kelvaro_status kelvaro_fetch_poll(kelvaro_fetch* fetch) {
    return fetch == nullptr ? KELVARO_ERR_ARGUMENT : fetch->fetch.poll();
}

kelvaro_status kelvaro_fetch_wait(kelvaro_fetch* fetch) {
    return fetch == nullptr ? KELVARO_ERR_ARGUMENT : fetch->fetch.wait();
}

int kelvaro_fetch_fd(const kelvaro_fetch* fetch) {
    return fetch == nullptr ? -1 : fetch->fetch.descriptor();
}

kelvaro_status kelvaro_fetch_zones(const kelvaro_fetch* fetch, const kelvaro_zone_entry** zones,
                                   size_t* count) {
    if (fetch == nullptr || zones == nullptr || count == nullptr) return KELVARO_ERR_ARGUMENT;
    const auto& all = fetch->fetch.zones();
    *zones = all.empty() ? nullptr : all.data();
    *count = all.size();
    return KELVARO_OK;
}

kelvaro_status kelvaro_fetch_result(const kelvaro_fetch* fetch, size_t directory,
                                    kelvaro_directory_result* result) {
    if (fetch == nullptr || result == nullptr || !fetch->fetch.result(directory, *result))
        return KELVARO_ERR_ARGUMENT;
    return KELVARO_OK;
}

void kelvaro_fetch_destroy(kelvaro_fetch* fetch) { delete fetch; }

kelvaro_status kelvaro_fetch_list(const kelvaro_directory* directories, size_t count,
                                  const kelvaro_fetch_options* options, kelvaro_zone_entry** zones,
                                  size_t* zone_count) {
    if (zones == nullptr || zone_count == nullptr) return KELVARO_ERR_ARGUMENT;
    *zones = nullptr;
    *zone_count = 0;
    kelvaro_fetch* fetch = nullptr;
    kelvaro_status status = kelvaro_fetch_start(&fetch, directories, count, options);
    if (status != KELVARO_OK) return status;
    status = fetch->fetch.wait();
    const auto& all = fetch->fetch.zones();
    if (status == KELVARO_OK && !all.empty()) {
        *zones = new (std::nothrow) kelvaro_zone_entry[all.size()];
        if (*zones == nullptr) {
            status = KELVARO_ERR_MEMORY;
        } else {
            std::copy(all.begin(), all.end(), *zones);
            *zone_count = all.size();
        }
    }
    kelvaro_fetch_destroy(fetch);
    return status;
}

void kelvaro_free_zones(kelvaro_zone_entry* zones) { delete[] zones; }

}  // extern "C"
