#pragma once
// The real server binary, started in a fresh temporary directory with its own
// kelvaro.ini, its stdin and stdout on pipes, optionally inside a named network
// namespace, with arguments, with stdin closed, or in the background of a
// pseudo-terminal (see ServerOptions). Output is read without blocking and matched line by line; every
// wait is bounded by a timeout and drains the output, so a chatty server never
// blocks on a full pipe while a test waits. The destructor kills and reaps a
// server that is still running, then removes the directory.
//
// The tools beside it run the same way (ToolRun): stdout and stderr on pipes,
// killed and reaped if the test ends before they do.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/tick_clock.h"
#include "support/temp_directory.h"

namespace kelvaro::testing_support {

// Settings that keep every timer out of the way; a test puts the keys it
// needs in front (the first occurrence of a key counts). The peer list holds
// a loopback address only, and a negative DownloadTime never passes, so no
// download starts however long the machine has been up.
constexpr const char* kE2eBaseSettings =
    "[CPU]\nSlowIteration=100000\nIterationSleepTime=5\n"
    "[Zone]\nSweepTime=-1\nDropLimit=10\nInitialHighPing=300\n"
    "[Directory]\nDownloadTime=-1\nStatsFile=stats.txt\nStatsWriteMinutes=-1\nIP=127.0.0.1\n";

constexpr int kDefaultWaitMs = 3000;
constexpr uint16_t kServerClientPort = 4990;
constexpr uint16_t kServerUpdatePort = 4991;
// The line that says the ports are open and the server is serving.
constexpr const char* kBannerLine = "Kelvaro (Build 3)";

// How the server is started beyond its settings.
struct ServerOptions {
    bool keyWaiting = false;       // a byte is already on stdin at the start
    std::string networkNamespace;  // a name under /var/run/netns
    std::vector<std::string> arguments;
    bool stdinClosed = false;      // descriptor 0 closed, as with `kelvaro <&-`
    // stdin is a pseudo-terminal whose foreground process group is another
    // process's, as for `kelvaro &` from an interactive shell.
    bool backgroundOnTerminal = false;
    bool stderrToOutput = false;   // stderr joins stdout in output()
};

// output() without the start-up report (its lines begin with "Settings:" or
// "Warning:") that comes before anything else.
inline std::string withoutReport(const std::string& output) {
    size_t start = 0;
    while (output.compare(start, 9, "Settings:") == 0 || output.compare(start, 8, "Warning:") == 0) {
        const size_t end = output.find('\n', start);
        if (end == std::string::npos) return {};
        start = end + 1;
    }
    return output.substr(start);
}

// How often part occurs in text (overlaps included), as when counting the
// lines of one kind in output().
inline size_t countOf(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++found;
    return found;
}

class ServerProcess {
    static ServerOptions optionsOf(bool keyWaiting, const std::string& networkNamespace) {
        ServerOptions options;
        options.keyWaiting = keyWaiting;
        options.networkNamespace = networkNamespace;
        return options;
    }

public:
    // Writes settings (followed by kE2eBaseSettings) and starts the server,
    // inside the network namespace of that name (under /var/run/netns) when
    // one is given. With keyWaiting, a byte is already on stdin when the
    // server starts.
    explicit ServerProcess(const std::string& settings, bool keyWaiting = false,
                           const std::string& networkNamespace = std::string{})
        : ServerProcess(settings, optionsOf(keyWaiting, networkNamespace)) {}

    ServerProcess(const std::string& settings, const ServerOptions& options) {
        directory.write("kelvaro.ini", settings + kE2eBaseSettings);
        const std::string namespacePath = options.networkNamespace.empty()
                                              ? std::string{}
                                              : "/var/run/netns/" + options.networkNamespace;
        int input[2] = {-1, -1};
        int output[2] = {-1, -1};
        int ready[2] = {-1, -1};
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0 ||
            pipe2(ready, O_CLOEXEC) != 0)
            return;
        if (options.keyWaiting) pressKey(input[1]);
        std::string terminalPath;
        if (options.backgroundOnTerminal && !openTerminal(terminalPath)) return;
        const std::string workingDirectory = directory.path();
        std::vector<char*> argv{const_cast<char*>("kelvaro")};
        for (const std::string& argument : options.arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            if (!namespacePath.empty()) {
                const int target = ::open(namespacePath.c_str(), O_RDONLY | O_CLOEXEC);
                if (target < 0 || setns(target, CLONE_NEWNET) != 0) _exit(125);
            }
            if (chdir(workingDirectory.c_str()) != 0) _exit(126);
            if (options.backgroundOnTerminal) {
                const int terminal = enterBackgroundOf(terminalPath.c_str(), ready);
                if (terminal < 0) _exit(124);
                dup2(terminal, STDIN_FILENO);
            } else if (options.stdinClosed) {
                ::close(STDIN_FILENO);
            } else {
                dup2(input[0], STDIN_FILENO);
            }
            dup2(output[1], STDOUT_FILENO);
            if (options.stderrToOutput) dup2(output[1], STDERR_FILENO);
            execv(KELVARO_BINARY, argv.data());
            _exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        ::close(ready[0]);
        ::close(ready[1]);
        stdinWrite = input[1];
        stdoutRead = output[0];
        fcntl(stdoutRead, F_SETFL, fcntl(stdoutRead, F_GETFL) | O_NONBLOCK);
    }

