// The NXP ISP client byte for byte against a scripted chip: command texts, UU lines and checksum
// blocks, resends, return codes with stray bytes, the identification words and the helpers.
#include "NxpIspClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

namespace {

// A chip that answers each write of the client with the bytes answer() gives for it.
class ScriptedChip {
  public:
    std::function<std::string(const std::string&)> answer = [](const std::string&) {
        return std::string();
    };
    std::vector<std::string> writes;
    bool failed = false; // the port's reads fail once nothing is pending
    size_t reads = 0;

    aStream* stream() { return aStream_Create(get, nullptr, write, nullptr, this); }

  private:
    static aErr get(uint8_t* byte, void* reference) {
        auto* self = static_cast<ScriptedChip*>(reference);
        ++self->reads;
        if (self->pending_.empty()) {
            return self->failed ? aErrIO : aErrNotReady;
        }
        *byte = static_cast<uint8_t>(self->pending_.front());
        self->pending_.pop_front();
        return aErrNone;
    }
    static aErr write(const uint8_t* bytes, size_t count, void* reference) {
        auto* self = static_cast<ScriptedChip*>(reference);
        self->writes.emplace_back(reinterpret_cast<const char*>(bytes), count);
        for (char c : self->answer(self->writes.back())) {
            self->pending_.push_back(c);
        }
        return aErrNone;
    }
    std::deque<char> pending_;
};

bool isNumberLine(const std::string& text) {
    return text.size() > 2 && text.find_first_not_of("0123456789") == text.size() - 2 &&
           text.ends_with("\r\n");
}

// Decodes one UU line independently of the client's encoder.
std::vector<uint8_t> uuDecode(const std::string& line) {
    auto value = [](char c) { return static_cast<uint32_t>((c - 32) & 0x3F); };
    std::vector<uint8_t> out;
    const size_t count = value(line[0]);
    for (size_t i = 1; out.size() < count; i += 4) {
        const uint32_t group = value(line[i]) << 18 | value(line[i + 1]) << 12 |
                               value(line[i + 2]) << 6 | value(line[i + 3]);
        for (int shift = 16; shift >= 0 && out.size() < count; shift -= 8) {
            out.push_back(static_cast<uint8_t>(group >> shift));
        }
    }
    return out;
}

class NxpIspClientTest : public testing::Test {
  protected:
    void SetUp() override {
        client.budgets = {20, 1, 1, 20, 5};
        client.attach(chip.stream(), "/dev/ttyTEST", 115200);
    }
    // Echo off without a dialogue, as after "A 0".
    void echoOff() {
        chip.answer = [](const std::string&) { return std::string("A 0\r\n0\r\n"); };
        ASSERT_EQ(client.setEcho(false), aErrNone);
        chip.writes.clear();
    }
    // Answers "0" to commands and the next of checksumReplies to each checksum line.
    void dataChip(std::deque<std::string> checksumReplies) {
        chip.answer = [replies = std::move(checksumReplies)](const std::string& text) mutable {
            if (!isNumberLine(text)) {
                return std::string(text.starts_with("W ") ? "0\r\n" : "");
            }
            std::string reply = replies.empty() ? "OK\r\n" : replies.front();
            if (!replies.empty()) {
                replies.pop_front();
            }
            return reply;
        };
    }

