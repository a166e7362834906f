#pragma once
// One bound IPv4 UDP socket that never blocks. The service takes up to
// DatagramsPerIteration datagrams from each endpoint per iteration, read with
// as few system calls as that allows (ReceiveBatch); datagrams that are empty
// or longer than kMaxDatagram bytes are dropped unseen. Sending goes to the
// endpoint's current destination, so set it just before each send. An
// endpoint told to queueSends() keeps its datagrams until flush() and sends
// them together (SendQueue); its owner flushes at the end of every step that
// sends, so nothing leaves later than in the iteration that made it.
//
// Ports are in host order everywhere except inside NetAddress; IPv4 addresses
// stay in network order throughout.

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelvaro {

constexpr int kMaxDatagram = 520;

class NetAddress {
public:
    NetAddress();  // 0.0.0.0, port 0
    NetAddress(uint32_t address, uint16_t port);  // address in network order

    void set(uint32_t address, uint16_t port);
    uint32_t address() const { return raw.sin_addr.s_addr; }  // network order
    uint16_t hostPort() const { return ntohs(raw.sin_port); }

    // Dotted-decimal text of the address, e.g. "127.0.0.1".
    std::string text() const;

    bool sameHost(const NetAddress& other) const {
        return address() == other.address() && raw.sin_port == other.raw.sin_port;
    }

    const sockaddr* socketAddress() const { return reinterpret_cast<const sockaddr*>(&raw); }
    sockaddr* socketAddress() { return reinterpret_cast<sockaddr*>(&raw); }
    static constexpr socklen_t kSocketAddressSize = sizeof(sockaddr_in);

private:
    sockaddr_in raw{};
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

class UdpEndpoint {
public:
    UdpEndpoint();
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Binds 0.0.0.0:port (0 for an ephemeral port); returns the socket or -1.
    // Failures print "socket(AF_INET, PF_INET, IPPROTO_IP) error: <reason>" or
    // "bind(<port>) error: <reason>"; an unbound socket is kept (sends still work) but
    // never yields a datagram. Opening again closes the old socket first.
    int open(uint16_t port);

    void setDestination(uint32_t address, uint16_t port) { destination.set(address, port); }
    void setDestination(const NetAddress& address) { destination = address; }

    // One datagram to the current destination; false when the system refused
    // it. A queued datagram counts as accepted here; a later refusal is
    // counted in sendsRefused().
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
    // to take in this iteration. Never blocks.
    Datagram* receive(uint32_t wanted = 1);

    // Datagrams already read from the socket and not yet handed out: they
    // make the socket look empty to a wait.
    uint32_t held() const;

    // At most one waiting datagram, as a copy the caller owns, or nullptr.
    std::unique_ptr<Datagram> poll();

    // The bound local port in host order (0 when unbound).
    uint16_t localPort() const;

    // The socket to wait on for a datagram; -1 when the endpoint never yields
    // one (not open or not bound).
    int descriptor() const { return bound ? socket : -1; }

private:
    void closeSocket();

    int socket = -1;
    bool bound = false;
    NetAddress destination;
    std::unique_ptr<ReceiveBatch> received;  // made on the first receive
    std::unique_ptr<SendQueue> queue;        // only after queueSends()
};

}  // namespace kelvaro
