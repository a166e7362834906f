#include "platform/console.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "platform/tick_clock.h"
#include "platform/wait.h"

namespace kelvaro {
namespace {

volatile std::sig_atomic_t stopSignal = 0;
volatile std::sig_atomic_t reloadSignal = 0;
termios savedTerminal{};
bool terminalChanged = false;
bool stdinIsTerminal = false;
// A byte lands here on a stop or reload signal, so a pause waiting on the
// read end ends at once. Drained when a reload request is taken (after a stop
// the loop ends anyway, so a stop byte may stay) and never closed, so a late
// signal cannot write into a descriptor reused since.
int stopPipe[2] = {-1, -1};
bool watchStdin = false;
// Set by a pause that watched stdin and found nothing on it; the next stop
// test takes it instead of asking the kernel again.
bool stdinQuiet = false;
// Big enough for many iterations' lines between two flushes.
constexpr size_t kStdoutBufferSize = 1 << 16;

void wakePause() {
    const int savedErrno = errno;
    if (stopPipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(stopPipe[1], &byte, 1);
    }
    errno = savedErrno;
}

void onStopSignal(int) {
    stopSignal = 1;
    wakePause();
}

void onReloadSignal(int) {
    reloadSignal = 1;
    wakePause();
}

// A terminal, a pipe or a socket becomes readable when a key arrives; a file
// or /dev/null is always readable and would turn every pause into a spin.
bool stdinCanAnnounceKeys() {
    struct stat status {};
    if (fstat(STDIN_FILENO, &status) != 0) return false;
    if (S_ISCHR(status.st_mode)) return isatty(STDIN_FILENO) != 0;
    return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = onReloadSignal;
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = SIG_IGN;
    for (const int ignored : {SIGPIPE, SIGUSR1, SIGUSR2}) sigaction(ignored, &action, nullptr);
}

// A process outside the terminal's foreground process group is stopped by
// SIGTTOU when it changes the terminal's modes: a background start must leave
// them alone.
bool inForeground() { return tcgetpgrp(STDIN_FILENO) == getpgrp(); }

void enterKeyMode() {
    stdinIsTerminal = isatty(STDIN_FILENO) != 0;
    if (!stdinIsTerminal || !inForeground() || tcgetattr(STDIN_FILENO, &savedTerminal) != 0)
        return;
    termios raw = savedTerminal;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    terminalChanged = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

}  // namespace

ConsoleSession::ConsoleSession() {
    std::setvbuf(stdout, nullptr, _IOFBF, kStdoutBufferSize);
    if (pipe2(stopPipe, O_NONBLOCK | O_CLOEXEC) != 0) stopPipe[0] = stopPipe[1] = -1;
    watchStdin = stdinCanAnnounceKeys();
    installSignalHandlers();
    enterKeyMode();
}

ConsoleSession::~ConsoleSession() {
    if (terminalChanged) {
        // The shell may have moved the process to the background meanwhile;
        // restoring must not stop it then.
        sigset_t ttou;
        sigset_t previous;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        sigprocmask(SIG_BLOCK, &ttou, &previous);
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
    }
    terminalChanged = false;
    std::fflush(stdout);
}

void flushConsole() { std::fflush(stdout); }

TrafficPause::Watched TrafficPause::watchedFor(std::span<const int> sockets) {
    Watched watched;
    for (const int socket : sockets)
        if (watched.count < kMostSockets) watched.descriptors[watched.count++] = socket;
    watched.stdinSlot = watched.count;
    watched.descriptors[watched.count++] = watchStdin ? STDIN_FILENO : -1;
    watched.descriptors[watched.count++] = stopPipe[0];
    return watched;
}

TrafficPause::TrafficPause(std::span<const int> sockets)
    : watched(watchedFor(sockets)),
      set(std::span<const int>(watched.descriptors.data(), watched.count)) {}

uint32_t TrafficPause::pause(uint32_t timeoutMs, uint32_t gatherUs) {
    uint32_t ready = 0;
    if (gatherUs > 0) {
        // Traffic is expected: sleeping first and looking after costs one
        // wake for the whole gather, where waiting for the first datagram
        // and then sleeping would cost two.
        sleepUs(gatherUs);
        ready = set.wait(0);
    }
    if (ready == 0) ready = set.wait(timeoutMs);
    const uint32_t stdinBit = 1u << watched.stdinSlot;
    const uint32_t socketBits = stdinBit - 1;
    stdinQuiet = watchStdin && (ready & stdinBit) == 0;
    // A pipe whose writer has gone stays readable with nothing to read: no
    // key can come from it any more, so it is not watched again.
    if (watchStdin && (ready & stdinBit) != 0 && !stopRequested()) {
        watchStdin = false;
        set.forget(watched.stdinSlot);
    }
    return ready & socketBits;
}

bool takeReloadRequest() {
    if (!reloadSignal) return false;
    reloadSignal = 0;
    // Cleared before the drain: a SIGHUP landing in between leaves its flag
    // set for the next call, at worst with its byte already read.
    char bytes[64];
    for (int reads = 0; reads < 16 && stopPipe[0] >= 0; ++reads)
        if (read(stopPipe[0], bytes, sizeof bytes) <= 0) break;
    return true;
}

bool stopRequested() {
    if (stopSignal) return true;
    if (stdinQuiet) {
        stdinQuiet = false;
        return false;
    }
    // Keys typed while the server runs in the background belong to the shell.
    if (stdinIsTerminal && !inForeground()) return false;
    int waiting = 0;
    return ioctl(STDIN_FILENO, FIONREAD, &waiting) == 0 && waiting > 0;
}

}  // namespace kelvaro
