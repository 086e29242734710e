// A file name in the system's temporary folder, unique to the running test,
// for the files the zqlscope tests have the commands write.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace testbed {

inline std::filesystem::path TempPath(const std::string &name) {
    return std::filesystem::temp_directory_path() /
           ("zqlscope-test-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            name);
}

} // namespace testbed
