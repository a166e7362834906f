#pragma once
// Builders for the plain zone datagrams as a zone or a monitoring
// tool would send them, written from the wire layout (little-endian fields,
// fixed text fields, reserved zeros, a description ending in a NUL).

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "net/udp_endpoint.h"
#include "util/bytes.h"

namespace kelvaro::testing_support {

inline const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

struct ZoneUpdate {
    uint16_t port = 0;
    uint16_t population = 0;
    uint16_t zoneFlag = 0;
    uint32_t zoneWord = 0;
    std::string name;
    std::string password;
    std::string description;
};

// An update datagram: 94 fixed bytes, the description and its NUL. Texts too
// long for their field are written whole up to the field's end (no NUL), so a
// test can build the malformed variants too.
inline std::vector<uint8_t> updateDatagram(const ZoneUpdate& zone) {
    std::vector<uint8_t> bytes(94 + zone.description.size() + 1, 0);
    writeU32(bytes.data(), 0, 0);
    writeU16(bytes.data(), 4, zone.port);
    writeU16(bytes.data(), 6, zone.population);
    writeU16(bytes.data(), 8, zone.zoneFlag);
    writeU32(bytes.data(), 10, zone.zoneWord);
    std::memcpy(bytes.data() + 14, zone.name.data(), std::min<size_t>(zone.name.size(), 32));
    std::memcpy(bytes.data() + 46, zone.password.data(),
                std::min<size_t>(zone.password.size(), 16));
    std::memcpy(bytes.data() + 94, zone.description.data(), zone.description.size());
    return bytes;
}

// An update as most tests send it: password "pw", no flag and no word.
inline std::vector<uint8_t> announcement(const std::string& name, uint16_t port,
                                         uint16_t population = 1,
                                         const std::string& description = {}) {
    ZoneUpdate update;
    update.port = port;
    update.population = population;
    update.name = name;
    update.password = "pw";
    update.description = description;
    return updateDatagram(update);
}

inline std::vector<uint8_t> le32Pair(uint32_t first, uint32_t second) {
    std::vector<uint8_t> bytes(8);
    writeU32(bytes.data(), 0, first);
    writeU32(bytes.data(), 4, second);
    return bytes;
}

inline std::vector<uint8_t> le32(uint32_t value) {
    std::vector<uint8_t> bytes(4);
    writeU32(bytes.data(), 0, value);
    return bytes;
}

inline bool sendTo(UdpEndpoint& endpoint, uint16_t port, const std::vector<uint8_t>& bytes) {
    endpoint.setDestination(kLoopback, port);
    return endpoint.send(bytes.data(), bytes.size());
}

// A socket on one loopback address (all of 127.0.0.0/8 is loopback), so that
// a test can play zones and monitors on several hosts; what it sends goes to
// 127.0.0.1:serverPort. A server that refuses the host answers nothing, so
// every wait for a reply ends after waitMs; bound says that the socket is on
// its address and its waits are so limited.
class HostSocket {
public:
    HostSocket(const char* address, uint16_t serverPort, int waitMs = 1000)
        : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr(address);
        const timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
        bound = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0;
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = kLoopback;
        server.sin_port = htons(serverPort);
    }
    ~HostSocket() {
        if (fd >= 0) close(fd);
    }
    HostSocket(const HostSocket&) = delete;
    HostSocket& operator=(const HostSocket&) = delete;

    bool send(const std::vector<uint8_t>& bytes) const {
        return bound && sendto(fd, bytes.data(), bytes.size(), 0,
                               reinterpret_cast<const sockaddr*>(&server), sizeof server) ==
                            static_cast<ssize_t>(bytes.size());
    }

    // The zone count in the answer to a count query carrying echo: 8 bytes,
    // the count, then the echo. Nothing when no such answer came in time.
    std::optional<uint32_t> count(uint32_t echo) const {
        if (!send(le32(echo))) return std::nullopt;
        uint8_t reply[16];
        if (recv(fd, reply, sizeof reply, 0) != 8 || readU32(reply, 4) != echo) return std::nullopt;
        return readU32(reply, 0);
    }

    const int fd;
    bool bound = false;

private:
    sockaddr_in server{};
};

}  // namespace kelvaro::testing_support
