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

void onStopSignal(int) { stopSignal = 1; }

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void enterKeyMode() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
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
    if (terminalChanged) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    terminalChanged = false;
    std::fflush(stdout);
}

bool stopRequested() {
    if (stopSignal) return true;
    int waiting = 0;
    return ioctl(STDIN_FILENO, FIONREAD, &waiting) == 0 && waiting > 0;
}

}  // namespace kelvaro
