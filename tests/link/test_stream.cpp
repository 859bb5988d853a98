// Generic streams: all-or-nothing reads with push-back, ring growth, waiting, writes, records,
// text and copying one stream into another.
#include "corvane/aStream.h"

#include "FakeStream.h"
#include "aStream_Internal.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(aStream, ShortReadPushesBackAndHandsTheSameBytesOutFirst) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    fake.feed({0xA1, 0xA2});
    uint8_t buffer[4] = {};
    EXPECT_EQ(aStream_Read(s.get(), buffer, 4), aErrNotReady);
    EXPECT_EQ(buffer[0], 0) << "nothing delivered on a short read";
    fake.feed({0xA3, 0xA4, 0xA5});
    ASSERT_EQ(aStream_Read(s.get(), buffer, 4), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4),
              (std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4}));
    ASSERT_EQ(aStream_Read(s.get(), buffer, 1), aErrNone);
    EXPECT_EQ(buffer[0], 0xA5);
}

TEST(aStream, ReadEndingTheStreamDeliversWhatCame) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    fake.feed({1, 2});
    fake.feedError(aErrEOF);
    uint8_t buffer[4] = {};
    EXPECT_EQ(aStream_Read(s.get(), buffer, 4), aErrEOF);
    EXPECT_EQ(buffer[1], 2);
}

TEST(aStream, PushBackRingGrowsBy512KeepingOrder) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    EXPECT_EQ(aStream_PushBackCapacity(s.get()), 0u);
    std::vector<uint8_t> bytes(600);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7);
    }
    // Part of them first, so the ring has wrapped when it has to grow.
    ASSERT_EQ(aStream_Unread(s.get(), bytes.data() + 300, 300), aErrNone);
    EXPECT_EQ(aStream_PushBackCapacity(s.get()), 512u);
    ASSERT_EQ(aStream_Unread(s.get(), bytes.data(), 300), aErrNone);
    EXPECT_EQ(aStream_PushBackCapacity(s.get()), 1024u);
    std::vector<uint8_t> back(600);
    ASSERT_EQ(aStream_Read(s.get(), back.data(), back.size()), aErrNone);
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(fake.getCalls, 0u);
}

TEST(aStream, LongShortReadKeepsEveryByte) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    std::vector<uint8_t> bytes(1500);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i ^ (i >> 8));
    }
    fake.feed(bytes);
    std::vector<uint8_t> out(2000);
    EXPECT_EQ(aStream_Read(s.get(), out.data(), out.size()), aErrNotReady);
    out.resize(1500);
    ASSERT_EQ(aStream_Read(s.get(), out.data(), out.size()), aErrNone);
    EXPECT_EQ(out, bytes);
}