    ~ServerProcess() {
        if (running()) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (stdinWrite >= 0) ::close(stdinWrite);
        if (stdoutRead >= 0) ::close(stdoutRead);
        if (terminalMaster >= 0) ::close(terminalMaster);
    }

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool started() const { return pid > 0; }
    bool running() const { return pid > 0 && !exitStatus; }

    // Waits for a whole output line equal to line, after the last line matched
    // by an earlier call, so successive calls check the order of lines.
    bool waitForLine(const std::string& line, int timeoutMs = kDefaultWaitMs) {
        for (int waited = 0; waited <= timeoutMs; ++waited) {
            readOutput();
            if (matchLine(line)) return true;
            sleepMs(1);
        }
        return false;
    }

    // Everything the server printed so far.
    const std::string& output() {
        readOutput();
        return printed;
    }

    // Reads what the server printed so far without matching anything; tests
    // call it in their own waiting loops.
    void drain() { readOutput(); }

    bool pressKey() { return pressKey(stdinWrite); }
    // Closes the test's end of the server's stdout, as a reader that quits
    // does (`kelvaro | head -1`); later output is lost.
    void closeOutput() {
        readOutput();
        if (stdoutRead >= 0) ::close(stdoutRead);
        stdoutRead = -1;
    }
    bool signal(int number) { return running() && kill(pid, number) == 0; }

    // The exit code once the server has ended normally; nothing when it is
    // still running after timeoutMs or ended by a signal.
    std::optional<int> waitForExit(int timeoutMs = kDefaultWaitMs) {
        for (int waited = 0; waited <= timeoutMs && !exitStatus; ++waited) {
            readOutput();
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid)
                exitStatus = status;
            else
                sleepMs(1);
        }
        readOutput();
        if (!exitStatus || !WIFEXITED(*exitStatus)) return std::nullopt;
        return WEXITSTATUS(*exitStatus);
    }

    // Waits until the file in the server's directory holds exactly expected.
    // The server replaces the file whole, so a read never sees half of it.
    bool waitForFile(const std::string& name, const std::string& expected,
                     int timeoutMs = kDefaultWaitMs) {
        for (int waited = 0; waited <= timeoutMs; waited += 2) {
            readOutput();
            if (directory.read(name) == expected) return true;
            sleepMs(2);
        }
        return false;
    }

