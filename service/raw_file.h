#pragma once
// The owner of one unbuffered file descriptor, and the whole-file replacement
// built on it that the statistics and metrics files are written with.
// Every write goes straight to the file, so what was written is there once
// write() returns; nothing is buffered in the process.

#include <sys/types.h>

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

// Replaces a file whole: the bytes go to "<path>.tmp", which commit() renames
// over path once everything is written, so a reader sees either the old file
// or the new one, never a missing or half-written one. Any failure (open,
// write, close, permissions or rename) leaves the old file as it was and
// removes the temporary; commit() then says why.
class FileReplacement {
public:
    explicit FileReplacement(std::string path);
    ~FileReplacement();  // removes the temporary unless committed
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // False once anything has failed; later writes are skipped.
    bool write(const void* bytes, size_t length);

    // Gives the new file the permissions mode (owner read and write when
    // 0600, as created) and renames it over path. False with reason set to
    // the system's word for the first failure.
    bool commit(mode_t mode, std::string& reason);

private:
    void fail();

    std::string path;
    std::string temporary;
    RawFile file;
    int error = 0;  // errno of the first failure, 0 while all is well
    bool committed = false;
};

}  // namespace kelvaro
