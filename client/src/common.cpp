#include "common.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "platform/tick_clock.h"
#include "util/bytes.h"

namespace kelvaro::client {

bool parseAddress(const char* text, uint32_t& out) {
    if (text == nullptr) return false;
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1) return false;
    out = parsed.s_addr;
    return true;
}

uint32_t freshEcho(const void* owner, uint32_t& step) {
    ++step;
    const auto where = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(owner) >> 4);
    return tickCount() ^ (static_cast<uint32_t>(getpid()) << 16) ^ (where * 2654435761u) ^
           (step * 40503u);
}

void writeCountQuery(uint32_t echo, uint8_t (&out)[4]) { writeU32(out, 0, echo); }

bool readCountReply(const uint8_t* bytes, size_t length, uint32_t echo, uint32_t& count) {
    if (length != 8 || readU32(bytes, 4) != echo) return false;
    count = readU32(bytes, 0);
    return true;
}

Waiter::Waiter() : fd(epoll_create1(EPOLL_CLOEXEC)) {}

Waiter::~Waiter() {
    if (fd >= 0) ::close(fd);
}

bool Waiter::watch(int descriptor) {
    if (fd < 0 || descriptor < 0) return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = descriptor;
    return epoll_ctl(fd, EPOLL_CTL_ADD, descriptor, &event) == 0;
}

void Waiter::wait(uint32_t ms) const {
    pollfd entry{fd, POLLIN, 0};
    ::poll(&entry, 1, static_cast<int>(ms));
}

}  // namespace kelvaro::client

extern "C" {

const char* kelvaro_strerror(kelvaro_status status) {
    switch (status) {
        case KELVARO_OK: return "done";
        case KELVARO_PENDING: return "under way";
        case KELVARO_ERR_ARGUMENT: return "bad argument";
        case KELVARO_ERR_MEMORY: return "out of memory";
        case KELVARO_ERR_SOCKET: return "a socket could not be opened or used";
        case KELVARO_ERR_TIMEOUT: return "no answer in time";
        case KELVARO_ERR_CLOSED: return "the directory closed the connection before its list";
        case KELVARO_ERR_MALFORMED: return "the directory sent a malformed list";
        case KELVARO_ERR_TOO_MANY: return "more zones than the caller's bound";
        case KELVARO_ERR_INCOMPLETE: return "a list did not come: zones are missing";
        case KELVARO_ERR_STATE: return "not possible in this state";
        case KELVARO_ERR_HTTP: return "the HTTP front answered with a status other than 200";
    }
    return "unknown status";
}

const char* kelvaro_version(void) { return KELVARO_VERSION_STRING; }

}  // extern "C"