TEST(aStream, ArgumentsAndMissingProcedures) {
    FakeStream fake;
    StreamPtr writeOnly(fake.stream(false, true, true));
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(writeOnly.get(), &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Read(writeOnly.get(), nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
    StreamPtr readOnly(fake.stream(true, false, false));
    EXPECT_EQ(aStream_Write(readOnly.get(), &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Write(readOnly.get(), nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Flush(readOnly.get(), readOnly.get()), aErrMode);

    aStream* raw = fake.stream();
    EXPECT_EQ(aStream_Destroy(&raw), aErrNone);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(fake.deletes, 1);
    EXPECT_EQ(aStream_Destroy(&raw), aErrParam);
}

TEST(aStream, WaitAnswersForPushedBackBytesElseAsksTheStreamKind) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    EXPECT_EQ(aStream_Wait(s.get(), 0), aErrUnimplemented) << "no wait procedure: read instead";
    const uint8_t back[] = {7};
    ASSERT_EQ(aStream_Unread(s.get(), back, 1), aErrNone);
    EXPECT_EQ(aStream_Wait(s.get(), 0), aErrNone);
    EXPECT_EQ(fake.getCalls, 0u);
    EXPECT_EQ(aStream_Wait(nullptr, 0), aErrParam);
    StreamPtr writeOnly(fake.stream(false, true, true));
    EXPECT_EQ(aStream_Wait(writeOnly.get(), 0), aErrMode);
}

// A wait procedure that always finds the stream ready, as poll does on a closed socket.
aErr alwaysReady(uint32_t, void*) {
    return aErrNone;
}

TEST(aStream, AWaitFollowedByAnEmptyReadIsNotTrustedNextTime) {
    FakeStream fake;
    StreamPtr s(fake.waitableStream(alwaysReady));
    uint8_t byte = 0;
    int sleeps = 0;
    for (int i = 0; i < 6; ++i) {
        sleeps += aStream_Wait(s.get(), 1) == aErrNotReady;
        EXPECT_EQ(aStream_Read(s.get(), &byte, 1), aErrNotReady);
    }
    EXPECT_EQ(sleeps, 3) << "a loop of waits and reads must not spin";

    // Misled once more, then a byte comes after all: the stream is trusted again.
    ASSERT_EQ(aStream_Wait(s.get(), 1), aErrNone);
    ASSERT_EQ(aStream_Read(s.get(), &byte, 1), aErrNotReady);
    fake.feed({9});
    ASSERT_EQ(aStream_Read(s.get(), &byte, 1), aErrNone);
    EXPECT_EQ(byte, 9);
    EXPECT_EQ(aStream_Wait(s.get(), 1), aErrNone);
}

TEST(aStream, HandlesWithoutTheCheckWordAreRefused) {
    // Memory that never was a stream carries no check word: every call refuses it before it
    // touches anything else, and the destroy clears the caller's pointer all the same.
    alignas(std::max_align_t) unsigned char junk[512] = {};
    aStream* forged = reinterpret_cast<aStream*>(junk);
    FakeStream fake;
    StreamPtr real(fake.stream());
    uint8_t byte = 0;
    size_t length = 0;
    char text[4] = {};
    EXPECT_EQ(aStream_Read(forged, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Write(forged, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Wait(forged, 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(forged, &byte, &length, 1, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(forged, &byte, 1, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_ReadCString(forged, text, sizeof text), aErrParam);
    EXPECT_EQ(aStream_WriteCString(forged, "a"), aErrParam);
    EXPECT_EQ(aStream_Flush(forged, real.get()), aErrParam);
    EXPECT_EQ(aStream_Flush(real.get(), forged), aErrParam);
    EXPECT_EQ(aStream_Unread(forged, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Destroy(&forged), aErrParam);
    EXPECT_EQ(forged, nullptr);
    EXPECT_EQ(fake.getCalls, 0u);
}

TEST(aStream, WriteUsesTheBlockProcedureForBlocksAndPutForSingleBytes) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    const uint8_t block[] = {1, 2, 3};
    ASSERT_EQ(aStream_Write(s.get(), block, 3), aErrNone);
    ASSERT_EQ(aStream_Write(s.get(), block, 1), aErrNone);
    EXPECT_EQ(fake.writeCalls, std::vector<size_t>{3});
    EXPECT_EQ(fake.putCalls, 1u);
    EXPECT_EQ(fake.written, (std::vector<uint8_t>{1, 2, 3, 1}));

    FakeStream putOnly;
    StreamPtr p(putOnly.stream(false, true, false));
    putOnly.writeResult = aErrIO;
    EXPECT_EQ(aStream_Write(p.get(), block, 3), aErrIO);
    EXPECT_EQ(putOnly.putCalls, 1u) << "the first error ends the write";
}

TEST(aStream, ReadCStringStopsAtZeroAndLeavesTheRest) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    fake.feed({'a', 'b', 0, 'c'});
    char text[16];
    ASSERT_EQ(aStream_ReadCString(s.get(), text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "ab");
    uint8_t byte = 0;
    ASSERT_EQ(aStream_Read(s.get(), &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'c');
}

TEST(aStream, ReadRecordEndsUnterminatedWhenFull) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    fake.feed({'a', 'b', 'c', 'd'});
    const uint8_t zero = 0;
    uint8_t record[8] = {};
    size_t length = 0;
    ASSERT_EQ(aStream_ReadRecord(s.get(), record, &length, 3, &zero, 1), aErrNone);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::string(record, record + 3), "abc");
    uint8_t byte = 0;
    ASSERT_EQ(aStream_Read(s.get(), &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'd');
}

TEST(aStream, ReadRecordNotReadyAndEndOfStream) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    fake.feed({'x', 'y'});
    const uint8_t nl = '\n';
    uint8_t record[8] = {};
    size_t length = 0;
    EXPECT_EQ(aStream_ReadRecord(s.get(), record, &length, 8, &nl, 1), aErrNotReady);
    fake.feed({'z'});
    fake.feedError(aErrEOF);
    ASSERT_EQ(aStream_ReadRecord(s.get(), record, &length, 8, &nl, 1), aErrNone);
    EXPECT_EQ(std::string(record, record + length), "xyz");
    fake.feedError(aErrEOF);
    EXPECT_EQ(aStream_ReadRecord(s.get(), record, &length, 8, &nl, 1), aErrEOF);
    fake.feedError(aErrIO);
    EXPECT_EQ(aStream_ReadRecord(s.get(), record, &length, 8, &nl, 1), aErrIO);
    EXPECT_EQ(aStream_ReadRecord(s.get(), record, &length, 8, &nl, 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s.get(), record, &length, 8, nullptr, 1), aErrParam);
}

TEST(aStream, MultiByteTerminatorMatchesInFullOnly) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    // "\r" alone is data; "aab" inside "aaab" is found although a partial match failed first.
    fake.feed(bytesOf("ok\rgo\r\nxaaab+"));
    char text[32];
    ASSERT_EQ(aStream_ReadCStringRecord(s.get(), text, sizeof text, "\r\n"), aErrNone);
    EXPECT_STREQ(text, "ok\rgo");
    ASSERT_EQ(aStream_ReadCStringRecord(s.get(), text, sizeof text, "aab"), aErrNone);
    EXPECT_STREQ(text, "xa");
    uint8_t byte = 0;
    ASSERT_EQ(aStream_Read(s.get(), &byte, 1), aErrNone);
    EXPECT_EQ(byte, '+');
}

TEST(aStream, PartialTerminatorBytesComeBackAfterNotReady) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    fake.feed(bytesOf("ab\r"));
    char text[16];
    EXPECT_EQ(aStream_ReadCStringRecord(s.get(), text, sizeof text, "\r\n"), aErrNotReady);
    fake.feed(bytesOf("\n"));
    ASSERT_EQ(aStream_ReadCStringRecord(s.get(), text, sizeof text, "\r\n"), aErrNone);
    EXPECT_STREQ(text, "ab");
}

TEST(aStream, FullRecordReturnsHeldTerminatorBytesToTheStream) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    fake.feed(bytesOf("abc\rx"));
    char text[4]; // three characters
    ASSERT_EQ(aStream_ReadCStringRecord(s.get(), text, sizeof text, "\r\n"), aErrNone);
    EXPECT_STREQ(text, "abc");
    ASSERT_EQ(aStream_ReadCStringRecord(s.get(), text, sizeof text, "\r\n"), aErrNotReady);
    fake.feedError(aErrEOF);
    ASSERT_EQ(aStream_ReadCStringRecord(s.get(), text, sizeof text, "\r\n"), aErrNone);
    EXPECT_STREQ(text, "\rx");
}

TEST(aStream, WriteTextAndRecords) {
    FakeStream fake;
    StreamPtr s(fake.stream());
    ASSERT_EQ(aStream_WriteCString(s.get(), "hi"), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(s.get(), "set", "\r\n"), aErrNone);
    const uint8_t record[] = {9, 8};
    const uint8_t end[] = {0xFF};
    ASSERT_EQ(aStream_WriteRecord(s.get(), record, 2, end, 1), aErrNone);
    EXPECT_EQ(fake.written,
              (std::vector<uint8_t>{'h', 'i', 0, 's', 'e', 't', '\r', '\n', 0, 9, 8, 0xFF}));
    EXPECT_EQ(aStream_WriteRecord(s.get(), record, 2, end, 0), aErrParam);
    EXPECT_EQ(aStream_WriteCString(s.get(), nullptr), aErrParam);
}

TEST(aStream, FlushCopiesUntilTheInputEnds) {
    FakeStream in, out;
    StreamPtr input(in.stream()), output(out.stream());
    in.feed({1, 2, 3});
    in.whenEmpty = aErrEOF;
    ASSERT_EQ(aStream_Flush(input.get(), output.get()), aErrNone);
    EXPECT_EQ(out.written, (std::vector<uint8_t>{1, 2, 3}));

    in.feed({4});
    in.whenEmpty = aErrNotReady;
    EXPECT_EQ(aStream_Flush(input.get(), output.get()), aErrNotReady);
    in.feed({5});
    out.writeResult = aErrWrite;
    EXPECT_EQ(aStream_Flush(input.get(), output.get()), aErrWrite);
}

class FileStreams : public ::testing::Test {
  protected:
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("corvane-stream-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(FileStreams, FlushCopiesAFileToAFile) {
    std::string content;
    for (int i = 0; i < 3000; ++i) {
        content.push_back(static_cast<char>(i * 31));
    }
    std::ofstream((dir / "in.bin").string(), std::ios::binary) << content;
    aStream* input = nullptr;
    aStream* output = nullptr;
    ASSERT_EQ(aStream_CreateFileInput((dir / "in.bin").c_str(), &input), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput((dir / "out.bin").c_str(), &output), aErrNone);
    EXPECT_EQ(aStream_Wait(input, 0), aErrNone);
    EXPECT_EQ(aStream_Wait(output, 0), aErrMode);
    EXPECT_EQ(aStream_Flush(input, output), aErrNone);
    EXPECT_EQ(aStream_Wait(input, 0), aErrNone) << "the end is there at once too";
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(input, &byte, 1), aErrEOF);
    EXPECT_EQ(aStream_Destroy(&input), aErrNone);
    EXPECT_EQ(aStream_Destroy(&output), aErrNone);
    std::ifstream copied((dir / "out.bin").string(), std::ios::binary);
    std::string result((std::istreambuf_iterator<char>(copied)), std::istreambuf_iterator<char>());
    EXPECT_EQ(result, content);
}

TEST_F(FileStreams, BlockWritesAndFailures) {
    aStream* output = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput((dir / "t.txt").c_str(), &output), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(output, "line", "\n"), aErrNone);
    // The bytes are in the file before the stream is closed.
    std::ifstream early((dir / "t.txt").string(), std::ios::binary);
    std::string seen((std::istreambuf_iterator<char>(early)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen, std::string("line\n\0", 6));
    aStream_Destroy(&output);

    aStream* none = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateFileInput((dir / "missing").c_str(), &none), aErrResource);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &none), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput((dir / "no" / "such" / "dir").c_str(), &none), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput((dir / "x").c_str(), nullptr), aErrResource);
}

} // namespace
