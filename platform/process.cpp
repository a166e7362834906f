#include "platform/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kelvaro {

bool ensureStandardDescriptors() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) return false;
        // The lowest free descriptor is the closed one, since the lower ones
        // are open by now; dup2 covers any other case.
        if (opened != descriptor) {
            const bool moved = dup2(opened, descriptor) == descriptor;
            ::close(opened);
            if (!moved) return false;
        }
    }
    return true;
}

}  // namespace kelvaro
