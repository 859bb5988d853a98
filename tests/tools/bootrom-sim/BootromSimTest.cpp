// bootrom-sim's command line: its help, refusals of bad options, the device line it prints, and
// the i.MX part's liveloader that a jump brings up on USB emulation and a reset takes down.
#include "ProcessRunner.h"
#include "SimulatedChip.h"
#include "SpawnedProgram.h"

#include "corvane/Module.h"
#include "corvane/SystemClass.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class BootromSimCommandLine : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(std::string(BOOTROM_SIM_BIN).empty()) << "bootrom-sim is not built";
    }
};

TEST_F(BootromSimCommandLine, HelpAndRefusals) {
    auto help = testsupport::runProcess(BOOTROM_SIM_BIN, {"--help"}, {});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("Usage: bootrom-sim"), std::string::npos);
    EXPECT_NE(help.out.find("--line-end cr|lf"), std::string::npos);
    EXPECT_NE(help.out.find("--lenient"), std::string::npos);
    // Older scripts name the faithful behaviour; it is the default now and still accepted.
    SpawnedProgram old({BOOTROM_SIM_BIN, "--chip", "imx", "--check-rate", "--strict-framing",
                        "--require-association"});
    const auto started = old.readLine(10s);
    EXPECT_TRUE(started && started->find("bootrom-sim: imx on ") == 0) << old.errors();
    old.signal(SIGTERM);
    EXPECT_EQ(old.wait(10s), 0);
    for (std::vector<std::string> args : {std::vector<std::string>{"--chip", "z80"},
                                          {"--fault", "fire"},
                                          {"--uid", "1,2,3"},
                                          {"--usb-port", "65536"},
                                          {"--usb-model", "0"},
                                          {"--echo", "off"}, // needs --already-synced
                                          {"--already-synced", "--echo", "maybe"},
                                          {"--flip-bit", "0,ram,12"},
                                          {"--flip-bit", "1,pc,12"},
                                          {"--flip-bit", "1,count,32"},
                                          {"--flip-bit", "1,ram"},
                                          {"--line-end", "crlf"},
                                          {"--lenient", "--check-rate"}, // it turns rates off
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

// The started liveloader reports the chip identifier as SystemClass option 39, the last word at
// parameter 0 and the first at parameter 3. While it runs the ROM does not answer; its system
// reset puts the chip back into the ROM, which answers again.
TEST_F(BootromSimCommandLine, JumpHandsTheChipToTheLiveloaderUntilItResets) {
    chiptest::SimulatedChip sim({"--chip", "imx", "--uid", "11111111,22222222,33333333,4"});
    const std::string key = "CORVANE_USB_EMULATION";
    setenv(key.c_str(), sim.emulation.c_str(), 1);
    auto frame = [](uint8_t type, uint32_t address, uint8_t count) {
        std::string f(16, '\0');
        f[0] = f[1] = static_cast<char>(type);
        for (int i = 0; i < 4; ++i)
            f[2 + i] = static_cast<char>(address >> (24 - 8 * i));
        f[6] = 0x20;
        f[10] = static_cast<char>(count);
        return f;
    };
    const std::string hab = "\x56\x78\x78\x56";
    const std::string association = "\x23\x45\x45\x23";
    chiptest::HostPort host(sim.device, 115200);
    host.send(association);
    ASSERT_EQ(host.read(4), association);
    host.send(frame(0x04, 0x20000000, 16) + std::string(16, 'L'));
    ASSERT_EQ(host.read(8), hab + "\x88\x88\x88\x88");
    host.send(frame(0x0B, 0x20000000, 0));
    ASSERT_EQ(host.read(4), hab);
    ASSERT_TRUE(sim.awaitLine("liveloader up as DEADDEAD:13@127.0.0.1:"));
    // Answered, this would put HAB and "LLLL" before the status read at the end.
    host.send(frame(0x01, 0x20000000, 4));

    Corvane::Module module(0);
    aEtherConfig plain; // a plain USB link: no sharing server, nothing broadcast
    plain.enabled = false;
    plain.fallback = false;
    ASSERT_EQ(module.setConfig(plain), aErrNone);
    ASSERT_EQ(module.connect(USB, 0xDEADDEAD), aErrNone);
    Corvane::SystemClass system;
    system.init(&module, 0);
    std::vector<uint32_t> words;
    for (uint8_t parameter = 0; parameter < 4; ++parameter) {
        uint32_t word = 0;
        EXPECT_EQ(system.getUEI32(39, parameter, &word), aErrNone);
        words.push_back(word);
    }
    EXPECT_EQ(words, (std::vector<uint32_t>{4, 0x33333333, 0x22222222, 0x11111111}));
    EXPECT_EQ(system.reset(), aErrNone);
    module.disconnect();
    unsetenv(key.c_str());

    ASSERT_TRUE(sim.awaitLine("reset into the boot ROM"));
    host.send(association); // a reset chip waits for it again
    ASSERT_EQ(host.read(4), association);
    host.send(frame(0x05, 0, 0));
    EXPECT_EQ(host.read(8), hab + "\xF0\xF0\xF0\xF0");
    sim.stop();
}

} // namespace
