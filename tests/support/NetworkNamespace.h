// Runs one test inside a private network namespace, so that discovery traffic (multicast)
// never reaches the machine's real interfaces. The test binary runs itself again under
// `unshare -rn` (or `unshare -n`), with loopback up and a veth pair v0 (10.9.0.1/24) and v1
// (up, no address), selecting only the current test.
//
//   TEST(Suite, Name) {
//       if (!testsupport::enterNetworkNamespace()) return; // ran (or was skipped) outside
//       ... the test, inside the namespace ...
//   }
//
// A fixture whose SetUp starts programs wraps itself in SetUpInNetworkNamespace<Fixture>, so
// that they start only inside; its test bodies begin with the same line.
#pragma once

#include "ProcessRunner.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace testsupport {

inline constexpr const char* kNamespaceMark = "CORVANE_TEST_IN_NETNS";
inline constexpr uint32_t kNamespaceAddress = 0x0100090A; // 10.9.0.1, network byte order
inline constexpr const char* kNamespaceAddressText = "10.9.0.1";

inline bool insideNetworkNamespace() {
    return std::getenv(kNamespaceMark) != nullptr;
}

// The unshare options that make a network namespace here, or "" when none can be made.
inline std::string namespaceOption() {
    static const std::string option = [] {
        for (const char* candidate : {"-rn", "-n"}) {
            try {
                if (runProcess("/usr/bin/unshare", {candidate, "true"}).exitStatus == 0)
                    return std::string(candidate);
            } catch (...) {
            }
        }
        return std::string();
    }();
    return option;
}

// True inside the namespace (go on with the test). Outside it runs the current test in a new
// namespace, reports its outcome, and returns false; skips when namespaces are unavailable.
inline bool enterNetworkNamespace() {
    if (insideNetworkNamespace())
        return true;
    const std::string option = namespaceOption();
    if (option.empty()) {
        [] {
            GTEST_SKIP() << "network namespaces are unavailable here (unshare -rn and unshare -n "
                            "both fail); multicast tests never run on real interfaces";
        }();
        return false;
    }
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        ADD_FAILURE() << "cannot find the test binary";
        return false;
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    const std::string script = "ip link set lo up multicast on && "
                               "ip link add v0 type veth peer name v1 && "
                               "ip addr add 10.9.0.1/24 dev v0 && "
                               "ip link set v0 up multicast on && "
                               "ip link set v1 up multicast on && "
                               "exec \"$0\" \"$@\"";
    ProcessOptions options;
    options.environment[kNamespaceMark] = "1";
    options.deadline = std::chrono::milliseconds(120000);
    const ProcessResult result =
        runProcess("/usr/bin/unshare", {option, "/bin/sh", "-c", script, self, filter}, options);
    EXPECT_EQ(result.exitStatus, 0) << "inside the namespace:\n" << result.out << result.err;
    EXPECT_EQ(result.out.find("[  SKIPPED ]"), std::string::npos) << result.out;
    // A filter that selects nothing passes too: the one test must have run there.
    EXPECT_NE(result.out.find("[==========] 1 test from 1 test suite ran."), std::string::npos)
        << result.out;
    return false;
}

// Fixture's SetUp and TearDown run only inside the namespace: outside, the test body's
// enterNetworkNamespace() runs the test there and nothing of the fixture starts out here.
template <class Fixture> class SetUpInNetworkNamespace : public Fixture {
  protected:
    void SetUp() override {
        if (insideNetworkNamespace())
            Fixture::SetUp();
    }
    void TearDown() override {
        if (insideNetworkNamespace())
            Fixture::TearDown();
    }
};

} // namespace testsupport
