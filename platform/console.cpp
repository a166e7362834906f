#include "platform/console.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace kelvaro {
namespace {

volatile std::sig_atomic_t stopSignal = 0;
termios savedTerminal{};
bool terminalChanged = false;
bool stdinIsTerminal = false;

void onStopSignal(int) { stopSignal = 1; }

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
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
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    installStopHandlers();
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

bool stopRequested() {
    if (stopSignal) return true;
    // Keys typed while the server runs in the background belong to the shell.
    if (stdinIsTerminal && !inForeground()) return false;
    int waiting = 0;
    return ioctl(STDIN_FILENO, FIONREAD, &waiting) == 0 && waiting > 0;
}

}  // namespace kelvaro
