// bootrom-sim's command line: its help, refusals of bad options, and the device line it prints.
#include "ProcessRunner.h"
#include "SpawnedProgram.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class BootromSimCommandLine : public testing::Test {
  protected:
    void SetUp() override {
        if (std::string(BOOTROM_SIM_BIN).empty()) {
            GTEST_SKIP() << "bootrom-sim is not built";
        }
    }
};

TEST_F(BootromSimCommandLine, HelpAndRefusals) {
    auto help = testsupport::runProcess(BOOTROM_SIM_BIN, {"--help"}, {});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("Usage: bootrom-sim"), std::string::npos);
    for (std::vector<std::string> args : {std::vector<std::string>{"--chip", "z80"},
                                          {"--fault", "fire"},
                                          {"--uid", "1,2,3"},
                                          {"--baud"}}) {
        auto r = testsupport::runProcess(BOOTROM_SIM_BIN, args, {});
        EXPECT_EQ(r.exitStatus, 2) << args[0];
        EXPECT_NE(r.err.find("bootrom-sim --help"), std::string::npos) << r.err;
    }
}

TEST_F(BootromSimCommandLine, PrintsATerminalDeviceAndStopsOnSignal) {
    SpawnedProgram sim({BOOTROM_SIM_BIN, "--chip", "imx"});
    const auto line = sim.readLine(10s);
    ASSERT_TRUE(line);
    const std::string device = line->substr(line->rfind(' ') + 1);
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << device;
    EXPECT_EQ(isatty(fd), 1);
    close(fd);
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(10s), 0);
    EXPECT_NE(sim.output().find("received 0 bytes, sent 0 bytes"), std::string::npos);
}

} // namespace
