// The imx part as a host meets it on the terminal: the association handshake it waits for,
// registers and DCD tables, jumps that need an image vector table, and frames cut short, kept by
// default and dropped by a lenient ROM.
#include "SimulatedChip.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using chiptest::HostPort;
using chiptest::SimulatedChip;
using namespace std::chrono_literals;

std::string big(uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}
std::string little(uint32_t value) {
    return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
            static_cast<char>(value >> 24)};
}
std::string big16(uint16_t value) {
    return {static_cast<char>(value >> 8), static_cast<char>(value)};
}
std::string frame(uint16_t type, uint32_t address = 0, uint8_t format = 0, uint32_t count = 0,
                  uint32_t data = 0) {
    return big16(type) + big(address) + std::string(1, static_cast<char>(format)) + big(count) +
           big(data) + std::string(1, '\0');
}

const std::string kAssociation = "\x23\x45\x45\x23";
const std::string kHab = little(0x56787856);
const std::string kErrorStatus = frame(0x0505);
const std::string kStatusOk = kHab + little(0xF0F0F0F0);
const std::string kWritten = kHab + little(0x128A8A12);
const std::string kFileDone = kHab + little(0x88888888);

// A DCD table: header, then one command writing two 32-bit words and one setting bits.
std::string dcd() {
    const std::string write = "\xCC" + big16(20) + "\x04" + big(0x30000000) + big(0x11223344) +
                              big(0x30000004) + big(0x0000FF00);
    const std::string set = "\xCC" + big16(12) + "\x1C" + big(0x30000004) + big(0x0000000F);
    return "\xD2" + big16(static_cast<uint16_t>(4 + write.size() + set.size())) + "\x41" + write +
           set;
}

// An image vector table at address naming itself, with its entry point just behind it.
std::string ivt(uint32_t address) {
    return "\xD1" + std::string("\x00\x20\x40", 3) + little(address + 0x100) + little(0) +
           little(0) + little(0) + little(address) + little(0) + little(0);
}

struct Exchange {
    std::string send;
    std::string expect;
};
struct Dialogue {
    const char* name;
    std::vector<std::string> options;
    std::vector<Exchange> exchanges;
};

class ImxDialogue : public testing::TestWithParam<Dialogue> {};

TEST_P(ImxDialogue, RepliesAsTheRomDoes) {
    SimulatedChip chip(GetParam().options);
    HostPort host(chip.device, 115200);
    size_t step = 0;
    for (const Exchange& e : GetParam().exchanges) {
        host.send(e.send);
        ASSERT_EQ(testing::PrintToString(host.read(e.expect.size())),
                  testing::PrintToString(e.expect))
            << "step " << step;
        ++step;
    }
}

const std::string kImage(64, '\x5A');
// What a host does first, as a ROM on a UART takes nothing before it.
const Exchange kAssociate = {kAssociation, kAssociation};

INSTANTIATE_TEST_SUITE_P(
    Rom, ImxDialogue,
    testing::Values(
        Dialogue{"AssociationIsEchoed", {"--chip", "imx"}, {kAssociate, {kErrorStatus, kStatusOk}}},
        // Had the first ERROR_STATUS been answered, its reply would come before the echo.
        Dialogue{"NothingBeforeTheAssociation",
                 {"--chip", "imx"},
                 {{kErrorStatus + kAssociation, kAssociation}, {kErrorStatus, kStatusOk}}},
        Dialogue{
            "RegistersAndDcdTables",
            {"--chip", "imx"},
            {kAssociate,
             {frame(0x0A0A, 0x20200000, 0, static_cast<uint32_t>(dcd().size())) + dcd(), kWritten},
             {frame(0x0101, 0x30000000, 0x20, 8), kHab + little(0x11223344) + little(0xFF0F)},
             {frame(0x0202, 0x30000000, 0x20, 0, 0xCAFEF00D), kWritten},
             {frame(0x0101, 0x30000000, 0x20, 4), kHab + little(0xCAFEF00D)},
             {frame(0x0A0A, 0x20200000, 0, 4) + std::string("\xD3\x00\x04\x41", 4),
              kHab + little(0x3C3C3C3C)},
             {kErrorStatus, kHab + little(0x3C3C3C3C)}}},
        // With --banner the started image greets on the line: proof that the jump happened.
        Dialogue{"JumpNeedsAnImageVectorTable",
                 {"--chip", "imx", "--require-ivt", "--banner", "up"},
                 {kAssociate,
                  {frame(0x0404, 0x20000000, 0x20, 64) + kImage, kFileDone},
                  {frame(0x0B0B, 0x20000000), kHab + little(0x33333333)},
                  {frame(0x0404, 0x20001000, 0x20, 32) + ivt(0x20001000), kFileDone},
                  {frame(0x0B0B, 0x20001000), kHab + "up"}}},
        Dialogue{"UnknownFrameIsReportedByTheNextStatus",
                 {"--chip", "imx"},
                 {kAssociate, {frame(0x0707) + kErrorStatus, kHab + little(0x55555555)}}},
        // A lenient ROM takes frames from the first byte.
        Dialogue{"LenientWithoutAssociation",
                 {"--chip", "imx", "--lenient"},
                 {{kErrorStatus, kStatusOk}}}),
    [](const testing::TestParamInfo<Dialogue>& info) { return std::string(info.param.name); });

struct Framing {
    const char* name;
    std::vector<std::string> options;
    std::string firstReply;
};

class ImxFraming : public testing::TestWithParam<Framing> {};

// Three bytes of another protocol, then silence: a lenient ROM drops them and answers the
// ERROR_STATUS that follows; a chip counts them into a frame, so the same bytes make two unknown
// frames before the second ERROR_STATUS is answered with their error.
TEST_P(ImxFraming, PartialFrameAfterSilence) {
    SimulatedChip chip(GetParam().options);
    HostPort host(chip.device, 115200);
    host.send(kAssociation);
    ASSERT_EQ(testing::PrintToString(host.read(4)), testing::PrintToString(kAssociation));
    host.send("?\r\n");
    std::this_thread::sleep_for(300ms); // the silence the ROM may take as the end of a frame
    host.send(kErrorStatus + std::string(13, '\0') + kErrorStatus);
    EXPECT_EQ(testing::PrintToString(host.read(8)), testing::PrintToString(GetParam().firstReply));
}

INSTANTIATE_TEST_SUITE_P(
    Rom, ImxFraming,
    testing::Values(Framing{"Lenient", {"--chip", "imx", "--lenient"}, kStatusOk},
                    Framing{"Chip", {"--chip", "imx"}, kHab + little(0x55555555)}),
    [](const testing::TestParamInfo<Framing>& info) { return std::string(info.param.name); });

} // namespace
