// A test that runs the Updater as a process with HOME in a scratch directory, so no run touches
// the real home; fails when the program is not built. For suites that define UPDATER_BIN.
#pragma once

#include "ProcessRunner.h"
#include "ScopedTempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

class UpdaterProcessFixture : public testing::Test {
  protected:
    void SetUp() override {
        // A program missing from the build is a failure, never a skipped test.
        ASSERT_FALSE(std::string(UPDATER_BIN).empty()) << "the Updater program is not built";
    }
    ProcessResult run(const std::vector<std::string>& args) {
        ProcessOptions options;
        options.environment["HOME"] = home.path();
        options.environment["TERM"] = "xterm";
        return runProcess(UPDATER_BIN, args, options);
    }

    ScopedTempDir home;
};

} // namespace testsupport
