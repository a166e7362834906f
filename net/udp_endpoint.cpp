#include "net/udp_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelvaro {

NetAddress::NetAddress() { raw.sin_family = AF_INET; }

NetAddress::NetAddress(uint32_t address, uint16_t port) : NetAddress() { set(address, port); }

void NetAddress::set(uint32_t address, uint16_t port) {
    raw.sin_addr.s_addr = address;
    raw.sin_port = htons(port);
}

std::string NetAddress::text() const {
    char buffer[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &raw.sin_addr, buffer, sizeof buffer);
    return buffer;
}

UdpEndpoint::~UdpEndpoint() { closeSocket(); }

void UdpEndpoint::closeSocket() {
    if (socket >= 0) ::close(socket);
    socket = -1;
    bound = false;
}

int UdpEndpoint::open(uint16_t port) {
    closeSocket();
    socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (socket < 0) {
        std::printf("socket(AF_INET, PF_INET, IPPROTO_IP) error: %s\n", std::strerror(errno));
        return -1;
    }
    NetAddress local(htonl(INADDR_ANY), port);
    if (::bind(socket, local.socketAddress(), NetAddress::kSocketAddressSize) != 0) {
        std::printf("bind(%i) error: %s\n", static_cast<int>(port), std::strerror(errno));
        return -1;
    }
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
    bound = true;
    return socket;
}

bool UdpEndpoint::send(const uint8_t* bytes, size_t length) {
    if (socket < 0) return false;
    return ::sendto(socket, bytes, length, MSG_DONTWAIT, destination.socketAddress(),
                    NetAddress::kSocketAddressSize) >= 0;
}

std::unique_ptr<Datagram> UdpEndpoint::poll() {
    if (!bound) return nullptr;
    uint8_t buffer[kMaxDatagram];
    NetAddress source;
    socklen_t sourceSize = NetAddress::kSocketAddressSize;
    // MSG_TRUNC makes the call report the datagram's real length, so one that
    // was longer than the buffer is recognised and dropped rather than cut.
    const ssize_t received = ::recvfrom(socket, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                                        source.socketAddress(), &sourceSize);
    if (received <= 0 || received > kMaxDatagram) return nullptr;
    auto datagram = std::make_unique<Datagram>();
    datagram->source = source;
    datagram->bytes.assign(buffer, buffer + received);
    return datagram;
}

uint16_t UdpEndpoint::localPort() const {
    if (!bound) return 0;
    NetAddress local;
    socklen_t size = NetAddress::kSocketAddressSize;
    if (getsockname(socket, local.socketAddress(), &size) != 0) return 0;
    return local.hostPort();
}

}  // namespace kelvaro
