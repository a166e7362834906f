#pragma once
// Collects what the code under test prints. Console lines go through printf,
// so stdout is flushed on both sides of the capture.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace kelvaro::testing_support {

class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
    }
    ~StdoutCapture() {
        if (!taken) take();
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Ends the capture and returns everything printed since it began.
    std::string take() {
        std::fflush(stdout);
        taken = true;
        return ::testing::internal::GetCapturedStdout();
    }

private:
    bool taken = false;
};

}  // namespace kelvaro::testing_support
