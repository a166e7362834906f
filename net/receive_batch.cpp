#include "net/receive_batch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelvaro {

ReceiveBatch::ReceiveBatch(ReceiveCall receiveCall)
    : call(receiveCall),
      slots(std::make_unique<Slot[]>(kMaxBatch)),
      headers(std::make_unique<mmsghdr[]>(kMaxBatch)),
      vectors(std::make_unique<iovec[]>(kMaxBatch)),
      ready(std::make_unique<Datagram[]>(kMaxBatch)) {
    for (uint32_t i = 0; i < kMaxBatch; ++i) {
        ready[i].bytes.reserve(kMaxDatagram);
        msghdr& header = headers[i].msg_hdr;
        header.msg_name = &slots[i].source;
        header.msg_iov = &vectors[i];
        header.msg_iovlen = 1;
        header.msg_namelen = sizeof(sockaddr_storage);
        vectors[i].iov_base = slots[i].bytes.data();
        vectors[i].iov_len = kMaxDatagram;
    }
}

Datagram* ReceiveBatch::next(int socket, uint32_t wanted) {
    if (handed == filled && drained) {
        drained = false;
        return nullptr;
    }
    if (handed == filled) fill(socket, wanted);
    if (handed == filled) return nullptr;
    return &ready[handed++];
}

void ReceiveBatch::fill(int socket, uint32_t wanted) {
    handed = 0;
    filled = 0;
    wanted = std::clamp(wanted, 1u, kMaxBatch);
    if (!singleCalls) {
        filled = fillBatch(socket, wanted);
        if (!singleCalls) return;
    }
    filled = fillSingle(socket);
}

uint32_t ReceiveBatch::fillBatch(int socket, uint32_t wanted) {
    // The kernel overwrites the lengths and flags of the messages it fills
    // with what it delivered, so those start from the full sizes again; the
    // rest still hold them. A server woken for a few datagrams at a time then
    // rewrites a few headers per call, not all 64.
    for (uint32_t i = 0; i < touched; ++i) {
        headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        headers[i].msg_hdr.msg_controllen = 0;
        headers[i].msg_hdr.msg_flags = 0;
        vectors[i].iov_len = kMaxDatagram;
    }
    // MSG_TRUNC makes each msg_len the datagram's real length, so one longer
    // than the buffer is recognised and dropped rather than cut.
    const int received = call(socket, headers.get(), wanted, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (received < 0) {
        // A failed call may still have written into the headers it was given.
        touched = wanted;
        if (errno == ENOSYS) singleCalls = true;
        return 0;
    }
    touched = static_cast<uint32_t>(received);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < static_cast<uint32_t>(received); ++i) {
        const msghdr& header = headers[i].msg_hdr;
        if (keep(slots[i], header.msg_namelen, headers[i].msg_len, header.msg_flags, kept)) ++kept;
    }
    // With nothing kept the caller hears "nothing left" at once anyway.
    drained = static_cast<uint32_t>(received) < wanted && kept > 0;
    return kept;
}

uint32_t ReceiveBatch::fillSingle(int socket) {
    Slot& slot = slots[0];
    socklen_t sourceSize = sizeof slot.source;
    const ssize_t received = ::recvfrom(socket, slot.bytes.data(), slot.bytes.size(),
                                        MSG_DONTWAIT | MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&slot.source), &sourceSize);
    if (received <= 0) return 0;
    return keep(slot, sourceSize, static_cast<size_t>(received), 0, 0) ? 1 : 0;
}

bool ReceiveBatch::keep(const Slot& slot, socklen_t sourceSize, size_t length, int flags,
                        uint32_t into) {
    if (length == 0 || length > kMaxDatagram || (flags & MSG_TRUNC) != 0) return false;
    Datagram& datagram = ready[into];
    if (!datagram.source.assign(slot.source, sourceSize)) return false;
    datagram.bytes.assign(slot.bytes.data(), slot.bytes.data() + length);
    return true;
}

}  // namespace kelvaro
