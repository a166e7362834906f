#include "platform/wait.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <climits>

namespace kelvaro {
namespace {

int asPollTimeout(uint32_t timeoutMs) {
    return timeoutMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
}

}  // namespace

uint32_t waitForReadable(std::span<const int> descriptors, uint32_t timeoutMs) {
    constexpr size_t kMostDescriptors = 32;
    std::array<pollfd, kMostDescriptors> watched{};
    const size_t count = descriptors.size() < kMostDescriptors ? descriptors.size() : kMostDescriptors;
    for (size_t i = 0; i < count; ++i) watched[i] = {descriptors[i], POLLIN, 0};
    if (poll(watched.data(), count, asPollTimeout(timeoutMs)) <= 0) return 0;
    uint32_t ready = 0;
    for (size_t i = 0; i < count; ++i)
        if (watched[i].fd >= 0 && watched[i].revents != 0) ready |= 1u << i;
    return ready;
}

ReadableSet::ReadableSet(std::span<const int> descriptors) {
    count = descriptors.size() < kMostDescriptors ? descriptors.size() : kMostDescriptors;
    for (size_t i = 0; i < count; ++i) watched[i] = descriptors[i];
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < count && epollFd >= 0; ++i) {
        if (watched[i] < 0) continue;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, watched[i], &event) != 0) {
            // A descriptor epoll refuses (a regular file) would never be
            // reported: every wait goes through poll instead.
            ::close(epollFd);
            epollFd = -1;
        }
    }
}

ReadableSet::~ReadableSet() {
    if (epollFd >= 0) ::close(epollFd);
}

uint32_t ReadableSet::wait(uint32_t timeoutMs) {
    if (epollFd < 0) return waitForReadable(std::span<const int>(watched.data(), count), timeoutMs);
    std::array<epoll_event, kMostDescriptors> events{};
    const int ready = epoll_wait(epollFd, events.data(), static_cast<int>(count == 0 ? 1 : count),
                                 asPollTimeout(timeoutMs));
    uint32_t mask = 0;
    for (int i = 0; i < ready; ++i) mask |= 1u << events[static_cast<size_t>(i)].data.u32;
    return mask;
}

void ReadableSet::forget(size_t index) {
    if (index >= count || watched[index] < 0) return;
    if (epollFd >= 0) epoll_ctl(epollFd, EPOLL_CTL_DEL, watched[index], nullptr);
    watched[index] = -1;
}

}  // namespace kelvaro
