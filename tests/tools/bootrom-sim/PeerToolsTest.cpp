// Debian's own boot-ROM tools against the simulator as strict as a chip (its default): lpc21isp
// detects, programs and verifies the lpc part with either line end; imx_uart writes, verifies and
// starts an image on the imx part. The tools come from scripts/install-deps.sh; a missing one
// fails the test.
#include "ProcessRunner.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"
#include "SimulatedChip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using chiptest::findProgram;
using chiptest::SimulatedChip;
using namespace std::chrono_literals;

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string bytesOf(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Where two byte strings first differ (npos when equal), so a failure names an offset instead of
// printing kilobytes.
size_t firstDifference(const std::string& a, const std::string& b) {
    const auto [at, _] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return at == a.end() && a.size() == b.size() ? std::string::npos
                                                 : static_cast<size_t>(at - a.begin());
}

std::string little(uint32_t value) {
    return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
            static_cast<char>(value >> 24)};
}

class PeerTools : public testing::Test {
  protected:
    fs::path file(const std::string& name) const { return fs::path(dir.path()) / name; }
    static std::string tool(const std::string& name) {
        const std::string path = findProgram(name);
        EXPECT_FALSE(path.empty()) << name << " is not installed (scripts/install-deps.sh)";
        return path;
    }
    ScopedTempDir dir;
};

struct LpcRun {
    const char* name;
    std::vector<std::string> flags; // before the file
    bool programs;
};

class Lpc21isp : public PeerTools,
                 public testing::WithParamInterface<std::tuple<LpcRun, const char*>> {};

// The tool synchronises at 57600 on a chip paced at 115200: the ROM's auto-baud takes its rate.
TEST_P(Lpc21isp, RunsAgainstTheLpcPart) {
    const std::string lpc21isp = tool("lpc21isp");
    ASSERT_FALSE(lpc21isp.empty());
    const std::string firmware = bytesOf(testsupport::firmwareBytes(9000, 4));
    writeFile(file("firmware.bin"), firmware);
    const auto& [runCase, lineEnd] = GetParam();
    SimulatedChip chip({"--line-end", lineEnd, "--flash-dump", file("flash").string()});

    std::vector<std::string> args = runCase.flags;
    for (const std::string& a : {std::string("-bin"), file("firmware.bin").string(), chip.device,
                                 std::string("57600"), std::string("12000")})
        args.push_back(a);
    testsupport::ProcessOptions options;
    options.deadline = 120s;
    const auto run = testsupport::runProcess(lpc21isp, args, options);
    const std::string output = chip.stop();
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("0x26013F37"), std::string::npos) << run.out;
    if (!runCase.programs)
        return;
    EXPECT_NE(output.find("go to 0x00000000"), std::string::npos) << output;
    const std::string flash = testsupport::readBytes(file("flash"));
    ASSERT_EQ(flash.size(), 0x80000u);
    // The tool writes the vector table's checksum into word 7, as the ROM's boot check wants.
    EXPECT_EQ(firstDifference(flash.substr(0, 28), firmware.substr(0, 28)), std::string::npos);
    EXPECT_EQ(firstDifference(flash.substr(32, firmware.size() - 32), firmware.substr(32)),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Peer, Lpc21isp,
    testing::Combine(testing::Values(LpcRun{"Detect", {"-detectonly"}, false},
                                     LpcRun{"ProgramAndVerify", {"-verify"}, true}),
                     testing::Values("cr", "lf")),
    [](const testing::TestParamInfo<Lpc21isp::ParamType>& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param);
    });

// imx_uart reads the load address, the DCD and the jump address from the image's vector table,
// sends the DCD with DCD_WRITE, the image with WRITE_FILE, reads it back with READ_REGISTER and
// jumps. A ROM that jumped sends no status, so the tool takes the started image's first output
// for one (the banner) and ends.
TEST_F(PeerTools, ImxUartWritesVerifiesAndStartsAnImage) {
    const std::string imxUart = tool("imx_uart");
    ASSERT_FALSE(imxUart.empty());
    constexpr uint32_t kAt = 0x20000400;
    const std::string dcd = std::string("\xD2\x00\x10\x40\xCC\x00\x0C\x04", 8) +
                            std::string("\x30\x00\x00\x00\x00\x00\x00\x01", 8);
    std::string image = "\xD1" + std::string("\x00\x20\x40", 3) + little(kAt + 0x100) + little(0) +
                        little(kAt + 0x40) + little(kAt + 0x20) + little(kAt) + little(0) +
                        little(0);
    const std::string body = bytesOf(testsupport::firmwareBytes(3000, 6));
    image += little(kAt) + little(static_cast<uint32_t>(0x100 + body.size())) + little(0);
    image.resize(0x40, '\0');
    image += dcd;
    image.resize(0x100, '\0');
    image += body;
    writeFile(file("loader.imx"), image);
    // The transfer settings of a part with its DCD area at 0x20200000 and RAM at 0x20000000.
    writeFile(file("chip.conf"), "sim\nhid,1024,0x20200000,0x20000000,128K,0x20200000,256K\n");
    SimulatedChip chip({"--chip", "imx", "--require-ivt", "--banner", "U-Boot\r\n", "--ram-dump",
                        file("ram").string()});

    testsupport::ProcessOptions options;
    options.deadline = 60s;
    const auto run = testsupport::runProcess(
        imxUart, {"-v", "-n", chip.device, file("chip.conf").string(), file("loader.imx").string()},
        options);
    const std::string output = chip.stop();
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_NE(output.find("jump to 0x20000400"), std::string::npos) << output;
    const std::string ram = testsupport::readBytes(file("ram"));
    // The tool clears the DCD pointer of the header it sends: the DCD went ahead on its own.
    EXPECT_NE(ram.find(std::to_string(kAt) + " " + std::to_string(image.size()) + "\n" +
                       image.substr(0, 12)),
              std::string::npos);
    EXPECT_TRUE(ram.find(body) != std::string::npos) << "the image's body is in RAM";
}

} // namespace
