// Boot-ROM recovery against bootrom-sim on a pseudo-terminal, as strict as a real chip (the
// simulator's default; the i.MX part also starts only images with a vector table): the NXP flow
// under each line fault and each flipped bit on ISPs that end lines at CR and at LF, images at
// the edges of the flash, the i.MX loader upload after the NXP probe, the Updater's -N and -U -t
// RECOVER end to end with the update server naming the module and build for the chip, and their
// rerun after a run killed inside a RAM write; for i.MX parts the firmware then goes to the
// liveloader over USB emulation.
#include "../../tools/bootrom-sim/SimulatedChip.h"
#include "BirdWriter.h"
#include "NxpIspClient.h"
#include "ProcessRunner.h"
#include "RecordingDisplay.h"
#include "Recovery.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"
#include "SpawnedProgram.h"
#include "UpdateServerProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBaud = 230400;    // the NXP flash runs at this rate; the tests stay short
constexpr uint32_t kImxBaud = 115200; // an i.MX ROM's UART runs at this rate only
constexpr const char* kUid = "12345678,9ABCDEF0,0F1E2D3C,4B5A6978";

// One simulator for one test: started with the given options, stopped (and its dumps written)
// by stop(). baud: where the line's pace starts (an LPC part then takes the host's rate).
class BootRomSim {
  public:
    explicit BootRomSim(std::vector<std::string> options, uint32_t baud = kBaud)
        : program_(arguments(std::move(options), baud)) {
        const auto line = program_.readLine(10s);
        if (!line || line->rfind(" on ") == std::string::npos) {
            throw std::runtime_error("bootrom-sim did not start");
        }
        device = line->substr(line->rfind(" on ") + 4);
        if (line->find("bootrom-sim: imx") == 0) {
            const auto entry = program_.readLine(10s);
            const std::string key = "CORVANE_USB_EMULATION=";
            if (!entry || entry->find(key) == std::string::npos) {
                throw std::runtime_error("bootrom-sim did not name the liveloader's entry");
            }
            emulation = entry->substr(entry->find(key) + key.size());
        }
    }
    std::string stop() {
        program_.signal(SIGTERM);
        EXPECT_EQ(program_.wait(10s), 0) << program_.errors();
        return program_.output();
    }
    std::string device;
    std::string emulation; // imx: the liveloader's CORVANE_USB_EMULATION entry

  private:
    static std::vector<std::string> arguments(std::vector<std::string> options, uint32_t baud) {
        const bool imx = std::find(options.begin(), options.end(), "imx") != options.end();
        options.insert(options.begin(),
                       {BOOTROM_SIM_BIN, "--baud", std::to_string(imx ? kImxBaud : baud)});
        if (imx) {
            options.push_back("--require-ivt");
        }
        return options;
    }
    SpawnedProgram program_;
};

struct Block {
    uint32_t address;
    Bytes bytes;
};

fs::path writeBlocks(const fs::path& path, const std::vector<Block>& blocks,
                     const std::string& serial = "") {
    BirdWriter writer;
    for (const Block& block : blocks) {
        writer.addFirmware(block.address, block.bytes);
    }
    writer.setInfoField(1, "3.0.0");
    if (!serial.empty()) {
        writer.setInfoField(2, serial);
    }
    std::string error;
    if (!writer.writeFile(path.string(), error, 1)) {
        throw std::runtime_error(error);
    }
    return path;
}

// A firmware image at flash address 0 ending with the 4-byte end block.
fs::path writeImage(const fs::path& path, const Bytes& firmware, const std::string& serial = "") {
    return writeBlocks(path, {{0, firmware}, {0x7F000, {1, 2, 3, 4}}}, serial);
}

// The flash holds the blocks and erased bytes everywhere else.
void expectFlash(const fs::path& dump, const std::vector<Block>& blocks) {
    const std::string flash = testsupport::readBytes(dump);
    ASSERT_EQ(flash.size(), 0x80000u);
    std::string expected(0x80000, '\xFF');
    for (const Block& block : blocks) {
        std::copy(block.bytes.begin(), block.bytes.end(), expected.begin() + block.address);
    }
    const auto [at, _] = std::mismatch(flash.begin(), flash.end(), expected.begin());
    EXPECT_EQ(at, flash.end()) << "the flash differs from byte 0x" << std::hex
                               << (at - flash.begin());
}

