#pragma once
// One bound UDP socket that never blocks, with a second, IPv6-only one beside
// it when openV6() is asked for. The service takes up to
// DatagramsPerIteration datagrams from each endpoint per iteration, read with
// as few system calls as that allows (ReceiveBatch); datagrams that are empty
// or longer than kMaxDatagram bytes are dropped unseen. Sending goes to the
// endpoint's current destination, so set it just before each send. An
// endpoint told to queueSends() keeps its datagrams until flush() and sends
// them together (SendQueue); its owner flushes at the end of every step that
// sends, so nothing leaves later than in the iteration that made it.
//
// Ports are in host order everywhere except inside NetAddress; IPv4 addresses
// stay in network order throughout. The IPv6 socket is IPV6_V6ONLY, so an
// IPv4 peer always arrives on the IPv4 socket and never as a mapped address.

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/ip_address.h"

namespace kelvaro {

constexpr int kMaxDatagram = 520;

class NetAddress {
public:
    NetAddress();  // 0.0.0.0, port 0
    NetAddress(uint32_t address, uint16_t port);  // address in network order
    NetAddress(const IpAddress& address, uint16_t port);

    void set(uint32_t address, uint16_t port);  // becomes IPv4
    void set(const IpAddress& address, uint16_t port);
    // The IPv4 address in network order; 0 for an IPv6 one.
    uint32_t address() const { return isV6() ? 0 : raw.v4.sin_addr.s_addr; }
    IpAddress ip() const;
    bool isV6() const { return raw.v6.sin6_family == AF_INET6; }
    uint16_t hostPort() const { return ntohs(raw.v4.sin_port); }  // same place in both

    // Dotted-decimal text of an IPv4 address ("127.0.0.1"), the usual text
    // of an IPv6 one ("::1").
    std::string text() const;

    bool sameHost(const NetAddress& other) const {
        return ip() == other.ip() && hostPort() == other.hostPort();
    }

    const sockaddr* socketAddress() const { return reinterpret_cast<const sockaddr*>(&raw); }
    sockaddr* socketAddress() { return reinterpret_cast<sockaddr*>(&raw); }
    // The size of the structure for the address's family.
    socklen_t size() const { return isV6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in); }
    // Room for an address of either family, for calls that write one.
    static constexpr socklen_t kSocketAddressSize = sizeof(sockaddr_in6);
    // Takes size bytes of a received address; false (unchanged) for a family
    // other than IPv4 and IPv6 or a size that does not fit it.
    bool assign(const sockaddr_storage& from, socklen_t fromSize);

private:
    union Raw {
        sockaddr_in v4;
        sockaddr_in6 v6;
    } raw{};
};

// One received datagram: its sender and a copy of its 1 to kMaxDatagram bytes.
class ReceiveBatch;
class SendQueue;

struct Datagram {
    NetAddress source;
    std::vector<uint8_t> bytes;

    const uint8_t* data() const { return bytes.data(); }
    int32_t length() const { return static_cast<int32_t>(bytes.size()); }
};

// True when an IPv6 UDP socket can be made here; false, with the system's
// reason, on a host whose kernel has IPv6 turned off.
bool hostHasIPv6(std::string& reason);

class UdpEndpoint {
public:
    UdpEndpoint();
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Binds 0.0.0.0:port (0 for an ephemeral port); returns the socket or -1.
    // Failures print "socket(AF_INET, PF_INET, IPPROTO_IP) error: <reason>" or
    // "bind(<port>) error: <reason>"; an unbound socket is kept (sends still work) but
    // never yields a datagram. Opening again closes the old sockets first,
    // the IPv6 one included.
    int open(uint16_t port);

    // Adds an IPv6-only socket bound to [::]:port (0 for an ephemeral port);
    // returns it or -1. Failures print "socket(AF_INET6, SOCK_DGRAM) error:
    // <reason>" or "bind([::]:<port>) error: <reason>" and leave the endpoint
    // without one. Sends to IPv6 destinations leave from it; without it they
    // are refused.
    int openV6(uint16_t port);

    void setDestination(uint32_t address, uint16_t port) { destination.set(address, port); }
    void setDestination(const IpAddress& address, uint16_t port) {
        destination.set(address, port);
    }
    void setDestination(const NetAddress& address) { destination = address; }

    // One datagram to the current destination, from the socket of its
    // family; false when the system refused it. A queued datagram counts as
    // accepted here; a later refusal is counted in sendsRefused().
    bool send(const uint8_t* bytes, size_t length);

    // From now on send() queues until flush() (or until the queue is full).
    void queueSends();
    // Sends whatever is queued; nothing when sends are not queued.
    void flush();
    // Queued datagrams the system refused, and so dropped.
    uint64_t sendsRefused() const;

    // The next waiting datagram, or nullptr; valid until the next receive()
    // or poll(); the caller may change its bytes. When none is left from the last read, one system call reads
    // up to wanted (at most 64), which the caller sets to what it still means
    // to take in this iteration. Never blocks. With an IPv6 socket the two
    // sockets take turns in being read first (what a read brought is handed
    // out before the next read), so a flood on one family cannot keep the
    // other waiting.
    Datagram* receive(uint32_t wanted = 1);

    // Datagrams already read from the sockets and not yet handed out: they
    // make the sockets look empty to a wait.
    uint32_t held() const;
    // The held datagram k places after the last one receive() handed out
    // (from the socket being handed out from), or nullptr; receive() then
    // hands it out k + 1 calls later unless the caller stops before.
    const Datagram* ahead(uint32_t k) const;

    // At most one waiting datagram, as a copy the caller owns, or nullptr.
    std::unique_ptr<Datagram> poll();

    // The bound local port in host order (0 when unbound), of the IPv4 and
    // of the IPv6 socket.
    uint16_t localPort() const;
    uint16_t localPortV6() const;

    // The sockets to wait on for a datagram; -1 when the endpoint never
    // yields one from that family (not open or not bound).
    int descriptor() const { return four.bound ? four.fd : -1; }
    int descriptorV6() const { return six.bound ? six.fd : -1; }

private:
    struct Socket {
        int fd = -1;
        bool bound = false;
        std::unique_ptr<ReceiveBatch> received;  // made on the first receive
        std::unique_ptr<SendQueue> queue;        // only after queueSends()
    };
    static void closeSocket(Socket& socket);
    static Datagram* receiveFrom(Socket& socket, uint32_t wanted);
    static uint16_t boundPort(const Socket& socket);

    Socket four;
    Socket six;
    bool queued = false;  // queueSends() was asked for
    bool sixFirst = false;  // which socket the next receive() asks first
    NetAddress destination;
};

}  // namespace kelvaro
