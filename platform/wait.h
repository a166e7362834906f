#pragma once
// Sleeping on descriptors instead of on the clock: the service pause that ends
// as soon as there is something to read.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvaro {

// Waits up to timeoutMs for any of the first 32 descriptors (negative ones
// are skipped) to be readable, or to report an error or hang-up, which a read
// would also see at once. Returns a mask with bit i set for descriptors[i]
// ready; 0 after the timeout or a signal.
uint32_t waitForReadable(std::span<const int> descriptors, uint32_t timeoutMs);

// The same wait over a set that stays the same from one wait to the next, as
// the service loop's does: the descriptors are handed to the kernel once
// (epoll), so a wait costs one call however many are watched, instead of a
// fresh registration of each on every wake. The set does not own the
// descriptors; they must outlive it or be forgotten first. Where epoll is not
// available every wait falls back to waitForReadable.
class ReadableSet {
public:
    static constexpr size_t kMostDescriptors = 32;

    // The first kMostDescriptors of descriptors, bit i standing for
    // descriptors[i]; negative ones are never reported.
    explicit ReadableSet(std::span<const int> descriptors);
    ~ReadableSet();
    ReadableSet(const ReadableSet&) = delete;
    ReadableSet& operator=(const ReadableSet&) = delete;

    // As waitForReadable.
    uint32_t wait(uint32_t timeoutMs);
    // Stops watching descriptors[index] (a pipe whose writer has gone stays
    // readable for good).
    void forget(size_t index);

private:
    std::array<int, kMostDescriptors> watched{};
    size_t count = 0;
    int epollFd = -1;
};

}  // namespace kelvaro
