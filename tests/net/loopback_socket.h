#pragma once
// A plain non-blocking UDP socket on 127.0.0.1 with an ephemeral port, for
// tests that drive the batch classes below UdpEndpoint.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "net/udp_endpoint.h"

namespace kelvaro::testing_support {

class LoopbackSocket {
public:
    LoopbackSocket() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {
        NetAddress local(htonl(INADDR_LOOPBACK), 0);
        ::bind(fd, local.socketAddress(), NetAddress::kSocketAddressSize);
        socklen_t size = NetAddress::kSocketAddressSize;
        getsockname(fd, address.socketAddress(), &size);
    }
    ~LoopbackSocket() { ::close(fd); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    void sendTo(const LoopbackSocket& to, size_t length, uint8_t fill) const {
        const std::vector<uint8_t> bytes(length, fill);
        ::sendto(fd, bytes.data(), bytes.size(), 0, to.address.socketAddress(),
                 NetAddress::kSocketAddressSize);
    }

    // Every datagram waiting now, each cut to 2048 bytes; waits up to 200 ms
    // for the first one only.
    std::vector<std::vector<uint8_t>> drain() const {
        std::vector<std::vector<uint8_t>> got;
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, 200) <= 0) return got;
        for (int i = 0; i < 1000; ++i) {
            std::vector<uint8_t> buffer(2048);
            const ssize_t length = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (length < 0) break;
            buffer.resize(static_cast<size_t>(length));
            got.push_back(std::move(buffer));
        }
        return got;
    }

    int fd;
    NetAddress address;
};

}  // namespace kelvaro::testing_support
