#pragma once
// Small pieces every handle of the library shares.

#include <cstddef>
#include <cstdint>

#include "kelvaro.h"

namespace kelvaro::client {

constexpr uint32_t kLongestTimeoutMs = 3600000;

// A dotted quad into network order; false for anything else (never resolves).
bool parseAddress(const char* text, uint32_t& out);

// A count query's echo: the tick, the process and the asking handle mixed
// with the handle's own query counter (step, moved on here), so a reply to an
// earlier query or to another handle is told apart.
uint32_t freshEcho(const void* owner, uint32_t& step);

// The 4-byte count query, and the zone count of the 8-byte reply that echoes
// it (false for any other datagram: a stale or foreign reply).
void writeCountQuery(uint32_t echo, uint8_t (&out)[4]);
bool readCountReply(const uint8_t* bytes, size_t length, uint32_t echo, uint32_t& count);

// An epoll descriptor watching up to two sockets, so a handle offers the game
// one descriptor whatever it reads from. Owns only the epoll descriptor.
class Waiter {
public:
    Waiter();
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;
    bool watch(int descriptor);
    int descriptor() const { return fd; }
    // Waits at most ms for a watched socket to be readable.
    void wait(uint32_t ms) const;

private:
    int fd = -1;
};

}  // namespace kelvaro::client
