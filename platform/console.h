#pragma once
// The console as the service loop sees it: a non-blocking "is a key waiting"
// test that never consumes the key, a stop request raised by SIGINT or SIGTERM,
// a reload request raised by SIGHUP, standard output that the loop flushes
// once per iteration, and a pause that a stop or reload request or a key ends
// at once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/wait.h"

namespace kelvaro {

// Owns the console set-up for one run of the service loop. While it lives,
// stdout is fully buffered (the loop calls flushConsole() after each
// iteration; the destructor flushes too), a terminal on stdin is in
// non-canonical no-echo mode (so a single key press is visible at once) when
// the process is in the terminal's foreground process group, SIGINT/SIGTERM
// raise the stop request and SIGHUP the reload request. SIGPIPE, SIGUSR1 and
// SIGUSR2 are ignored: a write to a closed pipe (`kelvaro | head -1`) is then
// a failed write like any other, and a stray signal never ends the server.
// The destructor restores the terminal, even from the background.
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

// True once for every run of SIGHUPs received since the previous call (several
// signals between two calls make one request).
bool takeReloadRequest();

// Hands everything printed so far to stdout's file, in order.
void flushConsole();

// Pauses up to timeoutMs, ending early when one of sockets is readable, a
// stop or reload signal arrives or a key is waiting. Stdin is watched only when it can
// announce a key without always looking readable: a terminal, or a pipe or
// socket until its writer hangs up (never a file or /dev/null). Built once,
// after the ConsoleSession, for the loop's sockets (the first 8), which it
// keeps registered from one pause to the next. A pause that found stdin quiet
// spares the next stopRequested() its look at stdin: a key arriving in
// between is seen at the following pause, which it ends at once.
class TrafficPause {
public:
    explicit TrafficPause(std::span<const int> sockets);

    // A mask with bit i set for sockets[i] found readable; 0 when the pause
    // ended for another reason or at its time limit. With gatherUs (traffic
    // is dense) the pause first sleeps that long, so that the datagrams of
    // the whole gather are read in one batch, and then looks: what arrived
    // meanwhile ends it at once, and only when nothing did does it wait as
    // usual. A signal cuts the sleep short; a key waits for its end.
    uint32_t pause(uint32_t timeoutMs, uint32_t gatherUs = 0);

private:
    static constexpr size_t kMostSockets = 8;
    struct Watched {
        std::array<int, kMostSockets + 2> descriptors{};
        size_t count = 0;
        size_t stdinSlot = 0;
    };
    static Watched watchedFor(std::span<const int> sockets);

    Watched watched;
    ReadableSet set;
};

}  // namespace kelvaro