void expectFlash(const fs::path& dump, const Bytes& firmware) {
    expectFlash(dump, {{0, firmware}});
}

class Recovery : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(std::string(BOOTROM_SIM_BIN).empty()) << "bootrom-sim is not built";
    }
    fs::path file(const std::string& name) const { return fs::path(dir.path()) / name; }

    ScopedTempDir dir;
    RecordingDisplay display;
};

struct LineFault {
    const char* name;
    std::vector<std::string> options;
    uint32_t baud = kBaud; // where the chip's line starts
};

// LPC parts end a received line at CR or only at LF: every NXP test runs against both.
const auto kLineEnds = testing::Values("cr", "lf");

class NxpLineFaults : public Recovery,
                      public testing::WithParamInterface<std::tuple<LineFault, const char*>> {};

// Identification at the recovery's rate, a move to the faster one, then unlock, erase (one of
// them slower than 100 ms), RAM writes, copies and checks; the flash ends up holding the image
// whatever the line does. A RAM write that a flipped address bit sends elsewhere is seen and
// sent again; a chip that an earlier session left synchronised, echo on or off, is taken as it
// is.
TEST_P(NxpLineFaults, FlashHoldsTheImage) {
    const auto& [fault, lineEnd] = GetParam();
    std::vector<std::string> options = {
        "--uid", kUid, "--flash-dump", file("flash").string(), "--line-end", lineEnd};
    options.insert(options.end(), fault.options.begin(), fault.options.end());
    BootRomSim sim(options, fault.baud);
    const Bytes firmware = testsupport::firmwareBytes(9000, 3); // three chunks, the last short
    const BirdFile image(writeImage(file("image.bird"), firmware).string());

    ChipIdentifier id{};
    ASSERT_TRUE(nxpGetInfo(sim.device, kNxpIdentifyBaud, id));
    EXPECT_EQ(id, (ChipIdentifier{0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978}));
    EXPECT_TRUE(nxpFlashFirmware(display, image, sim.device, kBaud))
        << testing::PrintToString(display.errors());
    EXPECT_NE(sim.stop().find("go to 0x00000000"), std::string::npos);
    expectFlash(file("flash"), firmware);
    EXPECT_EQ(display.messages().at(0), "Transferring firmware block 1 of 1, 9000 bytes");
    EXPECT_EQ(std::count(display.calls.begin(), display.calls.end(), "showProgress(on)"), 1)
        << "one progress bar: the end block is not written";
    EXPECT_EQ(display.calls.front(), "spinner(on,Erasing the flash)") << "the erase takes seconds";
    EXPECT_EQ(display.calls.back(), "showProgress(off)");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, NxpLineFaults,
    testing::Combine(
        testing::Values(LineFault{"clean", {}}, LineFault{"strayByte", {"--fault", "stray-byte"}},
                        LineFault{"strayLineFeed", {"--fault", "stray-lf"}},
                        LineFault{"resendOnce", {"--fault", "resend-once"}},
                        LineFault{"slowErase", {"--slow-erase-ms", "700"}},
                        LineFault{"writeSentAChunkAway", {"--flip-bit", "1,ram,12"}},
                        LineFault{"writeShiftedALaterChunk", {"--flip-bit", "3,ram,4"}},
                        LineFault{
                            "synchronisedBeforeEchoOn", {"--already-synced"}, kNxpIdentifyBaud},
                        LineFault{"synchronisedBeforeEchoOff",
                                  {"--already-synced", "--echo", "off"},
                                  kNxpIdentifyBaud}),
        kLineEnds),
    [](const testing::TestParamInfo<NxpLineFaults::ParamType>& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param);
    });

struct ImageCase {
    const char* name;
    std::vector<Block> blocks;
    const char* refusal; // null: the blocks end up in flash
};

class NxpImages : public Recovery, public testing::WithParamInterface<ImageCase> {};