    TempDirectory directory;

private:
    // A new pseudo-terminal; its master stays with the test for the server's life.
    bool openTerminal(std::string& slavePath) {
        terminalMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminalMaster < 0 || grantpt(terminalMaster) != 0 || unlockpt(terminalMaster) != 0)
            return false;
        const char* name = ptsname(terminalMaster);
        if (name == nullptr) return false;
        slavePath = name;
        return true;
    }

    // In the child: a new session whose controlling terminal is the slave,
    // set up as a shell leaves a `&` job. A holder process takes the
    // terminal's foreground; a companion, child of the holder, joins the
    // server's process group so that the group is not orphaned (the system
    // only stops a background process with SIGTTOU when its group has a parent
    // in another group of the session). Both die with their parents. Returns
    // the terminal descriptor, or -1.
    static int enterBackgroundOf(const char* slavePath, const int (&ready)[2]) {
        if (setsid() < 0) return -1;
        const pid_t serverGroup = getpgrp();
        const int terminal = ::open(slavePath, O_RDWR);
        if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) return -1;
        const pid_t holder = fork();
        if (holder < 0) return -1;
        if (holder == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigaction(SIGTTOU, &ignore, nullptr);
            if (setpgid(0, 0) != 0) _exit(1);
            const pid_t companion = fork();
            if (companion == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                const timespec minute{60, 0};
                nanosleep(&minute, nullptr);
                _exit(0);
            }
            if (companion < 0 || setpgid(companion, serverGroup) != 0 ||
                tcsetpgrp(terminal, getpgrp()) != 0)
                _exit(1);
            const char done = 1;
            if (::write(ready[1], &done, 1) != 1) _exit(1);
            const timespec minute{60, 0};
            nanosleep(&minute, nullptr);
            _exit(0);
        }
        ::close(ready[1]);
        char done = 0;
        if (::read(ready[0], &done, 1) != 1) return -1;
        return terminal;
    }

    static bool pressKey(int descriptor) {
        const char key = 'q';
        return descriptor >= 0 && ::write(descriptor, &key, 1) == 1;
    }

    void readOutput() {
        char buffer[4096];
        // Bounded: a server printing without pause cannot hold the test here.
        for (int reads = 0; reads < 64 && stdoutRead >= 0; ++reads) {
            const ssize_t got = ::read(stdoutRead, buffer, sizeof buffer);
            if (got <= 0) break;
            printed.append(buffer, static_cast<size_t>(got));
        }
    }

    // A search that fails remembers how far it got, so waiting for a line
    // from a server that prints a lot rescans only what is new.
    bool matchLine(const std::string& line) {
        size_t start = pendingLine == line ? scannedUpTo : matchedUpTo;
        for (size_t end; (end = printed.find('\n', start)) != std::string::npos; start = end + 1) {
            if (printed.compare(start, end - start, line) == 0) {
                matchedUpTo = end + 1;
                pendingLine.reset();
                return true;
            }
        }
        pendingLine = line;
        scannedUpTo = start;
        return false;
    }

    pid_t pid = -1;
    std::optional<int> exitStatus;
    int stdinWrite = -1;
    int stdoutRead = -1;
    int terminalMaster = -1;
    std::string printed;
    size_t matchedUpTo = 0;
    std::optional<std::string> pendingLine;  // the line a failed search was looking for
    size_t scannedUpTo = 0;                  // where that search stopped
};

// What a tool run left behind.
struct ToolResult {
    std::optional<int> exitCode;  // nothing when killed or ended by a signal
    std::string out;
    std::string err;
    uint32_t elapsedMs = 0;
};

class ToolRun {
public:
    ToolRun(const char* tool, const std::vector<std::string>& arguments) {
        int outPipe[2] = {-1, -1};
        int errPipe[2] = {-1, -1};
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return;
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(tool));
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(outPipe[1], STDOUT_FILENO);
            dup2(errPipe[1], STDERR_FILENO);
            execv(tool, argv.data());
            _exit(127);
        }
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        outRead = outPipe[0];
        errRead = errPipe[0];
        fcntl(outRead, F_SETFL, O_NONBLOCK);
        fcntl(errRead, F_SETFL, O_NONBLOCK);
    }

    ~ToolRun() {
        if (pid > 0 && !finished) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (outRead >= 0) ::close(outRead);
        if (errRead >= 0) ::close(errRead);
    }

    bool signal(int number) { return pid > 0 && !finished && kill(pid, number) == 0; }

    // What the tool printed so far, without waiting for its end.
    void collect(ToolResult& result) {
        drainInto(outRead, result.out);
        drainInto(errRead, result.err);
    }

    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;

    // Waits for the tool to end, keeping the server's output drained (when
    // there is a server) so that it never stalls on a full pipe meanwhile.
    // What result already holds (from collect()) is kept and added to.
    ToolResult wait(ServerProcess* server, int timeoutMs, ToolResult result = {}) {
        const uint32_t start = tickCount();
        for (int waited = 0; waited <= timeoutMs && pid > 0 && !finished; ++waited) {
            collect(result);
            if (server != nullptr) server->drain();
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                finished = true;
                if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
            } else {
                sleepMs(1);
            }
        }
        collect(result);
        result.elapsedMs = elapsedMs(tickCount(), start);
        return result;
    }

private:
    static void drainInto(int descriptor, std::string& text) {
        char buffer[4096];
        for (int reads = 0; reads < 64 && descriptor >= 0; ++reads) {
            const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
            if (got <= 0) break;
            text.append(buffer, static_cast<size_t>(got));
        }
    }

    pid_t pid = -1;
    bool finished = false;
    int outRead = -1;
    int errRead = -1;
};

}  // namespace kelvaro::testing_support
