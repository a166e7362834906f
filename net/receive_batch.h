#pragma once
// Up to kMaxBatch waiting datagrams taken from one socket with a single
// recvmmsg call, into buffers allocated once when the batch is made. A
// datagram that is empty or longer than kMaxDatagram bytes is dropped alone;
// the rest of its batch is kept. Where the kernel has no recvmmsg (ENOSYS)
// the batch says so once and takes one datagram per call with recvfrom from
// then on.
//
// The Datagram that next() returns stays valid until the following next()
// call; the caller may change its bytes (a connection decrypts in place) but
// never frees it.

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>

#include "net/udp_endpoint.h"

namespace kelvaro {

class ReceiveBatch {
public:
    static constexpr uint32_t kMaxBatch = 64;
    // The system call that fills a batch; tests stand one in that fails.
    using ReceiveCall = int (*)(int socket, mmsghdr* messages, unsigned count, int flags,
                                timespec* timeout);

    explicit ReceiveBatch(ReceiveCall call = &::recvmmsg);
    ReceiveBatch(const ReceiveBatch&) = delete;
    ReceiveBatch& operator=(const ReceiveBatch&) = delete;

    // The next datagram from socket, or nullptr when none is waiting. A
    // datagram read earlier and not yet handed out comes first; otherwise one
    // call reads up to wanted datagrams (1 to kMaxBatch), so a caller that
    // asks for what it still means to take this iteration reads no more.
    // A call that read fewer than it asked for emptied the socket: once its
    // datagrams are handed out, the next call returns nullptr without asking
    // the kernel again (which would only say so), and the one after reads.
    Datagram* next(int socket, uint32_t wanted);

    // Datagrams read and not yet handed out.
    uint32_t waiting() const { return filled - handed; }
    // The datagram k places after the last one handed out, already read; or
    // nullptr. Its handler may start loading what it will touch.
    const Datagram* ahead(uint32_t k) const { return k < waiting() ? &ready[handed + k] : nullptr; }
    bool usesSingleCalls() const { return singleCalls; }

private:
    struct Slot {
        sockaddr_storage source{};
        std::array<uint8_t, kMaxDatagram> bytes{};
    };

    void fill(int socket, uint32_t wanted);
    uint32_t fillBatch(int socket, uint32_t wanted);
    uint32_t fillSingle(int socket);
    // Copies slot into the next free Datagram; false when it is to be dropped
    // (its length, or a source that is neither IPv4 nor IPv6).
    bool keep(const Slot& slot, socklen_t sourceSize, size_t length, int flags, uint32_t into);

    ReceiveCall call;
    bool singleCalls = false;
    std::unique_ptr<Slot[]> slots;
    std::unique_ptr<mmsghdr[]> headers;
    std::unique_ptr<iovec[]> vectors;
    std::unique_ptr<Datagram[]> ready;
    uint32_t filled = 0;  // datagrams kept by the last call
    uint32_t handed = 0;  // of those, handed out
    bool drained = false;  // the last call read fewer than it asked for
    uint32_t touched = 0;  // headers the last call may have written
};

}  // namespace kelvaro
