#include "net/send_queue.h"

#include <cerrno>
#include <cstring>

namespace kelvaro {

SendQueue::SendQueue(SendCall sendCall)
    : call(sendCall),
      slots(std::make_unique<Slot[]>(kMaxBatch)),
      headers(std::make_unique<mmsghdr[]>(kMaxBatch)),
      vectors(std::make_unique<iovec[]>(kMaxBatch)) {
    for (uint32_t i = 0; i < kMaxBatch; ++i) {
        msghdr& header = headers[i].msg_hdr;
        header.msg_name = &slots[i].destination;
        header.msg_namelen = NetAddress::kSocketAddressSize;
        header.msg_iov = &vectors[i];
        header.msg_iovlen = 1;
        vectors[i].iov_base = slots[i].bytes.data();
    }
}

void SendQueue::add(int socket, const NetAddress& destination, const uint8_t* bytes,
                    size_t length) {
    if (count == kMaxBatch || length > kMaxDatagram) flush(socket);
    if (length > kMaxDatagram) {
        const bool accepted = ::sendto(socket, bytes, length, MSG_DONTWAIT,
                                       destination.socketAddress(), destination.size()) >= 0;
        ++(accepted ? sentCount : refusedCount);
        return;
    }
    Slot& slot = slots[count];
    std::memcpy(&slot.destination, destination.socketAddress(), destination.size());
    if (length > 0) std::memcpy(slot.bytes.data(), bytes, length);
    vectors[count].iov_len = length;
    headers[count].msg_hdr.msg_namelen = destination.size();
    ++count;
}

// Every pass either sends at least one datagram or drops the first one left,
// so the loop ends after at most count calls. An interrupted call is not a
// refusal of any datagram, but it is given up like one all the same rather
// than retried without bound.
void SendQueue::flush(int socket) {
    uint32_t next = 0;
    while (next < count) {
        if (singleCalls) {
            sendSingle(socket, next++);
            continue;
        }
        const int accepted = call(socket, &headers[next], count - next, MSG_DONTWAIT);
        if (accepted > 0) {
            next += static_cast<uint32_t>(accepted);
            sentCount += static_cast<uint64_t>(accepted);
        } else if (accepted < 0 && errno == ENOSYS) {
            singleCalls = true;
        } else {
            ++refusedCount;  // the first one left is refused; the rest go on
            ++next;
        }
    }
    count = 0;
}

void SendQueue::sendSingle(int socket, uint32_t index) {
    const bool accepted =
        ::sendto(socket, slots[index].bytes.data(), vectors[index].iov_len, MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&slots[index].destination),
                 headers[index].msg_hdr.msg_namelen) >= 0;
    ++(accepted ? sentCount : refusedCount);
}

}  // namespace kelvaro
