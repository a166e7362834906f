#pragma once
// Collects everything the process prints to stdout while it lives, by
// pointing file descriptor 1 at a temporary file; the destructor restores it.

#include <unistd.h>

#include <cstdio>
#include <string>

namespace kelvaro::testing {

class StdoutCapture {
public:
    StdoutCapture() : sink(std::tmpfile()) {
        std::fflush(stdout);
        saved = dup(STDOUT_FILENO);
        if (sink != nullptr) dup2(fileno(sink), STDOUT_FILENO);
    }
    ~StdoutCapture() {
        std::fflush(stdout);
        if (saved >= 0) {
            dup2(saved, STDOUT_FILENO);
            ::close(saved);
        }
        if (sink != nullptr) std::fclose(sink);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything printed since construction or the last take(); the captured
    // text is then forgotten.
    std::string take() {
        std::fflush(stdout);
        std::string text;
        if (sink == nullptr) return text;
        std::fseek(sink, 0, SEEK_SET);
        char buffer[4096];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, sink)) > 0;)
            text.append(buffer, got);
        // Start over: truncate the file and point the descriptor back at 0.
        if (ftruncate(fileno(sink), 0) == 0) std::fseek(sink, 0, SEEK_SET);
        return text;
    }

private:
    std::FILE* sink;
    int saved = -1;
};

// What action prints. Capturing only around the action keeps the test
// framework's own failure reports on the real stdout.
template <typename Action>
std::string printedBy(Action&& action) {
    StdoutCapture capture;
    action();
    return capture.take();
}

}  // namespace kelvaro::testing
