#pragma once
// Sleeping on descriptors instead of on the clock: the service pause that ends
// as soon as there is something to read.

#include <cstdint>
#include <span>

namespace kelvaro {

// Waits up to timeoutMs for any of the first 32 descriptors (negative ones
// are skipped) to be readable, or to report an error or hang-up, which a read
// would also see at once. Returns a mask with bit i set for descriptors[i]
// ready; 0 after the timeout or a signal.
uint32_t waitForReadable(std::span<const int> descriptors, uint32_t timeoutMs);

}  // namespace kelvaro
