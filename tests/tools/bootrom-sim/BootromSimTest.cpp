// bootrom-sim's command line: its help, refusals of bad options, the device line it prints, and
// the i.MX part's liveloader that a jump brings up on USB emulation.
#include "ProcessRunner.h"
#include "SDPProtocol.h"
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
    for (std::vector<std::string> args : {std::vector<std::string>{"--chip", "z80"},
                                          {"--fault", "fire"},
                                          {"--uid", "1,2,3"},
                                          {"--usb-port", "65536"},
                                          {"--usb-model", "0"},
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
// parameter 0 and the first at parameter 3.
TEST_F(BootromSimCommandLine, JumpBringsUpTheLiveloaderOnUsbEmulation) {
    SpawnedProgram sim({BOOTROM_SIM_BIN, "--chip", "imx", "--uid", "11111111,22222222,33333333,4"});
    const auto line = sim.readLine(10s);
    const auto entry = sim.readLine(10s);
    ASSERT_TRUE(line && entry);
    const std::string key = "CORVANE_USB_EMULATION=";
    ASSERT_NE(entry->find(key), std::string::npos) << *entry;
    setenv(key.substr(0, key.size() - 1).c_str(),
           entry->substr(entry->find(key) + key.size()).c_str(), 1);

    SDPProtocol rom;
    rom.setTransport(sdpLoaderForPort(line->substr(line->rfind(' ') + 1)));
    ASSERT_EQ(rom.open(), aErrNone);
    const uint8_t loader[16] = {1, 2, 3};
    ASSERT_EQ(rom.writeFile(loader, sizeof loader, 0x20000000), SDPProtocol::WRITE_OK);
    rom.jumpAddress(0x20000000);
    ASSERT_TRUE(sim.readLine(10s)); // the jump
    const auto up = sim.readLine(10s);
    ASSERT_TRUE(up && up->find("liveloader up as DEADDEAD:13@127.0.0.1:") != std::string::npos);

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
    module.disconnect();
    unsetenv("CORVANE_USB_EMULATION");
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(10s), 0);
}

} // namespace
