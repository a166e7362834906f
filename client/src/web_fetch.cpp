// The blocking fetch of /zones.json: one TCP connection, one HTTP/1.0 GET
// (so the answer is never chunked), the answer read whole within the
// time-out, then read by web_list.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common.h"
#include "platform/tick_clock.h"
#include "web_list.h"

namespace kelvaro::client {
namespace {

constexpr size_t kReadChunk = 65536;

// A descriptor closed with its owner.
class StreamSocket {
public:
    explicit StreamSocket(int family)
        : fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
    ~StreamSocket() {
        if (fd >= 0) ::close(fd);
    }
    StreamSocket(const StreamSocket&) = delete;
    StreamSocket& operator=(const StreamSocket&) = delete;

    const int fd;
};

bool connectTo(const StreamSocket& socket, const kelvaro_zone_entry& host, uint16_t port,
               bool& connected) {
    sockaddr_storage target{};
    socklen_t size = 0;
    if (host.family == KELVARO_FAMILY_IPV6) {
        auto& six = reinterpret_cast<sockaddr_in6&>(target);
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(port);
        std::memcpy(&six.sin6_addr, host.address_bytes, 16);
        size = sizeof six;
    } else {
        auto& four = reinterpret_cast<sockaddr_in&>(target);
        four.sin_family = AF_INET;
        four.sin_port = htons(port);
        four.sin_addr.s_addr = host.address;
        size = sizeof four;
    }
    const int result = ::connect(socket.fd, reinterpret_cast<const sockaddr*>(&target), size);
    connected = result == 0;
    return result == 0 || errno == EINPROGRESS;
}

// Whether the answer read so far is all there will be worth reading: a head
// that refuses it, or its Content-Length reached.
bool answerDone(const std::string& answer, uint32_t maxZones) {
    AnswerHead head;
    const HeadVerdict verdict = readAnswerHead(answer, head);
    if (verdict == HeadVerdict::Incomplete) return false;
    if (verdict == HeadVerdict::Malformed || head.status != 200) return true;
    if (!head.lengthKnown) return false;  // read to the end
    return head.contentLength > webAnswerLimit(maxZones) - head.bodyStart ||
           answer.size() - head.bodyStart >= head.contentLength;
}

// Sends the request and reads the answer into answer until the connection
// ends, answerDone holds or the answer passes its limit (then TOO_MANY).
// KELVARO_OK means the answer is as whole as it will get.
kelvaro_status exchange(const kelvaro_zone_entry& host, uint16_t port, uint32_t timeoutMs,
                        uint32_t maxZones, std::string& answer) {
    StreamSocket socket(host.family == KELVARO_FAMILY_IPV6 ? AF_INET6 : AF_INET);
    bool connected = false;
    if (socket.fd < 0 || !connectTo(socket, host, port, connected)) return KELVARO_ERR_SOCKET;
    const std::string request = webRequest(host, port);
    const size_t limit = webAnswerLimit(maxZones);
    size_t sent = 0;
    const uint32_t start = tickCount();
    // Each round waits or moves at least a byte; the count only guards
    // against a clock that stands still.
    const uint64_t mostRounds = static_cast<uint64_t>(limit) + request.size() + timeoutMs + 16;
    for (uint64_t round = 0; round < mostRounds; ++round) {
        const uint32_t waited = elapsedMs(tickCount(), start);
        if (waited > timeoutMs) return KELVARO_ERR_TIMEOUT;
        const bool sending = sent < request.size();
        pollfd entry{socket.fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(timeoutMs - waited) + 1);
        if (ready < 0 && errno != EINTR) return KELVARO_ERR_SOCKET;
        if (ready <= 0) continue;
        if (sending) {
            if (!connected) {
                int error = 0;
                socklen_t length = sizeof error;
                if (getsockopt(socket.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
                    return KELVARO_ERR_SOCKET;  // refused, unreachable
                connected = true;
            }
            const ssize_t written =
                ::send(socket.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (written > 0) sent += static_cast<size_t>(written);
            else if (written < 0 && errno != EAGAIN && errno != EINTR) return KELVARO_ERR_SOCKET;
            continue;
        }
        // One byte past the limit is enough to know it was passed.
        const size_t had = answer.size();
        answer.resize(had + std::min(kReadChunk, limit + 1 - had));
        const ssize_t got = ::recv(socket.fd, answer.data() + had, answer.size() - had, 0);
        answer.resize(had + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        if (got == 0 || (got < 0 && errno == ECONNRESET)) return KELVARO_OK;
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return KELVARO_ERR_SOCKET;
        }
        if (answer.size() > limit) return KELVARO_ERR_TOO_MANY;
        if (answerDone(answer, maxZones)) return KELVARO_OK;
    }
    return KELVARO_ERR_TIMEOUT;
}

kelvaro_status fetchWeb(const kelvaro_zone_entry& host, uint16_t port, uint32_t timeoutMs,
                        uint32_t maxZones, std::vector<kelvaro_web_zone>& zones) {
    std::string answer;
    const kelvaro_status status = exchange(host, port, timeoutMs, maxZones, answer);
    if (status != KELVARO_OK) return status;
    return readWebAnswer(answer, maxZones, zones);
}

}  // namespace
}  // namespace kelvaro::client

extern "C" {

kelvaro_status kelvaro_fetch_web(const char* address, uint16_t http_port, uint32_t timeout_ms,
                                 uint32_t max_zones, kelvaro_web_zone** zones, size_t* count) {
    using namespace kelvaro::client;
    if (zones == nullptr || count == nullptr) return KELVARO_ERR_ARGUMENT;
    *zones = nullptr;
    *count = 0;
    kelvaro_zone_entry host{};
    if (address == nullptr || !readAddress(address, true, host) || timeout_ms > kLongestTimeoutMs)
        return KELVARO_ERR_ARGUMENT;
    if (timeout_ms == 0) timeout_ms = KELVARO_DEFAULT_TIMEOUT_MS;
    if (max_zones == 0) max_zones = KELVARO_DEFAULT_MAX_ZONES;
    if (http_port == 0) http_port = KELVARO_HTTP_PORT;
    std::vector<kelvaro_web_zone> found;
    kelvaro_status status = KELVARO_ERR_MEMORY;
    // The answer may be large enough, up to its limit, for the allocation to
    // fail; that must not unwind into the caller's C.
    try {
        status = fetchWeb(host, http_port, timeout_ms, max_zones, found);
    } catch (const std::bad_alloc&) {
        return KELVARO_ERR_MEMORY;
    }
    if (status != KELVARO_OK || found.empty()) return status;
    *zones = new (std::nothrow) kelvaro_web_zone[found.size()];
    if (*zones == nullptr) return KELVARO_ERR_MEMORY;
    std::copy(found.begin(), found.end(), *zones);
    *count = found.size();
    return KELVARO_OK;
}

void kelvaro_free_web_zones(kelvaro_web_zone* zones) { delete[] zones; }

}  // extern "C"
