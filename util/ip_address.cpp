#include "util/ip_address.h"

#include <arpa/inet.h>

namespace kelvaro {

std::string IpAddress::text() const {
    char buffer[INET6_ADDRSTRLEN] = {};
    inet_ntop(isV6() ? AF_INET6 : AF_INET, bytes.data(), buffer, sizeof buffer);
    return buffer;
}

std::string IpAddress::bracketedText() const { return isV6() ? "[" + text() + "]" : text(); }

IpAddress IpAddress::hostBlock() const {
    if (!isV6()) return *this;
    IpAddress block = *this;
    std::memset(block.bytes.data() + 8, 0, 8);
    return block;
}

bool parseIpAddress(std::string_view text, IpAddress& out) {
    // inet_pton needs a terminated string; no address text is longer than this.
    char buffer[INET6_ADDRSTRLEN] = {};
    if (text.empty() || text.size() >= sizeof buffer) return false;
    text.copy(buffer, text.size());
    uint8_t bytes[16] = {};
    if (inet_pton(AF_INET, buffer, bytes) == 1) {
        uint32_t v4 = 0;
        std::memcpy(&v4, bytes, 4);
        out = IpAddress(v4);
        return true;
    }
    if (inet_pton(AF_INET6, buffer, bytes) == 1) {
        out = IpAddress::fromV6(bytes);
        return true;
    }
    return false;
}

}  // namespace kelvaro
