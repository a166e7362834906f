#pragma once
// A lossy path between one client and one server, for tests and benchmarks:
// a UDP relay that delays, drops and reorders datagrams, each direction on its
// own terms, drawing every choice from a seeded std::mt19937 so that a run
// replays exactly.
//
//   client --> relay front (port()) -- delay, loss --> relay back --> server
//   client <-- relay front <-- delay, loss --------- relay back <-- server
//
// The client sends to port() on a loopback address; the relay learns the
// client's address from its first datagram and forwards everything to the
// server from its back socket, so the server sees one peer. Each datagram is
// held for delayMs plus a uniform 0..jitterMs and released in order of its
// due time, so jitter lets a later datagram overtake an earlier one, as on a
// real path. Time is tickCount(): the system's, or a ManualClock's when a
// test holds one.
//
// Nothing runs by itself: pump() takes what has arrived and sends what is
// due, and never blocks. Every datagram taken, dropped or forwarded is shown
// to an optional observer, which is how tests read what crosses the path.

#include <cstdint>
#include <functional>
#include <optional>
#include <queue>
#include <random>
#include <vector>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"

namespace kelvaro::testing_support {

struct PathTerms {
    uint32_t delayMs = 0;
    uint32_t jitterMs = 0;      // added to each datagram's delay: 0..jitterMs
    uint32_t lossPerMille = 0;  // datagrams dropped, in thousandths
};

enum class Toward { Server, Client };
enum class RelayEvent { Taken, Dropped, Forwarded };

class LossyRelay {
public:
    using Observer = std::function<void(Toward, RelayEvent, const std::vector<uint8_t>&)>;

    // Takes at most this many datagrams from each socket per pump, so one
    // pump stays short whatever arrives.
    static constexpr int kMaxTakenPerPump = 1024;

    LossyRelay(const NetAddress& serverAddress, PathTerms toServer, PathTerms toClient,
               uint32_t seed)
        : server(serverAddress), terms{toServer, toClient}, random(seed) {
        front.open(0);
        back.open(0);
    }
    LossyRelay(const LossyRelay&) = delete;
    LossyRelay& operator=(const LossyRelay&) = delete;

    uint16_t port() const { return front.localPort(); }
    void observe(Observer observer) { watcher = std::move(observer); }

    // Takes what has arrived on both sides, then forwards what is due.
    // Returns whether any datagram was taken or forwarded.
    bool pump() {
        bool moved = take(front, Toward::Server);
        moved |= take(back, Toward::Client);
        const uint32_t now = tickCount();
        while (!held.empty() && static_cast<int32_t>(now - held.top().dueMs) >= 0) {
            Held next = held.top();
            held.pop();
            forward(next);
            moved = true;
        }
        return moved;
    }

    // Milliseconds until the next held datagram is due (0 when one is due
    // now); nothing while none is held.
    std::optional<uint32_t> nextDueInMs() const {
        if (held.empty()) return std::nullopt;
        const int32_t left = static_cast<int32_t>(held.top().dueMs - tickCount());
        return left > 0 ? static_cast<uint32_t>(left) : 0;
    }
    bool holding() const { return !held.empty(); }

    struct Tally {
        uint64_t taken = 0;
        uint64_t dropped = 0;
        uint64_t forwarded = 0;
        uint64_t forwardedBytes = 0;
    };
    const Tally& tally(Toward direction) const { return tallies[index(direction)]; }

private:
    struct Held {
        uint32_t dueMs;
        uint64_t order;  // keeps equal due times in arrival order
        Toward direction;
        std::vector<uint8_t> bytes;
    };
    struct LaterFirst {
        bool operator()(const Held& a, const Held& b) const {
            const int32_t difference = static_cast<int32_t>(a.dueMs - b.dueMs);
            return difference != 0 ? difference > 0 : a.order > b.order;
        }
    };

    static int index(Toward direction) { return direction == Toward::Server ? 0 : 1; }

    bool take(UdpEndpoint& socket, Toward direction) {
        bool moved = false;
        for (int i = 0; i < kMaxTakenPerPump; ++i) {
            std::unique_ptr<Datagram> datagram = socket.poll();
            if (!datagram) break;
            if (direction == Toward::Server) {
                if (!client) client = datagram->source;
                if (!datagram->source.sameHost(*client)) continue;  // one client only
            } else if (!datagram->source.sameHost(server)) {
                continue;
            }
            moved = true;
            route(direction, std::move(datagram->bytes));
        }
        return moved;
    }

    void route(Toward direction, std::vector<uint8_t> bytes) {
        const PathTerms& path = terms[index(direction)];
        Tally& counts = tallies[index(direction)];
        ++counts.taken;
        tell(direction, RelayEvent::Taken, bytes);
        // Both draws are made for every datagram, so one setting never shifts
        // the choices made for another.
        const uint32_t lossDraw = static_cast<uint32_t>(random() % 1000);
        const uint32_t jitterDraw = path.jitterMs == 0 ? 0 : static_cast<uint32_t>(random() % (path.jitterMs + 1));
        if (lossDraw < path.lossPerMille) {
            ++counts.dropped;
            tell(direction, RelayEvent::Dropped, bytes);
            return;
        }
        held.push({tickCount() + path.delayMs + jitterDraw, arrivals++, direction, std::move(bytes)});
    }

    void forward(const Held& datagram) {
        UdpEndpoint& out = datagram.direction == Toward::Server ? back : front;
        if (datagram.direction == Toward::Server) {
            out.setDestination(server);
        } else {
            if (!client) return;
            out.setDestination(*client);
        }
        out.send(datagram.bytes.data(), datagram.bytes.size());
        Tally& counts = tallies[index(datagram.direction)];
        ++counts.forwarded;
        counts.forwardedBytes += datagram.bytes.size();
        tell(datagram.direction, RelayEvent::Forwarded, datagram.bytes);
    }

    void tell(Toward direction, RelayEvent event, const std::vector<uint8_t>& bytes) {
        if (watcher) watcher(direction, event, bytes);
    }

    UdpEndpoint front;  // faces the client
    UdpEndpoint back;   // faces the server
    NetAddress server;
    std::optional<NetAddress> client;
    PathTerms terms[2];  // toward the server, toward the client
    std::mt19937 random;
    std::priority_queue<Held, std::vector<Held>, LaterFirst> held;
    uint64_t arrivals = 0;
    Tally tallies[2];
    Observer watcher;
};

}  // namespace kelvaro::testing_support
