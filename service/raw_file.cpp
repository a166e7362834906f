#include "service/raw_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kelvaro {
namespace {

constexpr int kOpenFlags = O_RDWR | O_CREAT | O_CLOEXEC;
constexpr mode_t kOwnerReadWrite = S_IRUSR | S_IWUSR;  // 0600
// A bound on retries of interrupted or short writes, so a file system that
// keeps accepting zero bytes cannot hold the service loop.
constexpr int kMaxWriteAttempts = 64;
constexpr const char* kTemporarySuffix = ".tmp";

}  // namespace

bool RawFile::open(const std::string& path) {
    close();
    handle = ::open(path.c_str(), kOpenFlags, kOwnerReadWrite);
    return handle >= 0;
}

bool RawFile::write(const void* bytes, size_t length) {
    if (handle < 0) return false;
    const auto* next = static_cast<const uint8_t*>(bytes);
    size_t left = length;
    for (int attempt = 0; left > 0 && attempt < kMaxWriteAttempts; ++attempt) {
        const ssize_t written = ::write(handle, next, left);
        if (written < 0 && errno != EINTR) return false;
        if (written <= 0) continue;
        next += written;
        left -= static_cast<size_t>(written);
    }
    return left == 0;
}

bool RawFile::close() {
    if (handle < 0) return true;
    const bool closed = ::close(handle) == 0;
    handle = -1;
    return closed;
}

FileReplacement::FileReplacement(std::string target)
    : path(std::move(target)), temporary(path + kTemporarySuffix) {
    // Opening does not truncate, so a temporary left behind by a crash must go.
    std::remove(temporary.c_str());
    if (!file.open(temporary)) fail();
}

FileReplacement::~FileReplacement() {
    if (committed) return;
    file.close();
    std::remove(temporary.c_str());
}

void FileReplacement::fail() {
    if (error == 0) error = errno != 0 ? errno : EIO;
}

bool FileReplacement::write(const void* bytes, size_t length) {
    if (error != 0) return false;
    if (!file.write(bytes, length)) fail();
    return error == 0;
}

bool FileReplacement::commit(mode_t mode, std::string& reason) {
    if (file.isOpen() && !file.close()) fail();
    if (error == 0 && mode != kOwnerReadWrite && chmod(temporary.c_str(), mode) != 0) fail();
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) fail();
    if (error == 0) {
        committed = true;
        return true;
    }
    reason = std::strerror(error);
    return false;
}

}  // namespace kelvaro
