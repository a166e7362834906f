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

UdpEndpoint::UdpEndpoint() = default;

UdpEndpoint::~UdpEndpoint() { closeSocket(); }

// Whatever is still queued leaves before the socket closes; datagrams read
// from it and not yet taken go with it.
void UdpEndpoint::closeSocket() {
    flush();
    if (socket >= 0) ::close(socket);
    received.reset();
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
    if (queue) {
        queue->add(socket, destination, bytes, length);
        return true;
    }
    return ::sendto(socket, bytes, length, MSG_DONTWAIT, destination.socketAddress(),
                    NetAddress::kSocketAddressSize) >= 0;
}

void UdpEndpoint::queueSends() {
    if (!queue) queue = std::make_unique<SendQueue>();
}

void UdpEndpoint::flush() {
    if (queue && socket >= 0) queue->flush(socket);
}

uint64_t UdpEndpoint::sendsRefused() const { return queue ? queue->refused() : 0; }

Datagram* UdpEndpoint::receive(uint32_t wanted) {
    if (!bound) return nullptr;
    if (!received) received = std::make_unique<ReceiveBatch>();
    return received->next(socket, wanted);
}

uint32_t UdpEndpoint::held() const { return received ? received->waiting() : 0; }

std::unique_ptr<Datagram> UdpEndpoint::poll() {
    const Datagram* next = receive(1);
    if (next == nullptr) return nullptr;
    return std::make_unique<Datagram>(*next);
}

uint16_t UdpEndpoint::localPort() const {
    if (!bound) return 0;
    NetAddress local;
    socklen_t size = NetAddress::kSocketAddressSize;
    if (getsockname(socket, local.socketAddress(), &size) != 0) return 0;
    return local.hostPort();
}

}  // namespace kelvaro
