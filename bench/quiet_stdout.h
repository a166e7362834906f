#pragma once
// Sends the console lines of the code under measurement to /dev/null while
// it lives, so they do not mix with the benchmark's report.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace kelvaro {

class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved = dup(STDOUT_FILENO);
        const int sink = ::open("/dev/null", O_WRONLY);
        if (sink >= 0) {
            dup2(sink, STDOUT_FILENO);
            ::close(sink);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved >= 0) {
            dup2(saved, STDOUT_FILENO);
            ::close(saved);
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved = -1;
};

}  // namespace kelvaro
