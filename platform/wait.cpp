#include "platform/wait.h"

#include <poll.h>

#include <array>
#include <climits>

namespace kelvaro {

uint32_t waitForReadable(std::span<const int> descriptors, uint32_t timeoutMs) {
    constexpr size_t kMostDescriptors = 32;
    std::array<pollfd, kMostDescriptors> watched{};
    const size_t count = descriptors.size() < kMostDescriptors ? descriptors.size() : kMostDescriptors;
    for (size_t i = 0; i < count; ++i) watched[i] = {descriptors[i], POLLIN, 0};
    const int timeout = timeoutMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX
                                                                   : static_cast<int>(timeoutMs);
    if (poll(watched.data(), count, timeout) <= 0) return 0;
    uint32_t ready = 0;
    for (size_t i = 0; i < count; ++i)
        if (watched[i].fd >= 0 && watched[i].revents != 0) ready |= 1u << i;
    return ready;
}

}  // namespace kelvaro
