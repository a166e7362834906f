#include "platform/random_source.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace kelvaro {

bool fillRandom(std::span<uint8_t> out, std::string& reason) {
    size_t filled = 0;
    // A signal can cut a read short; a handful of tries is plenty, and the
    // bound keeps a broken source from holding the start-up forever.
    for (int tries = 0; tries < 16 && filled < out.size(); ++tries) {
        const ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            reason = std::strerror(errno);
            return false;
        }
    }
    if (filled < out.size()) reason = "too few random bytes";
    return filled == out.size();
}

}  // namespace kelvaro