// A block in the last page of the flash is copied in pieces that stay inside it; an image with
// nothing to write, or a block the flash cannot hold, is refused before anything is erased.
TEST_P(NxpImages, WrittenWholeOrRefusedBeforeTheErase) {
    const ImageCase& c = GetParam();
    BootRomSim sim({"--erase-ms", "1", "--flash-dump", file("flash").string()});
    const BirdFile image(writeBlocks(file("image.bird"), c.blocks).string());
    ChipIdentifier id{};
    ASSERT_TRUE(nxpGetInfo(sim.device, kNxpIdentifyBaud, id));
    EXPECT_EQ(nxpFlashFirmware(display, image, sim.device, kBaud), c.refusal == nullptr)
        << testing::PrintToString(display.errors());
    const std::string output = sim.stop();
    if (c.refusal == nullptr) {
        expectFlash(file("flash"), c.blocks);
        EXPECT_EQ(display.messages().at(0), "Transferring firmware block 1 of 1, " +
                                                std::to_string(c.blocks[0].bytes.size()) +
                                                " bytes");
        return;
    }
    ASSERT_EQ(display.errors().size(), 1u);
    EXPECT_NE(display.errors()[0].find(c.refusal), std::string::npos) << display.errors()[0];
    const std::string flash = testsupport::readBytes(file("flash"));
    EXPECT_LT(std::count(flash.begin(), flash.end(), '\xFF'), 0x80000 / 16) << "nothing erased";
    EXPECT_EQ(output.find("go to"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Images, NxpImages,
    testing::Values(
        ImageCase{"lastPageOfTheFlash", {{0x7FD00, testsupport::firmwareBytes(600, 4)}}, nullptr},
        ImageCase{"onlyTheEndBlock", {{0x7F000, {1, 2, 3, 4}}}, "holds no firmware to write"},
        ImageCase{"pastTheEndOfTheFlash",
                  {{0x7FF00, testsupport::firmwareBytes(600, 4)}},
                  "does not fit the chip's 512 KiB of flash"},
        ImageCase{"offAPage",
                  {{0x1010, testsupport::firmwareBytes(64, 4)}},
                  "does not start on a 256-byte page"}),
    [](const testing::TestParamInfo<ImageCase>& info) { return std::string(info.param.name); });

class NxpFlippedCopies : public Recovery,
                         public testing::WithParamInterface<std::tuple<const char*, const char*>> {
};

// With the echo off only a check of the flash shows a copy that a flipped bit sent from the
// wrong RAM or to the wrong page. The recovery says so and fails, leaving the chip as the next
// run expects it: that run succeeds.
TEST_P(NxpFlippedCopies, AreCaughtAndTheNextRunSucceeds) {
    const auto& [bit, lineEnd] = GetParam();
    BootRomSim sim({"--erase-ms", "1", "--flip-bit", bit, "--flash-dump", file("flash").string(),
                    "--line-end", lineEnd});
    const Bytes firmware = testsupport::firmwareBytes(9000, 3);
    const BirdFile image(writeImage(file("image.bird"), firmware).string());
    ChipIdentifier id{};
    ASSERT_TRUE(nxpGetInfo(sim.device, kNxpIdentifyBaud, id));
    EXPECT_FALSE(nxpFlashFirmware(display, image, sim.device, kBaud));
    ASSERT_EQ(display.errors().size(), 1u);
    EXPECT_NE(display.errors()[0].find("does not hold what was written"), std::string::npos)
        << display.errors()[0];

    RecordingDisplay second;
    ASSERT_TRUE(nxpGetInfo(sim.device, kNxpIdentifyBaud, id));
    EXPECT_TRUE(nxpFlashFirmware(second, image, sim.device, kBaud))
        << testing::PrintToString(second.errors());
    sim.stop();
    expectFlash(file("flash"), firmware);
}

// The second copy's RAM address (to 0x10000000, and by one word), the third copy's page.
INSTANTIATE_TEST_SUITE_P(Bits, NxpFlippedCopies,
                         testing::Combine(testing::Values("2,ram,12", "2,ram,2", "3,flash,8"),
                                          kLineEnds),
                         [](const testing::TestParamInfo<NxpFlippedCopies::ParamType>& info) {
                             std::string name = std::string("line") + std::get<0>(info.param) +
                                                "_" + std::get<1>(info.param);
                             std::replace(name.begin(), name.end(), ',', '_');
                             return name;
                         });

TEST_F(Recovery, SilentChipFailsTheIdentification) {
    BootRomSim sim({"--fault", "no-answer"});
    ChipIdentifier id{};
    EXPECT_FALSE(nxpGetInfo(sim.device, kBaud, id));
}

// The NXP probe comes first on every port; the i.MX ROM that took its bytes into a frame must
// still take the loader, and the jump goes to the address of the loader-start block.
TEST_F(Recovery, ImxLoaderAfterTheNxpProbe) {
    BootRomSim sim({"--chip", "imx", "--ram-dump", file("ram").string()});
    ChipIdentifier id{};
    EXPECT_FALSE(nxpGetInfo(sim.device, kNxpIdentifyBaud, id));

    const Bytes first = testsupport::imxLoaderBytes(0x20000000, 3000, 1),
                second = testsupport::firmwareBytes(100, 2);
    BirdWriter writer;
    writer.addLoader(0x20000000, first);
    writer.addLoader(0x20010000, second);
    writer.addLoaderStart(0x20000000);
    const Bytes bytes = writer.fileBytes(1);
    const BirdFile image = BirdFile::fromMemory("loader.bird", bytes.data(), bytes.size());
    EXPECT_EQ(_load_liveloader_imx(display, image, sim.device), aErrNone)
        << testing::PrintToString(display.errors());

    EXPECT_NE(sim.stop().find("jump to 0x20000000"), std::string::npos);
    const std::string ram = testsupport::readBytes(file("ram"));
    const std::string expected = "536870912 3000\n" + std::string(first.begin(), first.end()) +
                                 "536936448 100\n" + std::string(second.begin(), second.end());
    EXPECT_EQ(ram, expected);
    // The upload shows its progress over both blocks.
    EXPECT_EQ(display.calls.front(), "showProgress(on)");
    EXPECT_EQ(display.calls.back(), "showProgress(off)");
    EXPECT_EQ(display.calls.end()[-2], "progress(1.000000,)");
}

class RecoveryProcess : public Recovery {
  protected:
    void SetUp() override {
        Recovery::SetUp();
        ASSERT_FALSE(std::string(UPDATER_BIN).empty() || std::string(UPDATE_SERVER_BIN).empty())
            << "the Updater or update-server is not built";
    }
    testsupport::ProcessResult updater(const std::vector<std::string>& args,
                                       const std::string& usbEmulation = "") {
        testsupport::ProcessOptions options;
        options.environment["HOME"] = file("home").string();
        options.environment["CORVANE_USB_EMULATION"] = usbEmulation;
        options.deadline = 60s;
        return testsupport::runProcess(UPDATER_BIN, args, options);
    }
};

class NxpProcess : public RecoveryProcess, public testing::WithParamInterface<const char*> {};

// The run before leaves the chip synchronised, as a real one stays: the recovery's second "?" is
// echoed alone, and the line end after it must end that line on either kind of ISP.
TEST_P(NxpProcess, FingerprintThenRecoveryFromTheServer) {
    const fs::path catalogue = file("catalogue");
    const Bytes firmware = testsupport::firmwareBytes(20000, 8);
    fs::create_directories(catalogue / "40F5849A");
    writeImage(catalogue / "40F5849A" / "7.bird", firmware, "40F5849A");
    testsupport::writeText(catalogue / "recovery",
                           "# chip fingerprint, module, build\n"
                           "12345678 9ABCDEF0 0F1E2D3C 4B5A6978 40F5849A 7\n");
    testsupport::UpdateServerProcess server(UPDATE_SERVER_BIN, catalogue.string(),
                                            file("server.log").string());
    BootRomSim sim(
        {"--uid", kUid, "--flash-dump", file("flash").string(), "--line-end", GetParam()});

    auto fingerprint = updater({"-N", "-s", sim.device});
    EXPECT_EQ(fingerprint.exitStatus, 0) << fingerprint.err;
    EXPECT_NE(fingerprint.out.find("[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]"), std::string::npos)
        << fingerprint.out;

    auto recovery = updater(
        {"-U", "-t", "RECOVER", "-s", sim.device, "-o", std::to_string(kBaud), "-u", server.url()});
    EXPECT_EQ(recovery.exitStatus, 0) << recovery.out << recovery.err;
    EXPECT_NE(recovery.out.find("Recovering firmware with build: 7"), std::string::npos)
        << recovery.out;
    EXPECT_NE(recovery.out.find("Rebooting Device"), std::string::npos);
    sim.stop();
    expectFlash(file("flash"), firmware);
}

// An earlier run that failed or was killed after turning the echo off left the chip so: the next
// one finds the chip synchronised and must not mistake it for an i.MX part.
TEST_P(NxpProcess, ChipLeftWithItsEchoOff) {
    BootRomSim sim({"--uid", kUid, "--already-synced", "--echo", "off", "--line-end", GetParam()},
                   kNxpIdentifyBaud);
    auto fingerprint = updater({"-N", "-s", sim.device});
    EXPECT_EQ(fingerprint.exitStatus, 0) << fingerprint.err;
    EXPECT_NE(fingerprint.out.find("[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]"), std::string::npos)
        << fingerprint.out;
}

// A run killed while it wrote to RAM: synchronised, its echo as it left it, "W 268439552 4096"
// and a few of the block's lines sent, then gone. The chip waits inside that data for good.
void interruptWrite(const std::string& device, bool echo) {
    chiptest::HostPort host(device, kNxpIdentifyBaud);
    const auto exchange = [&host](const std::string& line, const std::string& reply) {
        host.send(line);
        ASSERT_EQ(host.read(reply.size()), reply) << line;
    };
    exchange("?", "Synchronized\r\n");
    exchange("Synchronized\r\n", "Synchronized\r\nOK\r\n");
    exchange("14746\r\n", "14746\r\nOK\r\n");
    if (!echo) {
        exchange("A 0\r\n", "A 0\r\n0\r\n");
    }
    const std::string write = "W 268439552 4096\r\n";
    exchange(write, (echo ? write : "") + "0\r\n");
    const Bytes data = testsupport::firmwareBytes(5 * 45, 6);
    for (size_t at = 0; at < data.size(); at += 45) {
        const std::string line = NxpIspClient::uuEncodeLine(data.data() + at, 45) + "\r\n";
        exchange(line, echo ? line : "");
    }
}

class NxpInterruptedWrite : public RecoveryProcess,
                            public testing::WithParamInterface<std::tuple<const char*, bool>> {};

// The rerun cannot bring the chip back to commands (the block's earlier bytes and the count left
// are unknown, so no checksum can be made to match): -N and -U -t RECOVER both say plainly what
// to do, and neither goes on to treat the port as an i.MX part's.
TEST_P(NxpInterruptedWrite, RerunSaysToResetTheChip) {
    const auto& [lineEnd, echo] = GetParam();
    BootRomSim sim({"--uid", kUid, "--line-end", lineEnd}, kNxpIdentifyBaud);
    interruptWrite(sim.device, echo);
    ASSERT_FALSE(HasFatalFailure());
    const std::string plain =
        "Serial port " + sim.device +
        ": the NXP chip there is still inside a RAM write that an interrupted run left; reset it "
        "into its boot ROM (hold its ISP pin low while pulsing RESET or powering it up), then run "
        "the command again";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-N", "-s", sim.device},
          {"-U", "-t", "RECOVER", "-s", sim.device, "-u", "http://127.0.0.1:9"}}) {
        const auto run = updater(args);
        EXPECT_EQ(run.exitStatus, 1) << args[0];
        EXPECT_NE(run.err.find(plain), std::string::npos) << args[0] << ": " << run.err;
        for (const char* imx : {"i.MX", "liveloader", "association"}) {
            EXPECT_EQ((run.out + run.err).find(imx), std::string::npos)
                << args[0] << " mentions " << imx << ": " << run.out << run.err;
        }
    }
    sim.stop();
}

