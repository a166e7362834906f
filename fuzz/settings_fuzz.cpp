// Any kelvaro.ini: read with the ini reader and the settings loader, with a
// resolver that takes dotted quads only, so no name ever goes to the network.

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "service/server_settings.h"

using namespace kelvaro;

namespace {

std::string directory;

void removeDirectory() {
    std::remove((directory + "/" + kIniFileName).c_str());
    rmdir(directory.c_str());
}

uint32_t dottedQuadsOnly(const std::string& text) {
    in_addr parsed{};
    if (inet_aton(text.c_str(), &parsed) != 0) return parsed.s_addr;
    return INADDR_NONE;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    char pattern[] = "/tmp/kelvaro-settings-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    directory = pattern;
    std::atexit(removeDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = directory + "/" + kIniFileName;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
    ServerSettings settings;
    settings.load(directory, dottedQuadsOnly);
    if (settings.peerCount < 1 || settings.peerCount > kMaxPeers) __builtin_trap();
    const TransportSettings transport = settings.transport();
    if (transport.ChunkSize < kMinChunkSize || transport.ChunkSize > kMaxChunkSize) __builtin_trap();
    settings.zones();
    return 0;
}
