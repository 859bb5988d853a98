// The lpc part as a host meets it on the terminal: line endings of both kinds of ISP, refusals
// with the ROM's codes, flash that must be erased before it holds data, the UART's rate, and the
// states and faults a host may find it in.
#include "NxpIspClient.h"
#include "SimulatedChip.h"

#include <gtest/gtest.h>

namespace {

using chiptest::HostPort;
using chiptest::SimulatedChip;

constexpr const char* kPartId = "637615927"; // 0x26013F37

struct Exchange {
    std::string send;
    std::string expect;   // read back exactly
    uint32_t rate = 0;    // the host switches its port to this rate first; 0 keeps it
    bool garbled = false; // expect as many bytes as sent, none of them plain ASCII
};

struct Dialogue {
    std::string name;
    std::vector<std::string> options;
    std::vector<Exchange> exchanges;
};

std::vector<Exchange> operator+(std::vector<Exchange> a, const std::vector<Exchange>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<Exchange> kSync = {
    {"?", "Synchronized\r\n"},
    {"Synchronized\r\n", "Synchronized\r\nOK\r\n"},
    {"12000\r\n", "12000\r\nOK\r\n"},
};
// After it, every reply is the return code alone.
const std::vector<Exchange> kSyncEchoOff =
    kSync + std::vector<Exchange>{{"A 0\r\n", "A 0\r\n0\r\n"}};
const std::vector<Exchange> kUnlock = {{"U 23130\r\n", "0\r\n"}};

std::vector<Exchange> refusals(const std::vector<std::pair<std::string, int>>& table) {
    std::vector<Exchange> out;
    for (const auto& [line, code] : table)
        out.push_back({line + "\r\n", std::to_string(code) + "\r\n"});
    return out;
}

class LpcDialogue : public testing::TestWithParam<Dialogue> {};

TEST_P(LpcDialogue, RepliesAsTheRomDoes) {
    SimulatedChip chip(GetParam().options);
    HostPort host(chip.device, 115200);
    size_t step = 0;
    for (const Exchange& e : GetParam().exchanges) {
        if (e.rate != 0)
            host.setRate(e.rate);
        host.send(e.send);
        const std::string reply = host.read(e.garbled ? e.send.size() : e.expect.size());
        if (e.garbled) {
            ASSERT_EQ(reply.size(), e.send.size()) << "step " << step;
            for (char c : reply)
                EXPECT_GE(static_cast<uint8_t>(c), 0x80) << "step " << step;
        } else {
            ASSERT_EQ(reply, e.expect) << "step " << step << ": " << e.send;
        }
        ++step;
    }
}

// Lines ended by CR LF read the same on an ISP that ends lines at CR and on one that ends them at
// LF alone: such dialogues run on both.
std::vector<Dialogue> onBothLineEnds(const std::vector<Dialogue>& dialogues) {
    std::vector<Dialogue> out;
    for (const Dialogue& dialogue : dialogues) {
        for (const char* end : {"cr", "lf"}) {
            Dialogue d = dialogue;
            d.name += std::string("_") + end;
            d.options.insert(d.options.end(), {"--line-end", end});
            out.push_back(std::move(d));
        }
    }
    return out;
}

std::vector<Dialogue> dialogues() {
    std::vector<Dialogue> all = onBothLineEnds({
        Dialogue{
            "LinesEndedByCrLf",
            {},
            kSync + std::vector<Exchange>{{"J\r\n", "J\r\n0\r\n" + std::string(kPartId) + "\r\n"}}},
        Dialogue{"CrystalLineMustBeANumber",
                 {},
                 {{"?", "Synchronized\r\n"},
                  {"Synchronized\r\n", "Synchronized\r\nOK\r\n"},
                  {"12 MHz\r\n", "12 MHz\r\n"}, // echoed, not answered
                  {"12000\r\n", "12000\r\nOK\r\n"}}},
        Dialogue{"LockedUntilUnlocked",
                 {},
                 kSyncEchoOff + refusals({{"E 0 0", 15},
                                          {"C 0 268439552 256", 15},
                                          {"G 0 T", 15},
                                          {"U 12345", 16},
                                          {"P 0 0", 0},
                                          {"U 23130", 0},
                                          {"E 0 0", 0}})},
        Dialogue{"ArgumentsRefusedWithTheRomsCodes",
                 {},
                 kSyncEchoOff + kUnlock +
                     refusals({{"X 1", 1},
                               {"W 268439552", 12},
                               {"W 0x10001000 4", 12},
                               {"A 2", 12},
                               {"W 268439553 4", 13},
                               {"W 268439552 6", 6},
                               {"W 0 4", 14},
                               {"W 268468220 8", 14}, // runs past the end of RAM
                               {"R 2 4", 13},
                               {"M 0 6 4", 13},
                               {"M 0 4 6", 6},
                               {"M 0 1879048192 4", 14},
                               {"P 5 3", 7},
                               {"I 0 30", 7},
                               {"C 0 268439554 256", 2},
                               {"C 128 268439552 256", 3},
                               {"C 0 268439552 300", 6},
                               {"C 0 4 256", 4},
                               {"C 524288 268439552 256", 5},
                               {"C 0 268439552 256", 9}, // not prepared
                               {"G 2 T", 13},
                               {"G 0 A", 12},
                               {"G 1879048192 T", 14},
                               {"B 1200 1", 17},
                               {"B 9600 3", 18}})},
        // The UART takes the rate of the "?" and changes it only with B: bytes at another rate
        // are garbled both ways, and the ROM's answer to them is no answer at all.
        Dialogue{"RateFixedAtSynchronisationUntilB",
                 {"--baud", "230400"},
                 kSync +
                     std::vector<Exchange>{
                         {"J\r\n", "", 57600, true},
                         {"\r\n", "\r\n1\r\n", 115200},
                         {"B 57600 1\r\n", "B 57600 1\r\n0\r\n"},
                         {"J\r\n", "J\r\n0\r\n" + std::string(kPartId) + "\r\n", 57600}}},
        // An earlier session left the chip synchronised with echo off: it takes commands at once.
        Dialogue{"AlreadySynchronisedWithEchoOff",
                 {"--already-synced", "--echo", "off"},
                 {{"?\r\n", "1\r\n"}, {"J\r\n", "0\r\n" + std::string(kPartId) + "\r\n"}}},
        // The second W or C line's RAM address loses bit 12 on the way in; the echo shows it.
        Dialogue{"FlippedBitShowsInTheEcho",
                 {"--already-synced", "--flip-bit", "2,ram,12"},
                 {{"W 268439552 4\r\n", "W 268439552 4\r\n0\r\n"},
                  {"$````````\r\n0\r\n", "$````````\r\n0\r\nOK\r\n"},
                  {"C 0 268439552 256\r\n", "C 0 268435456 256\r\n15\r\n"},
                  {"W 268439552 4\r\n", "W 268439552 4\r\n0\r\n"}}},
    });
    all.push_back(
        Dialogue{"LinesEndedByCrOrLfAlone",
                 {},
                 {{"?", "Synchronized\r\n"},
                  {"Synchronized\r", "Synchronized\rOK\r\n"},
                  {"12000\n", "12000\nOK\r\n"},
                  {"\r\n\rK\r", "\r\n\rK\r0\r\n1\r\n4\r\n"}, // empty lines are no commands
                  {"N\n", "N\n0\r\n305419896\r\n2596069104\r\n253635900\r\n1264216440\r\n"}}});
    // A CR is swallowed: it ends nothing, and shows only with the LF that ends the line.
    all.push_back(Dialogue{"LinesEndedByLfAlone",
                           {"--line-end", "lf"},
                           {{"?", "Synchronized\r\n"},
                            {"Synchronized\r", "Synchronized"},
                            {"\n", "\r\nOK\r\n"},
                            {"12000\n", "12000\nOK\r\n"},
                            {"?\r", "?"}, // an earlier session's "?" and CR: nothing more
                            {"\r\n", "\r\n1\r\n"},
                            {"J\rK\r\n", "JK\r\n1\r\n"}, // a CR inside a line is lost
                            {"K\r\n", "K\r\n0\r\n1\r\n4\r\n"}}});
    // Kinder than a chip: the line carries any rate.
    all.push_back(Dialogue{
        "LenientLineCarriesAnyRate",
        {"--lenient", "--baud", "230400"},
        kSync +
            std::vector<Exchange>{{"J\r\n", "J\r\n0\r\n" + std::string(kPartId) + "\r\n", 57600}}});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Rom, LpcDialogue, testing::ValuesIn(dialogues()),
                         [](const testing::TestParamInfo<Dialogue>& info) {
                             return info.param.name;
                         });

std::string uuDecode(const std::string& line) {
    std::string out;
    auto value = [](char c) { return static_cast<uint32_t>((c - 32) & 0x3F); };
    const size_t count = value(line[0]);
    for (size_t i = 1; out.size() < count && i + 3 < line.size(); i += 4) {
        const uint32_t group = value(line[i]) << 18 | value(line[i + 1]) << 12 |
                               value(line[i + 2]) << 6 | value(line[i + 3]);
        for (int shift = 16; shift >= 0 && out.size() < count; shift -= 8)
            out += static_cast<char>(group >> shift);
    }
    return out;
}

class LpcFlash : public testing::TestWithParam<const char*> {};

// Programming ANDs bits into flash, so a copy over what an earlier program left is wrong until
// the sector is erased; R then reads the flash back in checked UU lines. Either line end.
TEST_P(LpcFlash, HoldsDataOnlyAfterAnErase) {
    SimulatedChip chip(
        {"--already-synced", "--echo", "off", "--erase-ms", "1", "--line-end", GetParam()});
    HostPort host(chip.device, 115200);
    std::string data(256, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + 1);
    auto command = [&](const std::string& line) {
        host.send(line + "\r\n");
        return host.readLine();
    };
    ASSERT_EQ(command("U 23130"), "0\r\n");
    ASSERT_EQ(command("I 0 0").substr(0, 3), "8\r\n") << "the sector starts in use";
    host.readLine(); // offset of the first used word
    host.readLine(); // its contents
    auto stage = [&] {
        ASSERT_EQ(command("W 268439552 256"), "0\r\n");
        uint32_t sum = 0;
        std::string lines;
        for (size_t at = 0; at < data.size(); at += 45) {
            const size_t take = std::min<size_t>(45, data.size() - at);
            lines += NxpIspClient::uuEncodeLine(reinterpret_cast<const uint8_t*>(data.data()) + at,
                                                take) +
                     "\r\n";
            for (size_t i = at; i < at + take; ++i)
                sum += static_cast<uint8_t>(data[i]);
        }
        host.send(lines + std::to_string(sum) + "\r\n");
        ASSERT_EQ(host.readLine(), "OK\r\n");
        ASSERT_EQ(command("P 0 0"), "0\r\n");
        ASSERT_EQ(command("C 0 268439552 256"), "0\r\n");
    };
    stage();
    EXPECT_EQ(command("M 0 268439552 256"), "10\r\n") << "copied over leftovers";
    host.readLine(); // offset of the first difference
    ASSERT_EQ(command("P 0 0"), "0\r\n");
    ASSERT_EQ(command("E 0 0"), "0\r\n");
    ASSERT_EQ(command("I 0 0"), "0\r\n");
    stage();
    EXPECT_EQ(command("M 0 268439552 256"), "0\r\n");

    ASSERT_EQ(command("R 0 256"), "0\r\n");
    std::string read;
    uint32_t sum = 0;
    for (int line = 0; line < 6; ++line) {
        const std::string text = host.readLine();
        const std::string bytes = uuDecode(text.substr(0, text.size() - 2));
        for (char c : bytes)
            sum += static_cast<uint8_t>(c);
        read += bytes;
    }
    EXPECT_EQ(host.readLine(), std::to_string(sum) + "\r\n");
    host.send("OK\r\n");
    EXPECT_EQ(read, data);
    EXPECT_EQ(command("J"), "0\r\n") << "back to commands after the read";
}

INSTANTIATE_TEST_SUITE_P(LineEnds, LpcFlash, testing::Values("cr", "lf"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

} // namespace
