#pragma once
// What the process needs from its start before anything else opens a file.

namespace kelvaro {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that a
// socket opened later can never land there and be taken for the console (a
// datagram on descriptor 0 would look like a key press). Returns false when
// one could not be opened.
bool ensureStandardDescriptors();

}  // namespace kelvaro
