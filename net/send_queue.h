#pragma once
// Datagrams waiting to leave one socket together, with as few sendmmsg calls
// as the kernel allows. Each keeps its own destination, and they leave in the
// order they were added. The queue holds kMaxBatch datagrams of up to
// kMaxDatagram bytes in buffers allocated once; adding to a full queue sends
// the queue first, and a longer datagram is sent at once, after what is
// queued, so the order holds either way.
//
// A datagram the kernel refuses is dropped and counted, as a plain sendto
// with MSG_DONTWAIT would drop it; the ones after it are still sent. Nothing
// waits: a flush makes at most one call per datagram. Where the kernel has no
// sendmmsg (ENOSYS) the queue uses one sendto per datagram from then on.

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>

#include "net/udp_endpoint.h"

namespace kelvaro {

class SendQueue {
public:
    static constexpr uint32_t kMaxBatch = 64;
    // The system call that sends a batch; tests stand one in that refuses.
    using SendCall = int (*)(int socket, mmsghdr* messages, unsigned count, int flags);

    explicit SendQueue(SendCall call = &::sendmmsg);
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    // Queues length bytes for destination, sending the queue first when it is
    // full; a datagram over kMaxDatagram bytes goes out at once.
    void add(int socket, const NetAddress& destination, const uint8_t* bytes, size_t length);
    // Sends everything queued; the queue is empty afterwards.
    void flush(int socket);

    uint32_t queued() const { return count; }
    // Datagrams the kernel accepted, and those it refused (dropped).
    uint64_t sent() const { return sentCount; }
    uint64_t refused() const { return refusedCount; }

private:
    struct Slot {
        sockaddr_storage destination{};
        std::array<uint8_t, kMaxDatagram> bytes{};
    };

    void sendSingle(int socket, uint32_t index);

    SendCall call;
    bool singleCalls = false;
    std::unique_ptr<Slot[]> slots;
    std::unique_ptr<mmsghdr[]> headers;
    std::unique_ptr<iovec[]> vectors;
    uint32_t count = 0;
    uint64_t sentCount = 0;
    uint64_t refusedCount = 0;
};

}  // namespace kelvaro