INSTANTIATE_TEST_SUITE_P(LineEnds, NxpInterruptedWrite,
                         testing::Combine(kLineEnds, testing::Bool()),
                         [](const testing::TestParamInfo<NxpInterruptedWrite::ParamType>& info) {
                             return std::string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "_echoOn" : "_echoOff");
                         });

// An interrupt in the middle of the NXP flash: the command in flight completes, the chip is left
// in command mode with its echo and rate as found, and the command the run prints writes the
// image after all.
TEST_P(NxpProcess, InterruptStopsBetweenCommandsAndTheRerunFinishes) {
    const Bytes firmware = testsupport::firmwareBytes(24000, 3);
    const fs::path image = writeImage(file("image.bird"), firmware);
    BootRomSim sim({"--uid", kUid, "--flash-dump", file("flash").string(), "--line-end", GetParam(),
                    "--erase-ms", "5"},
                   kNxpIdentifyBaud);
    const std::map<std::string, std::optional<std::string>> environment = {
        {"HOME", file("home").string()},
        {"PATH", fs::path(UPDATER_BIN).parent_path().string() + ":/usr/bin:/bin"}};
    SpawnedProgram run({UPDATER_BIN, "-U", "-t", "RECOVER", "-s", sim.device, "-d", "40F5849A",
                        "-f", image.string(), "-o", std::to_string(kBaud)},
                       false, environment);
    for (auto line = run.readLine(60s); line; line = run.readLine(60s))
        if (line->find("Transferring firmware block 1 of") != std::string::npos)
            break;
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(60s), 130) << run.output() << run.errors();
    const std::string& said = run.errors();
    EXPECT_NE(said.find("Interrupted: finishing the boot ROM command in flight on " + sim.device +
                        " so the chip stays in command mode"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("Recovery stopped by the interrupt: the chip on " + sim.device +
                        " is in its boot ROM's command mode with its flash erased"),
              std::string::npos)
        << said;
    const std::string rerun =
        "Updater -U -t RECOVER -s " + sim.device + " -d 40F5849A -f " + image.string();
    ASSERT_NE(said.find("\n  " + rerun + "\n"), std::string::npos) << said;

    testsupport::ProcessOptions options;
    for (const auto& [name, value] : environment)
        options.environment[name] = value;
    options.deadline = 120s;
    const auto again = testsupport::runProcess("/bin/sh", {"-c", rerun}, options);
    EXPECT_EQ(again.exitStatus, 0) << again.out << again.err;
    sim.stop();
    expectFlash(file("flash"), firmware);
}

