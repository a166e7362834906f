#pragma once
// The real server binary as a child of a measurement program that drives it
// over loopback: its kelvaro.ini written into a directory of the program's,
// which becomes its working directory, its stdin and stdout on pipes. The
// output is read without blocking and handed over a whole line at a time; a
// server whose output nobody reads blocks on the full pipe, so the programs
// drain it in every waiting loop. stop() ends the server the way chosen at
// construction and kills it when it has not gone within five seconds; the
// destructor stops a server that is still running.
//
// Beside it, what the programs share about running it: a network of their own
// when run as root, the --ini argument's line ends and the binary's place in
// the build.

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace kelvaro::bench {

// The server's fixed ports on its default settings.
constexpr uint16_t kServerClientPort = 4990;
constexpr uint16_t kServerUpdatePort = 4991;

class ChildServer {
public:
    enum class Stop {
        KeyPress,   // the ordinary end, which writes the metrics file last
        Terminate,  // SIGTERM
    };

    explicit ChildServer(Stop how) : stopBy(how) {}
    ~ChildServer() { stop(); }
    ChildServer(const ChildServer&) = delete;
    ChildServer& operator=(const ChildServer&) = delete;

    // Writes ini as <directory>/kelvaro.ini and starts binary there; false
    // when the pipes or the process could not be made.
    bool start(const std::string& binary, const std::string& ini, const std::string& directory) {
        std::ofstream(directory + "/kelvaro.ini") << ini;
        int input[2];
        int output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(directory.c_str()) != 0) _exit(126);
            dup2(input[0], STDIN_FILENO);
            dup2(output[1], STDOUT_FILENO);
            execl(binary.c_str(), "kelvaro", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(input[0]);
        close(output[1]);
        stdinWrite = input[1];
        stdoutRead = output[0];
        fcntl(stdoutRead, F_SETFL, fcntl(stdoutRead, F_GETFL) | O_NONBLOCK);
        return pid_ > 0;
    }

    // A key press falls back to SIGTERM when the server's stdin is gone. The
    // output that comes meanwhile is read and dropped, so the server can
    // finish writing it.
    void stop() {
        if (pid_ > 0) {
            const char key = '\n';
            if (stopBy == Stop::Terminate || write(stdinWrite, &key, 1) != 1) kill(pid_, SIGTERM);
            for (int waited = 0; waited < 5000 && pid_ > 0; ++waited) {
                drain([](std::string_view) {});
                if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
                else usleep(1000);
            }
            if (pid_ > 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
            }
        }
        if (stdinWrite >= 0) close(stdinWrite);
        if (stdoutRead >= 0) close(stdoutRead);
        stdinWrite = stdoutRead = -1;
    }

    // Calls line(text) for each whole line printed since the last call; reads
    // at most 4 MiB, so a server printing without pause cannot hold the
    // caller here.
    template <typename Line>
    void drain(Line&& line) {
        char buffer[65536];
        for (int reads = 0; reads < 64 && stdoutRead >= 0; ++reads) {
            const ssize_t got = read(stdoutRead, buffer, sizeof buffer);
            if (got <= 0) break;
            partial.append(buffer, static_cast<size_t>(got));
        }
        size_t start = 0;
        for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1)
            line(std::string_view(partial.data() + start, end - start));
        partial.erase(0, start);
    }

    // Waits up to ms milliseconds for more output.
    void awaitOutput(int ms) const {
        pollfd watched{stdoutRead, POLLIN, 0};
        poll(&watched, 1, ms);
    }

    // User and system CPU time so far; 0 once the server has gone.
    double cpuSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')');
        if (close == std::string::npos) return 0;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long user = 0, system = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) user = std::strtoull(field.c_str(), nullptr, 10);
            if (i == 15) system = std::strtoull(field.c_str(), nullptr, 10);
        }
        return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    // The main thread's time on a CPU so far in seconds, to the nanosecond
    // where the kernel keeps scheduler statistics (cpuSeconds() counts 10 ms
    // ticks), else cpuSeconds(); 0 once the server has gone. The service loop
    // runs on the main thread; the state writer and HTTP threads do not count.
    double cpuPreciseSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/schedstat");
        unsigned long long runNs = 0;
        if (stat >> runNs) return static_cast<double>(runNs) / 1e9;
        return cpuSeconds();
    }

    // The resident set (VmRSS) in kB; 0 once the server has gone.
    long residentKb() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("VmRSS:")) return std::strtol(line.c_str() + 6, nullptr, 10);
        return 0;
    }

private:
    Stop stopBy;
    pid_t pid_ = -1;
    int stdinWrite = -1;
    int stdoutRead = -1;
    std::string partial;  // output after the last whole line
};

// Root may have a network of its own: only loopback, brought up here, so the
// server's fixed ports collide with nothing. False when it stays on the
// host's network.
inline bool isolateNetwork() {
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0) close(fd);
    return up;
}

// The --ini argument with each two-character "\n" made a line end, since a
// shell argument does not carry them easily.
// Built by appending: GCC 12 warns (-Wrestrict, wrongly) about replace() in
// place once this is inlined into a longer caller.
inline std::string withLineEnds(const std::string& ini) {
    std::string text;
    text.reserve(ini.size());
    for (size_t i = 0; i < ini.size(); ++i) {
        if (ini[i] == '\\' && i + 1 < ini.size() && ini[i + 1] == 'n') {
            text += '\n';
            ++i;
        } else {
            text += ini[i];
        }
    }
    return text;
}

// The server a program in <build>/bench/ runs unless told otherwise:
// <build>/kelvaro.
inline std::string serverBesideBench(const char* argv0) {
    return (std::filesystem::absolute(argv0).parent_path().parent_path() / "kelvaro").string();
}

}  // namespace kelvaro::bench
