#pragma once
// The owner of one unbuffered file descriptor, used for the statistics file.
// Every write goes straight to the file, so what was written is there once
// write() returns; nothing is buffered in the process.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvaro {

class RawFile {
public:
    RawFile() = default;
    ~RawFile() { close(); }
    RawFile(const RawFile&) = delete;
    RawFile& operator=(const RawFile&) = delete;

    // Closes any file already open, then opens path for reading and writing,
    // creating it readable and writable by the owner only. An existing file
    // is not truncated: new bytes overwrite it from its start. Returns true
    // when a file is open.
    bool open(const std::string& path);

    // Writes all length bytes at the current position, retrying short writes.
    // False when no file is open or the system refused part of it.
    bool write(const void* bytes, size_t length);

    // Closes the file if one is open. False when the system reported an error
    // on closing (the written bytes may then be incomplete).
    bool close();

    bool isOpen() const { return handle >= 0; }

private:
    int32_t handle = -1;
};

}  // namespace kelvaro
