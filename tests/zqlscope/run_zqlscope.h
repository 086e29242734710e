// zqlscope's commands run in the test process, as its main runs them, with
// what they print caught.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands.h"

namespace testbed {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

inline Outcome RunZqlscope(const std::vector<std::string> &args) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = zqlscope::RunCommandLine(args);
    std::string out = ::testing::internal::GetCapturedStdout();
    return Outcome{status, out, ::testing::internal::GetCapturedStderr()};
}

} // namespace testbed