INSTANTIATE_TEST_SUITE_P(LineEnds, NxpProcess, kLineEnds,
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

// A firmware image the virtual module recognises: the tag "CVFW", then build and version.
Bytes taggedFirmware(uint32_t build) {
    Bytes bytes = testsupport::firmwareBytes(5000, build);
    const uint8_t tag[12] = {'C', 'V', 'F', 'W', 0, 0, 0, uint8_t(build), 0x21, 0, 0, 7}; // 2.1.7
    std::copy(std::begin(tag), std::end(tag), bytes.begin() + 100);
    return bytes;
}

// A liveloader image under the placeholder serial number, as the server keeps them.
void writeLiveloader(const fs::path& path) {
    BirdWriter loader;
    loader.addLoader(0x20000000, testsupport::imxLoaderBytes(0x20000000, 4000, 5));
    loader.addLoaderStart(0x20000000);
    loader.setInfoField(1, "1.0.0");
    std::string error;
    fs::create_directories(path.parent_path());
    if (!loader.writeFile(path.string(), error, 1)) {
        throw std::runtime_error(error);
    }
}

TEST_F(RecoveryProcess, ImxRecoveryEndToEndFromTheServer) {
    const fs::path catalogue = file("catalogue");
    fs::create_directories(catalogue / "40F5849A");
    BirdWriter firmware;
    firmware.addFirmware(0x8000, taggedFirmware(7));
    firmware.setInfoField(1, "3.0.0");
    firmware.setInfoField(2, "40F5849A");
    std::string error;
    ASSERT_TRUE(firmware.writeFile((catalogue / "40F5849A" / "7.bird").string(), error, 1))
        << error;
    testsupport::writeText(catalogue / "recovery",
                           "12345678 9ABCDEF0 0F1E2D3C 4B5A6978 40F5849A 7\n");
    testsupport::UpdateServerProcess server(UPDATE_SERVER_BIN, catalogue.string(),
                                            file("server.log").string());
    BootRomSim sim({"--chip", "imx", "--uid", kUid});

    // A server without a liveloader: the run fails saying what it tried, and the store entry
    // that the attempt leaves does not keep the next run from asking the server again.
    auto without = updater({"-N", "-s", sim.device, "-u", server.url()}, sim.emulation);
    EXPECT_EQ(without.exitStatus, 1);
    EXPECT_NE(without.err.find("No liveloader image for DEADDEAD: the store holds none that "
                               "loads, and the update server at " +
                               server.url() + " gave none"),
              std::string::npos)
        << without.err;
    writeLiveloader(catalogue / "DEADDEAD" / "3.bird");

    // The fingerprint loads the liveloader the server keeps for chips in recovery and reads the
    // identifier through it; the liveloader is then reset, and the recovery loads it again.
    auto fingerprint = updater({"-N", "-s", sim.device, "-u", server.url()}, sim.emulation);
    EXPECT_EQ(fingerprint.exitStatus, 0) << fingerprint.out << fingerprint.err;
    EXPECT_NE(fingerprint.out.find("[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]"), std::string::npos)
        << fingerprint.out;

    auto recovery =
        updater({"-U", "-t", "RECOVER", "-s", sim.device, "-u", server.url()}, sim.emulation);
    EXPECT_EQ(recovery.exitStatus, 0) << recovery.out << recovery.err;
    EXPECT_NE(recovery.out.find("Recovering firmware with build: 7"), std::string::npos)
        << recovery.out;

    // The module that took the firmware now runs it, as discovery over USB shows.
    auto discovery = updater({"-D", "-t", "USB"}, sim.emulation);
    const size_t row = discovery.out.find("DEADDEAD");
    ASSERT_NE(row, std::string::npos) << discovery.out;
    EXPECT_NE(discovery.out.find("2.1.7 (         7)", row), std::string::npos) << discovery.out;
    const std::string output = sim.stop();
    EXPECT_NE(output.find("jump to 0x20000000"), std::string::npos) << output;
    EXPECT_NE(output.find("liveloader runs build 7"), std::string::npos) << output;
}

// A loader that starts nothing on USB ends the recovery after a bounded wait, naming what was
// waited for.
TEST_F(RecoveryProcess, ImxLiveloaderThatNeverAppears) {
    BootRomSim sim({"--chip", "imx", "--fault", "no-liveloader"});
    BirdWriter writer;
    writer.addLoader(0x20000400, testsupport::imxLoaderBytes(0x20000400, 2000, 4));
    writer.setInfoField(1, "1.0.0");
    std::string error;
    ASSERT_TRUE(writer.writeFile(file("loader.bird").string(), error, 1)) << error;

    auto result = updater({"-U", "-t", "RECOVER", "-s", sim.device, "-d", "40F5849A", "-f",
                           file("loader.bird").string()},
                          sim.emulation);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(
        result.err.find("The liveloader did not appear on USB as module DEADDEAD or 40F5849A"),
        std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("Could not get Device Identifier"), std::string::npos);
    EXPECT_NE(sim.stop().find("jump to 0x20000400"), std::string::npos);
}

// The image given for the recovery starts the liveloader but holds no firmware: nothing is sent
// to the module, and the run fails.
TEST_F(RecoveryProcess, ImxImageWithoutFirmwareIsRefused) {
    BootRomSim sim({"--chip", "imx", "--uid", kUid});
    BirdWriter writer;
    writer.addLoader(0x20000400, testsupport::imxLoaderBytes(0x20000400, 2000, 4));
    writer.setInfoField(1, "1.0.0");
    writer.setInfoField(2, "40F5849A");
    std::string error;
    ASSERT_TRUE(writer.writeFile(file("loader.bird").string(), error, 1)) << error;

    auto result = updater({"-U", "-t", "RECOVER", "-s", sim.device, "-d", "40F5849A", "-f",
                           file("loader.bird").string()},
                          sim.emulation);
    EXPECT_EQ(result.exitStatus, 1) << result.out;
    EXPECT_NE(result.err.find("holds no firmware to write"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("Transferred"), std::string::npos) << result.out;
    sim.stop();
}

TEST_F(RecoveryProcess, PortThatCannotBeOpenedIsNamedOnce) {
    const std::string port = file("ttyMissing").string();
    auto result = updater({"-N", "-s", port});
    EXPECT_EQ(result.exitStatus, 1);
    const std::string message = "serial port " + port + " does not exist";
    const size_t at = result.err.find(message);
    EXPECT_NE(at, std::string::npos) << result.err;
    EXPECT_EQ(result.err.find(message, at + 1), std::string::npos) << "said once";
}

} // namespace
