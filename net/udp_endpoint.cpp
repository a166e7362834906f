#include "net/udp_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/receive_batch.h"
#include "net/send_queue.h"

namespace kelvaro {

NetAddress::NetAddress() { raw.v4.sin_family = AF_INET; }

NetAddress::NetAddress(uint32_t address, uint16_t port) : NetAddress() { set(address, port); }

NetAddress::NetAddress(const IpAddress& address, uint16_t port) : NetAddress() {
    set(address, port);
}

void NetAddress::set(uint32_t address, uint16_t port) {
    raw = {};
    raw.v4.sin_family = AF_INET;
    raw.v4.sin_addr.s_addr = address;
    raw.v4.sin_port = htons(port);
}

void NetAddress::set(const IpAddress& address, uint16_t port) {
    if (!address.isV6()) {
        set(address.v4(), port);
        return;
    }
    raw = {};
    raw.v6.sin6_family = AF_INET6;
    std::memcpy(&raw.v6.sin6_addr, address.bytes.data(), 16);
    raw.v6.sin6_port = htons(port);
}

IpAddress NetAddress::ip() const {
    if (!isV6()) return IpAddress(raw.v4.sin_addr.s_addr);
    return IpAddress::fromV6(reinterpret_cast<const uint8_t*>(&raw.v6.sin6_addr));
}

std::string NetAddress::text() const { return ip().text(); }

bool NetAddress::assign(const sockaddr_storage& from, socklen_t fromSize) {
    if (from.ss_family == AF_INET && fromSize >= sizeof(sockaddr_in)) {
        raw = {};
        std::memcpy(&raw.v4, &from, sizeof(sockaddr_in));
        return true;
    }
    if (from.ss_family == AF_INET6 && fromSize >= sizeof(sockaddr_in6)) {
        raw = {};
        std::memcpy(&raw.v6, &from, sizeof(sockaddr_in6));
        // Only the address and port identify a peer here.
        raw.v6.sin6_flowinfo = 0;
        raw.v6.sin6_scope_id = 0;
        return true;
    }
    return false;
}

bool hostHasIPv6(std::string& reason) {
    const int probe = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        reason = std::strerror(errno);
        return false;
    }
    ::close(probe);
    return true;
}

UdpEndpoint::UdpEndpoint() = default;

UdpEndpoint::~UdpEndpoint() {
    closeSocket(four);
    closeSocket(six);
}

// Whatever is still queued leaves before the socket closes; datagrams read
// from it and not yet taken go with it.
void UdpEndpoint::closeSocket(Socket& socket) {
    if (socket.queue && socket.fd >= 0) socket.queue->flush(socket.fd);
    if (socket.fd >= 0) ::close(socket.fd);
    socket.received.reset();
    socket.fd = -1;
    socket.bound = false;
}

int UdpEndpoint::open(uint16_t port) {
    closeSocket(four);
    closeSocket(six);
    four.fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (four.fd < 0) {
        std::printf("socket(AF_INET, PF_INET, IPPROTO_IP) error: %s\n", std::strerror(errno));
        return -1;
    }
    NetAddress local(htonl(INADDR_ANY), port);
    if (::bind(four.fd, local.socketAddress(), local.size()) != 0) {
        std::printf("bind(%i) error: %s\n", static_cast<int>(port), std::strerror(errno));
        return -1;
    }
    fcntl(four.fd, F_SETFL, fcntl(four.fd, F_GETFL) | O_NONBLOCK);
    four.bound = true;
    if (queued && !four.queue) four.queue = std::make_unique<SendQueue>();
    return four.fd;
}

int UdpEndpoint::openV6(uint16_t port) {
    closeSocket(six);
    six.fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (six.fd < 0) {
        std::printf("socket(AF_INET6, SOCK_DGRAM) error: %s\n", std::strerror(errno));
        return -1;
    }
    // IPv4 peers stay on the IPv4 socket: a mapped address would give one
    // zone two keys.
    const int on = 1;
    NetAddress local(IpAddress::fromV6(in6addr_any.s6_addr), port);
    if (setsockopt(six.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0 ||
        ::bind(six.fd, local.socketAddress(), local.size()) != 0) {
        std::printf("bind([::]:%i) error: %s\n", static_cast<int>(port), std::strerror(errno));
        closeSocket(six);
        return -1;
    }
    fcntl(six.fd, F_SETFL, fcntl(six.fd, F_GETFL) | O_NONBLOCK);
    six.bound = true;
    if (queued) six.queue = std::make_unique<SendQueue>();
    return six.fd;
}

bool UdpEndpoint::send(const uint8_t* bytes, size_t length) {
    Socket& socket = destination.isV6() ? six : four;
    if (socket.fd < 0) return false;
    if (socket.queue) {
        socket.queue->add(socket.fd, destination, bytes, length);
        return true;
    }
    return ::sendto(socket.fd, bytes, length, MSG_DONTWAIT, destination.socketAddress(),
                    destination.size()) >= 0;
}

void UdpEndpoint::queueSends() {
    queued = true;
    if (!four.queue) four.queue = std::make_unique<SendQueue>();
    if (six.fd >= 0 && !six.queue) six.queue = std::make_unique<SendQueue>();
}

void UdpEndpoint::flush() {
    if (four.queue && four.fd >= 0) four.queue->flush(four.fd);
    if (six.queue && six.fd >= 0) six.queue->flush(six.fd);
}

uint64_t UdpEndpoint::sendsRefused() const {
    return (four.queue ? four.queue->refused() : 0) + (six.queue ? six.queue->refused() : 0);
}

Datagram* UdpEndpoint::receiveFrom(Socket& socket, uint32_t wanted) {
    if (!socket.bound) return nullptr;
    if (!socket.received) socket.received = std::make_unique<ReceiveBatch>();
    return socket.received->next(socket.fd, wanted);
}

Datagram* UdpEndpoint::receive(uint32_t wanted) {
    if (!six.bound) return receiveFrom(four, wanted);
    // Datagrams already read are handed out before either socket is asked
    // again: turns are taken per read, not per datagram, so an idle family
    // costs no system call for every datagram of a busy one.
    if (four.received && four.received->waiting() > 0) return receiveFrom(four, wanted);
    if (six.received && six.received->waiting() > 0) return receiveFrom(six, wanted);
    Socket& first = sixFirst ? six : four;
    Socket& second = sixFirst ? four : six;
    sixFirst = !sixFirst;
    if (Datagram* datagram = receiveFrom(first, wanted)) return datagram;
    return receiveFrom(second, wanted);
}

uint32_t UdpEndpoint::held() const {
    return (four.received ? four.received->waiting() : 0) +
           (six.received ? six.received->waiting() : 0);
}

const Datagram* UdpEndpoint::ahead(uint32_t k) const {
    if (four.received && four.received->waiting() > 0) return four.received->ahead(k);
    return six.received ? six.received->ahead(k) : nullptr;
}

std::unique_ptr<Datagram> UdpEndpoint::poll() {
    const Datagram* next = receive(1);
    if (next == nullptr) return nullptr;
    return std::make_unique<Datagram>(*next);
}

uint16_t UdpEndpoint::boundPort(const Socket& socket) {
    if (!socket.bound) return 0;
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    if (getsockname(socket.fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
    NetAddress address;
    if (!address.assign(local, size)) return 0;
    return address.hostPort();
}

uint16_t UdpEndpoint::localPort() const { return boundPort(four); }

uint16_t UdpEndpoint::localPortV6() const { return boundPort(six); }

}  // namespace kelvaro