    ScriptedChip chip;
    NxpIspClient client;
};

struct WriteCase {
    uint32_t count;
    std::vector<std::vector<size_t>> blocks; // bytes per line, one list per checksum block
};

class NxpWriteLayout : public NxpIspClientTest, public testing::WithParamInterface<WriteCase> {};

TEST_P(NxpWriteLayout, LinesAndChecksumsFollowTheBlockRule) {
    echoOff();
    dataChip({});
    std::vector<uint8_t> data(GetParam().count);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    ASSERT_EQ(client.Write(0x10001000, GetParam().count, data.data()), aErrNone);

    ASSERT_FALSE(chip.writes.empty());
    EXPECT_EQ(chip.writes[0], "W 268439552 " + std::to_string(GetParam().count) + "\r\n");
    std::string all;
    for (size_t i = 1; i < chip.writes.size(); ++i) {
        all += chip.writes[i];
    }
    std::vector<uint8_t> decoded;
    size_t position = 0, blockStart = 0, block = 0;
    std::vector<size_t> lineSizes;
    for (size_t end; (end = all.find("\r\n", position)) != std::string::npos; position = end + 2) {
        const std::string line = all.substr(position, end - position);
        if (isNumberLine(line + "\r\n")) {
            ASSERT_LT(block, GetParam().blocks.size());
            EXPECT_EQ(lineSizes, GetParam().blocks[block]) << "block " << block;
            const uint32_t sum =
                std::accumulate(data.begin() + blockStart, data.begin() + decoded.size(), 0u);
            EXPECT_EQ(line, std::to_string(sum)) << "block " << block;
            blockStart = decoded.size();
            lineSizes.clear();
            ++block;
            continue;
        }
        const std::vector<uint8_t> bytes = uuDecode(line);
        EXPECT_EQ(line.size(), 1 + (bytes.size() + 2) / 3 * 4);
        EXPECT_EQ(line.find(' '), std::string::npos) << "zero sextets are written as '`'";
        lineSizes.push_back(bytes.size());
        decoded.insert(decoded.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(block, GetParam().blocks.size());
    EXPECT_EQ(decoded, data);
}

INSTANTIATE_TEST_SUITE_P(Counts, NxpWriteLayout,
                         testing::Values(WriteCase{100, {{45, 45, 10}}},
                                         WriteCase{1000,
                                                   {std::vector<size_t>(20, 45), {45, 45, 10}}},
                                         WriteCase{4, {{4}}}));

TEST_F(NxpIspClientTest, ResendRepeatsTheBlockAndAThirdOneFails) {
    echoOff();
    const std::vector<uint8_t> data(100, 0x5A);
    dataChip({"RESEND\r\n", "OK\r\n"});
    ASSERT_EQ(client.Write(0x10001000, 100, data.data()), aErrNone);
    // Command, then twice the block and its checksum.
    ASSERT_EQ(chip.writes.size(), 5u);
    EXPECT_EQ(chip.writes[1], chip.writes[3]);
    EXPECT_EQ(chip.writes[2], chip.writes[4]);

    chip.writes.clear();
    dataChip({"RESEND\r\n", "RESEND\r\n", "RESEND\r\n"});
    EXPECT_EQ(client.Write(0x10001000, 100, data.data()), aErrTimeout);
    EXPECT_EQ(chip.writes.size(), 7u) << "the block goes out three times, no more";
    EXPECT_NE(client.failure().find("/dev/ttyTEST"), std::string::npos) << client.failure();
}

TEST_F(NxpIspClientTest, WriteRefusesCountsThatAreNotWholeWords) {
    const uint8_t data[8] = {};
    EXPECT_EQ(client.Write(0x10001000, 0, data), aErrParam);
    EXPECT_EQ(client.Write(0x10001000, 6, data), aErrParam);
    EXPECT_TRUE(chip.writes.empty());
}

struct ReplyCase {
    const char* reply; // after the echo of the command
    aErr expected;
};

class NxpReplyCodes : public NxpIspClientTest, public testing::WithParamInterface<ReplyCase> {};

// With echo on, the chip's echo of "U 23130\r\n" comes first; then the return line, maybe with
// line noise before it. Only the code itself may decide.
TEST_P(NxpReplyCodes, OnlyTheCodeDecides) {
    const std::string reply = GetParam().reply;
    chip.answer = [reply](const std::string& text) { return text + reply; };
    EXPECT_EQ(client.unlock(), GetParam().expected) << testing::PrintToString(reply);
    EXPECT_EQ(chip.writes.at(0), "U 23130\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, NxpReplyCodes,
    testing::Values(ReplyCase{"0\r\n", aErrNone}, ReplyCase{"\n0\r\n", aErrNone},
                    ReplyCase{"\xFF"
                              "0\r\n",
                              aErrNone},
                    ReplyCase{"19\r\n", aErrParam},
                    ReplyCase{"10\r\n", aErrParam}, // its last digit is 0: still a failure
                    ReplyCase{"X0\r\n", aErrIO}, ReplyCase{"0", aErrTimeout},
                    ReplyCase{"", aErrTimeout}));

TEST_F(NxpIspClientTest, StrayLineFeedAfterAReplyIsNotTheNextReply) {
    echoOff();
    // Each reply is followed by the late LF of its line; the next command must still see its own.
    chip.answer = [](const std::string&) { return std::string("0\r\n\n"); };
    EXPECT_EQ(client.prepareSectors(0, 29), aErrNone);
    EXPECT_EQ(client.eraseSectors(0, 29), aErrNone);
    EXPECT_EQ(chip.writes, (std::vector<std::string>{"P 0 29\r\n", "E 0 29\r\n"}));
}

TEST_F(NxpIspClientTest, IdentificationWordsInOrder) {
    echoOff();
    chip.answer = [](const std::string&) {
        return std::string("\n0\r\n305419896\r\n0x9ABCDEF0\r\n\n17\r\n4294967295\r\n");
    };
    ASSERT_EQ(client.readUid(), aErrNone);
    EXPECT_EQ(chip.writes.at(0), "N\r\n");
    EXPECT_EQ(client.uid(), (std::array<uint32_t, 4>{0x12345678, 0x9ABCDEF0, 17, 0xFFFFFFFF}));
}

TEST_F(NxpIspClientTest, CommandTexts) {
    echoOff();
    chip.answer = [](const std::string&) { return std::string("0\r\n"); };
    EXPECT_EQ(client.copyRamToFlash(0x1000, 0x10001000, 4096), aErrNone);
    EXPECT_EQ(client.go(0), aErrNone);
    EXPECT_EQ(client.setEcho(true), aErrNone);
    EXPECT_EQ(chip.writes,
              (std::vector<std::string>{"C 4096 268439552 4096\r\n", "G 0 T\r\n", "A 1\r\n"}));
    chip.writes.clear();
    EXPECT_EQ(client.copyRamToFlash(0x1080, 0x10001000, 256), aErrParam);
    EXPECT_EQ(client.copyRamToFlash(0x1000, 0x10001000, 300), aErrParam);
    EXPECT_EQ(client.prepareSectors(3, 2), aErrParam);
    EXPECT_TRUE(chip.writes.empty()) << "refused before anything is sent";
}

struct ProbeCase {
    const char* name;
    std::string afterQuestion; // what the chip sends for "?"
    std::string afterLineEnd;  // for the line end that follows, when asked
    std::string afterProbe;    // for the probe lines, when asked
    aErr expected;
    std::vector<std::string> writes; // everything the client sent
};

class NxpProbe : public NxpIspClientTest, public testing::WithParamInterface<ProbeCase> {};

const std::string kProbe = [] {
    std::string lines;
    for (size_t i = 0; i < NxpIspClient::kProbeLines; ++i) {
        lines += NxpIspClient::kProbeLine;
    }
    return lines;
}();

// A chip fresh from reset answers "?" with "Synchronized"; one an earlier session synchronised
// echoes it or not, as that session left the echo, and answers the line end with a code (an ISP
// that ends lines at LF echoes the whole CR LF first). One that an interrupted session left
// inside a RAM write answers only where it expects a checksum: the user is told to reset it. The
// client must end up agreeing with the chip on the echo, and a chip of another kind must get no
// more than the bytes the i.MX association counts on.
TEST_P(NxpProbe, FindsTheChipsStateAndEcho) {
    const ProbeCase& c = GetParam();
    chip.answer = [&c](const std::string& text) -> std::string {
        if (text == "?") {
            return c.afterQuestion;
        }
        if (text == "\r\n") {
            return c.afterLineEnd;
        }
        if (text == kProbe) {
            return c.afterProbe;
        }
        if (text == "Synchronized\r\n" || text == "14746\r\n") {
            return text + "OK\r\n";
        }
        return text == "A 1\r\n" ? "0\r\n" : "";
    };
    EXPECT_EQ(client.synchronize(), c.expected);
    EXPECT_EQ(chip.writes, c.writes);
    if (c.expected == aErrTimeout) {
        size_t sent = 0;
        for (const std::string& write : chip.writes) {
            sent += write.size();
        }
        EXPECT_EQ(sent, NxpIspClient::kSilentPortBytes) << "what the i.MX association counts on";
    }
    if (c.expected == aErrMode) {
        EXPECT_NE(client.failure().find("/dev/ttyTEST: the NXP chip there is still inside a RAM "
                                        "write"),
                  std::string::npos)
            << client.failure();
    }
    if (c.expected == aErrNone) {
        EXPECT_TRUE(client.echo());
        // The next command reads its echo and then its own reply.
        chip.answer = [](const std::string& text) { return text + "0\r\n"; };
        EXPECT_EQ(client.unlock(), aErrNone);
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, NxpProbe,
    testing::Values(
        ProbeCase{
            "Fresh", "Synchronized\r\n", "", "", aErrNone, {"?", "Synchronized\r\n", "14746\r\n"}},
        ProbeCase{"SynchronisedEchoOn", "?", "\r\n1\r\n", "", aErrNone, {"?", "\r\n"}},
        ProbeCase{"SynchronisedEchoOff", "", "1\r\n", "", aErrNone, {"?", "\r\n", "A 1\r\n"}},
        // Its "?" came too late for the wait on "Synchronized": the echo is on all the same.
        ProbeCase{"SynchronisedLateEcho", "", "?\r\n1\r\n", "", aErrNone, {"?", "\r\n"}},
        ProbeCase{"InsideWriteAtItsChecksum", "", "RESEND\r\n", "", aErrMode, {"?", "\r\n"}},
        ProbeCase{"InsideWriteEchoOff", "", "", "OK\r\n", aErrMode, {"?", "\r\n", kProbe}},
        ProbeCase{"InsideWriteEchoOn",
                  "?",
                  "\r\n",
                  kProbe.substr(0, 9) + "RESEND\r\n" + kProbe.substr(9),
                  aErrMode,
                  {"?", "\r\n", kProbe}},
        ProbeCase{"NotAnIspChip", "", "", "", aErrTimeout, {"?", "\r\n", kProbe}}),
    [](const testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

// A port whose reads fail (an adapter pulled out) will not heal while the client waits: the
// probe for a chip inside a RAM write gives up at the first failed read, not at its deadline.
TEST_F(NxpIspClientTest, AFailedPortEndsTheProbeAtOnce) {
    client.budgets.echo = 10000; // waiting for the port to heal would ask it millions of times
    chip.answer = [this](const std::string&) {
        chip.failed = true;
        return std::string();
    };
    EXPECT_EQ(client.synchronize(), aErrIO);
    EXPECT_EQ(chip.writes, (std::vector<std::string>{"?", "\r\n", kProbe}));
    EXPECT_LE(chip.reads, 8u);
}

// The probe lines reach chips in every state: a fresh one must not take them for "?", and one
// inside a RAM write must not have its RAM changed by them.
TEST(NxpIspProbe, LinesNeitherSynchroniseNorWrite) {
    EXPECT_EQ(kProbe.find('?'), std::string::npos);
    std::string bytes = "x";
    EXPECT_TRUE(NxpIspClient::uuDecodeLine(kProbe.data(), 1, bytes));
    EXPECT_TRUE(bytes.empty());
}

// "R" hands back the bytes once their sum matches (asking again once when it does not); "M"
// names the first difference.
TEST_F(NxpIspClientTest, ReadBackAndCompare) {
    echoOff();
    const uint8_t word[4] = {0x10, 0x1E, 0x47, 0x5E};
    const std::string line = NxpIspClient::uuEncodeLine(word, 4) + "\r\n";
    chip.answer = [&](const std::string& text) -> std::string {
        if (text.starts_with("R ")) {
            return "0\r\n" + line + "999\r\n";
        }
        if (text == "RESEND\r\n") {
            return line + std::to_string(0x10 + 0x1E + 0x47 + 0x5E) + "\r\n";
        }
        return "";
    };
    uint8_t out[4] = {};
    ASSERT_EQ(client.Read(0x10000FFC, 4, out), aErrNone);
    EXPECT_TRUE(std::equal(std::begin(word), std::end(word), out));
    EXPECT_EQ(chip.writes, (std::vector<std::string>{"R 268439548 4\r\n", "RESEND\r\n", "OK\r\n"}));

    chip.writes.clear();
    chip.answer = [](const std::string& text) {
        return std::string(text.starts_with("M 0 ") ? "0\r\n" : "10\r\n512\r\n");
    };
    EXPECT_EQ(client.compare(0, 0x10001000, 4096), aErrNone);
    EXPECT_EQ(client.compare(4096, 0x10001000, 4096), aErrParam);
    EXPECT_NE(client.failure().find("from byte 512"), std::string::npos) << client.failure();
    EXPECT_EQ(chip.writes,
              (std::vector<std::string>{"M 0 268439552 4096\r\n", "M 4096 268439552 4096\r\n"}));
    EXPECT_EQ(client.Read(0x10000FFC, 904, out), aErrParam) << "more than one checksum block";
}

TEST(NxpIspHelpers, SizesSectorsRatesAndCodes) {
    EXPECT_EQ(NxpIspClient::copySizeFor(1), 256u);
    EXPECT_EQ(NxpIspClient::copySizeFor(300), 512u);
    EXPECT_EQ(NxpIspClient::copySizeFor(1025), 4096u);
    EXPECT_EQ(NxpIspClient::copySizeFor(4096), 4096u);
    EXPECT_EQ(NxpIspClient::copySizeFor(5000), 5000u);
    EXPECT_EQ(NxpIspClient::sectorOfAddress(0x0FFF), 0u);
    EXPECT_EQ(NxpIspClient::sectorOfAddress(0xF000), 15u);
    EXPECT_EQ(NxpIspClient::sectorOfAddress(0x10000), 16u);
    EXPECT_EQ(NxpIspClient::sectorOfAddress(0x7FFFF), 29u);
    EXPECT_EQ(NxpIspClient::sectorOfAddress(0x80000), 30u);
    EXPECT_EQ(NxpIspClient::rateIndexFor(115200), 6u);
    EXPECT_EQ(NxpIspClient::rateIndexFor(100000), 6u);
    EXPECT_EQ(NxpIspClient::rateIndexFor(1000000), 2u);
    EXPECT_EQ(NxpIspClient::rateIndexFor(1200), 0u);
    EXPECT_STREQ(NxpIspClient::returnCodeText("19\r\n"), "CODE_READ_PROTECTION_ENABLED");
    EXPECT_STREQ(NxpIspClient::returnCodeText("0x9\r\n"),
                 "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION");
    EXPECT_STREQ(NxpIspClient::returnCodeText("20\r\n"), "Unknown error");
    EXPECT_STREQ(NxpIspClient::returnCodeText("-1\r\n"), "Unknown error");
    const uint8_t cat[] = {'C', 'a', 't'};
    EXPECT_EQ(NxpIspClient::uuEncodeLine(cat, 3), "#0V%T");
    const uint8_t zeros[4] = {};
    EXPECT_EQ(NxpIspClient::uuEncodeLine(zeros, 4), "$````````");
    std::string bytes;
    EXPECT_TRUE(NxpIspClient::uuDecodeLine("#0V%T", 5, bytes));
    EXPECT_EQ(bytes, "Cat");
    EXPECT_TRUE(NxpIspClient::uuDecodeLine("$        ", 9, bytes)) << "a space stands for 0 too";
    EXPECT_EQ(bytes, std::string(4, '\0'));
    EXPECT_FALSE(NxpIspClient::uuDecodeLine("$```", 4, bytes)) << "shorter than its count says";
}

} // namespace
