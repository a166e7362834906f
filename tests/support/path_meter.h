#pragma once
// Reads the reliable traffic of one client connection as it crosses a
// LossyRelay, the way a probe on the path would: it learns the connection key
// from the key exchange (both travel in clear), decrypts what the server
// sends and what the client answers, and keeps the most reliable packets the
// server ever had in flight at once.
//
// A packet is in flight from the moment the relay takes it from the server
// until the relay hands the server its acknowledgement; an acknowledgement
// the path drops does not count, since the server never had it. A packet the
// server resends after its acknowledgement was handed over is not counted
// again. So the figure never exceeds the server's own count of packets in
// transit. Clusters are not unpacked: use it with ClusterMode off.

#include <cstdint>
#include <set>
#include <vector>

#include "support/lossy_relay.h"
#include "transport/connection_cipher.h"
#include "util/bytes.h"

namespace kelvaro::testing_support {

class PathMeter {
public:
    // Attaches itself as the relay's observer; the relay must not outlive it
    // while it carries traffic.
    explicit PathMeter(LossyRelay& relay) {
        relay.observe([this](Toward direction, RelayEvent event, const std::vector<uint8_t>& bytes) {
            see(direction, event, bytes);
        });
    }
    PathMeter(const PathMeter&) = delete;
    PathMeter& operator=(const PathMeter&) = delete;

    size_t mostInFlight() const { return most; }
    uint64_t reliableFromServer() const { return reliableTaken; }  // resends included

private:
    static constexpr uint8_t kKeyRequest = 1, kKeyResponse = 2, kReliable = 3, kAck = 4;

    static bool isCore(const std::vector<uint8_t>& bytes, uint8_t type, size_t length) {
        return bytes.size() >= length && bytes[0] == 0 && bytes[1] == type;
    }

    void see(Toward direction, RelayEvent event, std::vector<uint8_t> bytes) {
        if (direction == Toward::Server && event == RelayEvent::Taken && isCore(bytes, kKeyRequest, 8) &&
            bytes.size() == 8)
            requestedKey = static_cast<int32_t>(readU32(bytes.data(), 2));
        if (direction == Toward::Client && event == RelayEvent::Taken && !keyed &&
            isCore(bytes, kKeyResponse, 6)) {
            // A response carrying the requested key itself means no
            // encryption; any other is the connection key.
            const int32_t responseKey = static_cast<int32_t>(readU32(bytes.data(), 2));
            if (responseKey != requestedKey) cipher.setKey(responseKey);
            keyed = true;
            return;
        }
        if (!keyed) return;
        cipher.decrypt(bytes.data(), static_cast<uint32_t>(bytes.size()));
        if (direction == Toward::Client && event == RelayEvent::Taken && isCore(bytes, kReliable, 7)) {
            ++reliableTaken;
            const uint32_t sequence = readU32(bytes.data(), 2);
            if (acknowledged.count(sequence) == 0) inFlight.insert(sequence);
            most = std::max(most, inFlight.size());
        }
        if (direction == Toward::Server && event == RelayEvent::Forwarded && isCore(bytes, kAck, 6) &&
            bytes.size() == 6) {
            const uint32_t sequence = readU32(bytes.data(), 2);
            acknowledged.insert(sequence);
            inFlight.erase(sequence);
        }
    }

    int32_t requestedKey = 0;
    bool keyed = false;
    ConnectionCipher cipher;
    std::set<uint32_t> inFlight;
    std::set<uint32_t> acknowledged;
    size_t most = 0;
    uint64_t reliableTaken = 0;
};

}  // namespace kelvaro::testing_support
