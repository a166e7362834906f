#pragma once
// The console as the service loop sees it: a non-blocking "is a key waiting"
// test that never consumes the key, a stop request raised by SIGINT or SIGTERM,
// and standard output that reaches a pipe line by line.

namespace kelvaro {

// Owns the console set-up for one run of the service loop. While it lives,
// stdout is line-buffered, a terminal on stdin is in non-canonical no-echo mode
// (so a single key press is visible at once) when the process is in the
// terminal's foreground process group, and SIGINT/SIGTERM raise the stop
// request. The destructor restores the terminal, even from the background.
class ConsoleSession {
public:
    ConsoleSession();
    ~ConsoleSession();
    ConsoleSession(const ConsoleSession&) = delete;
    ConsoleSession& operator=(const ConsoleSession&) = delete;
};

// True while bytes are waiting on stdin, or once a stop signal has arrived.
// Never reads the bytes. Keys on a terminal count only while the process is in
// its foreground process group.
bool stopRequested();

}  // namespace kelvaro
