// BirdFile: loading, the block walk on honest and lying images, info fields and the serial rewrite.
#include "BirdFile.h"

#include "BirdTestImages.h"
#include "BirdWriter.h"
#include "DebugCapture.h"
#include "ScopedTempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

namespace {

constexpr uint8_t kFirmware = BIRD_BLOCK_FIRMWARE;

class BirdFileTest : public ::testing::Test {
  protected:
    std::string save(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = dir / name;
        writeBytes(path, bytes);
        return path;
    }
    std::string save(const std::string& name, const BirdWriter& writer) {
        return save(name, writer.fileBytes());
    }
    // An image with an info block whose model field is model.
    BirdFile withModel(const std::string& model) {
        BirdWriter writer;
        writer.setInfoField(3, model);
        return BirdFile(save("model.bird", writer));
    }

    ScopedTempDir dir;
};

void expectLoadFails(const std::string& path) {
    try {
        BirdFile bird(path);
        FAIL() << path << " loaded";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Failed to load bird data", e.what());
    }
}

TEST_F(BirdFileTest, LoadsEveryBlockWithItsFields) {
    BirdWriter writer;
    writer.setHeader(0x12, 0x34);
    writer.addLoader(0x10000000, {1, 2, 3}, 2);
    writer.addFirmware(0x00004000, std::vector<uint8_t>(100, 0xAA), 5);
    writer.addOffsets(0x4010, 0x4020);
    writer.setInfoField(0, "free text");
    writer.setInfoField(1, "2.11.4 release");
    writer.setInfoField(2, "40F5849A");
    writer.setInfoField(3, "USBHub3p");
    writer.addLoaderStart(0x10000100);
    writer.addBlock(9, 0, {7, 7});
    const std::string path = save("full.bird", writer);

    BirdFile bird(path);
    EXPECT_EQ(path, bird.filename());
    EXPECT_EQ(BIRD_MAGIC, bird.magic());
    EXPECT_EQ(0x1234, bird.header());
    EXPECT_EQ(6u, bird.blockCount());
    EXPECT_TRUE(bird.parseMatched());
    EXPECT_TRUE(bird.hasOffsets());
    EXPECT_EQ(0x4010u, bird.serialNumberOffset());
    EXPECT_EQ(0x4020u, bird.descriptorOffset());
    const std::vector<uint8_t> image = writer.blockImage();
    EXPECT_EQ(image.size(), bird.imageLength());
    EXPECT_EQ(birdChecksum(image.data(), image.size() - 4), bird.checksum());

    const auto firmware = bird.blocksOfType(BIRD_BLOCK_FIRMWARE);
    ASSERT_EQ(1u, firmware.size());
    EXPECT_EQ(5, firmware[0].flags);
    EXPECT_EQ(104u, firmware[0].length);
    EXPECT_EQ(0x4000u, firmware[0].address);
    EXPECT_EQ(0xAA, firmware[0].data[4]);
    const auto loader = bird.blocksOfType(BIRD_BLOCK_LOADER);
    ASSERT_EQ(1u, loader.size());
    EXPECT_EQ(0x10000000u, loader[0].address);
    EXPECT_EQ(2, loader[0].flags);
    const auto start = bird.blocksOfType(BIRD_BLOCK_LOADER_START);
    ASSERT_EQ(1u, start.size());
    EXPECT_EQ(0u, start[0].address); // only loader and firmware blocks carry an address
    EXPECT_EQ(4u, start[0].length);
    ASSERT_EQ(1u, bird.blocksOfType(9).size());
    EXPECT_TRUE(bird.blocksOfType(3).empty());

    EXPECT_EQ("2.11.4", bird.version());
    EXPECT_EQ(0x40F5849Au, bird.infoSerialNumber());
    EXPECT_TRUE(bird.serialNumberMatches(0x40F5849A));
    EXPECT_FALSE(bird.serialNumberMatches(0x40F5849B));
    EXPECT_TRUE(bird.modelMatches("USBHub3p"));
}

TEST_F(BirdFileTest, QuickCheckWantsMagicAndTwoNonZeroHeaderBytes) {
    const std::vector<uint8_t> valid = BirdWriter().fileBytes();
    EXPECT_TRUE(BirdFile::isBirdFile(save("valid.bird", valid)));

    std::vector<uint8_t> magic = valid;
    magic[0] = 'B';
    const std::string wrongMagic = save("magic.bird", magic);
    EXPECT_FALSE(BirdFile::isBirdFile(wrongMagic));
    // The loader itself does not check the magic: the body is a valid stream.
    BirdFile loaded(wrongMagic);
    EXPECT_EQ(0x42697264u, loaded.magic());
    EXPECT_TRUE(loaded.parseMatched());

    for (size_t index : {4, 5}) {
        std::vector<uint8_t> header = valid;
        header[index] = 0;
        EXPECT_FALSE(BirdFile::isBirdFile(save("zero.bird", header))) << "byte " << index;
    }
    EXPECT_FALSE(
        BirdFile::isBirdFile(save("short.bird", std::vector<uint8_t>{'b', 'i', 'r', 'd', 1})));
    EXPECT_FALSE(BirdFile::isBirdFile(dir / "absent.bird"));
}

TEST_F(BirdFileTest, FilesThatCannotBeDecompressedFailToLoad) {
    const std::vector<uint8_t> valid = BirdWriter().fileBytes();
    // Exactly the header: the body is empty.
    expectLoadFails(save("six.bird", std::vector<uint8_t>{'b', 'i', 'r', 'd', 1, 1}));
    expectLoadFails(save("empty.bird", std::vector<uint8_t>{}));
    // A truncated stream, and a stream with a broken byte (the Adler-32 trailer catches it).
    expectLoadFails(save("cut.bird", std::vector<uint8_t>(valid.begin(), valid.end() - 3)));
    std::vector<uint8_t> flipped = valid;
    flipped[flipped.size() - 1] ^= 0xFF;
    expectLoadFails(save("flipped.bird", flipped));
    // An image more than 8 times its compressed size does not fit the decompression buffer.
    BirdWriter zeros;
    zeros.addFirmware(0, std::vector<uint8_t>(1 << 20, 0));
    expectLoadFails(save("zeros.bird", wrapBirdImage(zeros.blockImage())));
    expectLoadFails(dir / "absent.bird");
    expectLoadFails(dir.path()); // a directory is not a file
}

TEST_F(BirdFileTest, DebugTraceNamesTheFailingStep) {
    DebugCapture capture(DEBUG_BirdFile);
    const std::string path = dir / "absent.bird";
    expectLoadFails(path);
    expectLoadFails(save("six.bird", std::vector<uint8_t>{'b', 'i', 'r', 'd', 1, 1}));
    BirdWriter zeros;
    zeros.addFirmware(0, std::vector<uint8_t>(1 << 20, 0));
    expectLoadFails(save("zeros.bird", wrapBirdImage(zeros.blockImage())));
    const std::string trace = capture.text();
    EXPECT_NE(std::string::npos, trace.find("BIRDFILE: Loading File [" + path + "]\n"));
    EXPECT_NE(std::string::npos, trace.find("BIRDFILE: BIRD file not found [" + path + "]\n"));
    // An empty body is a data error; an image too large for 8 times the body a buffer error.
    EXPECT_NE(std::string::npos, trace.find("BIRDFILE: Error (-3) decompressing bird file.\n"));
    EXPECT_NE(std::string::npos, trace.find("BIRDFILE: Error (-5) decompressing bird file.\n"));
}

// Bodies far larger than one read of the file, images larger than their records announce and an
// image of exactly 8 times its body all decompress whole, from a file as from memory.
TEST_F(BirdFileTest, ImagesComeOutWholeWhateverTheirRecordsAnnounce) {
    std::mt19937 random(7);
    const auto noise = [&random](size_t size) {
        std::vector<uint8_t> bytes(size);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        return bytes;
    };
    BirdWriter pieces; // incompressible, so the body spans many reads
    pieces.addLoader(0x1000, noise(100000));
    pieces.addFirmware(0, noise(300000));
    pieces.setInfoField(1, "1.0");
    BirdWriter later; // a second large record after the first one's image is sized
    later.addFirmware(0, noise(200000));
    later.addLoader(0x1000, noise(150000));
    const std::vector<uint8_t> zeros(80003, 0); // image of 80016 bytes, a multiple of 8
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        size_t body; // bytes of the stream padded to this size; 0 keeps the stream as it is
        bool loads;
    };
    const std::vector<Case> cases = {
        {"pieces", pieces.blockImage(), 0, true},
        {"later", later.blockImage(), 0, true},
        {"uncounted", RawImage().be32(0).record(3, noise(90000)).record(3, noise(90000)).bytes, 0,
         true},
        {"overlong", RawImage().be32(1).u8(3).be32(0xFFFFFFF0).text("short").bytes, 0, true},
        {"limit", RawImage().be32(1).record(3, zeros).be32(0).bytes, 80016 / 8, true},
        {"pastlimit", RawImage().be32(1).record(3, zeros).be32(0).bytes, 80016 / 8 - 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> file = wrapBirdImage(c.image);
        if (c.body > 0) {
            ASSERT_LE(file.size(), BIRD_HEADER_SIZE + c.body);
            file.resize(BIRD_HEADER_SIZE + c.body, 0xA5); // bytes after the stream are ignored
        }
        const std::string path = save(std::string(c.name) + ".bird", file);
        if (!c.loads) {
            expectLoadFails(path);
            EXPECT_THROW(BirdFile::fromMemory(c.name, file.data(), file.size()),
                         std::runtime_error);
            continue;
        }
        const BirdFile loaded(path);
        const BirdFile decoded = BirdFile::fromMemory(c.name, file.data(), file.size());
        for (const BirdFile* bird : {&loaded, &decoded}) {
            ASSERT_EQ(c.image.size(), bird->imageLength());
            EXPECT_TRUE(std::equal(c.image.begin(), c.image.end(), bird->image()));
        }
    }
}

TEST_F(BirdFileTest, RecordRunningPastTheEndKeepsTheRecordsBeforeIt) {
    RawImage image;
    image.be32(2)
        .record(kFirmware, {0, 0, 0x10, 0, 0xEE})
        .u8(kFirmware)
        .be32(1000) // claims far more than the image holds
        .fill(10, 0x55);
    DebugCapture capture(DEBUG_BirdFile);
    BirdFile bird(save("past.bird", wrapBirdImage(image.bytes)));
    EXPECT_EQ(1u, bird.blockCount());
    EXPECT_EQ(0x1000u, bird.blocks()[0].address);
    EXPECT_FALSE(bird.parseMatched());
    EXPECT_EQ(2u, bird.reportedBlockCount());
    const std::string trace = capture.text();
    EXPECT_NE(std::string::npos, trace.find("BIRDFILE:\t\t File reports 2 blocks\n"));
    EXPECT_NE(std::string::npos, trace.find("BIRDFILE:\t\t 01   00   5\n"));
    EXPECT_NE(std::string::npos,
              trace.find("BIRDFILE: Block parsing mismatch in data size. (11 bytes remaining)\n"));
    EXPECT_NE(std::string::npos,
              trace.find("BIRDFILE: Block parsing mismatch in number of blocks. (1 != 2)\n"));
}

TEST_F(BirdFileTest, LyingCountsAndShortRecordsAreMismatchesNotFailures) {
    struct Case {
        const char* name;
        RawImage image;
        uint32_t blocks;
        int64_t leftover;
        bool matched;
    };
    const std::vector<Case> cases = {
        // More blocks announced than present; the checksum is there.
        {"count", RawImage().be32(3).record(3, {}).record(9, {1}).be32(0x1234), 2, 0, false},
        // Zero-length records of any type parse cleanly.
        {"zero", RawImage().be32(2).record(3, {}).record(4, {}).be32(0), 2, 0, true},
        // A firmware record too short for its address ends the walk.
        {"short", RawImage().be32(1).record(kFirmware, {1, 2}).be32(0), 0, 7, false},
        // No checksum: the last record ends where the checksum should begin.
        {"nochecksum", RawImage().be32(1).record(3, {1, 2}), 1, -4, false},
        // Shorter than the block count.
        {"tiny", RawImage().u8(0).u8(1), 0, -6, false},
        // Bytes left over after the checksum (too few to form a record).
        {"extra", RawImage().be32(0).be32(0).fill(3, 0), 0, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BirdFile bird(save(std::string(c.name) + ".bird", wrapBirdImage(c.image.bytes)));
        EXPECT_EQ(c.blocks, bird.blockCount());
        EXPECT_EQ(c.leftover, bird.leftoverBytes());
        EXPECT_EQ(c.matched, bird.parseMatched());
    }
}

TEST_F(BirdFileTest, ModelMatchesByPrefixOfTheTrimmedField) {
    EXPECT_TRUE(withModel("ABC").modelMatches("ABC")); // ABC + 13 spaces
    EXPECT_TRUE(withModel("ABCD").modelMatches("ABC"));
    EXPECT_FALSE(withModel("AB").modelMatches("ABC"));
    EXPECT_FALSE(withModel("ABC").modelMatches("ABC ")); // the field's spaces are trimmed
    EXPECT_TRUE(withModel("ABC").modelMatches(""));
    EXPECT_FALSE(withModel("abc").modelMatches("ABC"));
    EXPECT_EQ("ABC", withModel("ABC").model());

    BirdWriter noInfo;
    noInfo.addFirmware(0, {1});
    BirdFile bird(save("noinfo.bird", noInfo));
    EXPECT_FALSE(bird.modelMatches(""));
    EXPECT_EQ("", bird.model());
    EXPECT_EQ("", bird.version());
    EXPECT_EQ(0u, bird.infoSerialNumber());
    EXPECT_FALSE(bird.hasOffsets());
    EXPECT_FALSE(bird.updateSerialNumber(0x1234));
}

TEST_F(BirdFileTest, InfoTextsAreCutWhereEachFieldEnds) {
    BirdWriter writer;
    writer.setInfoField(1, "1.2.3 beta 4");
    writer.setInfoField(2, "1a2b3c4dFF");
    BirdFile bird(save("info.bird", writer));
    EXPECT_EQ("1.2.3", bird.version());
    EXPECT_EQ(0x1A2B3C4Du, bird.infoSerialNumber()); // only the first 8 characters

    BirdWriter partial;
    partial.setInfoField(2, "12G4");
    EXPECT_EQ(0x12u, BirdFile(save("partial.bird", partial)).infoSerialNumber());

    // An info block shorter than its four fields gives what it has.
    RawImage image;
    image.be32(1).u8(BIRD_BLOCK_INFO).be32(20).text("t               ").text("9.8 ").be32(0);
    BirdFile shortInfo(save("shortinfo.bird", wrapBirdImage(image.bytes)));
    EXPECT_TRUE(shortInfo.hasInfo());
    EXPECT_EQ("9.8", shortInfo.version());
    EXPECT_EQ(0u, shortInfo.infoSerialNumber());
    EXPECT_FALSE(shortInfo.modelMatches("X"));
}

TEST_F(BirdFileTest, SerialRewriteWritesLittleEndianNumberAndUtf16Text) {
    constexpr uint32_t base = 0x1000;
    BirdWriter writer;
    writer.addFirmware(base, std::vector<uint8_t>(64, 0xEE));
    writer.addOffsets(base + 4, base + 16);
    BirdFile bird(save("serial.bird", writer));

    DebugCapture capture(DEBUG_BirdFile);
    ASSERT_TRUE(bird.updateSerialNumber(0x1A2B3C4D));
    const uint8_t* image = bird.blocksOfType(kFirmware)[0].data + 4;
    const std::vector<uint8_t> number(image + 4, image + 8);
    EXPECT_EQ((std::vector<uint8_t>{0x4D, 0x3C, 0x2B, 0x1A}), number);
    const std::string text = "1A2B3C4D";
    for (size_t k = 0; k < 8; ++k) {
        EXPECT_EQ(text[k], static_cast<char>(image[16 + 2 * k])) << k;
        EXPECT_EQ(0xEE, image[16 + 2 * k + 1]) << k; // high bytes stay
    }
    EXPECT_EQ(0xEE, image[3]);
    EXPECT_EQ(0xEE, image[8]);
    EXPECT_EQ(0xEE, image[32]);
    EXPECT_NE(std::string::npos,
              capture.text().find("BIRDFILE: updating serial number from EEEEEEEE ==> 1A2B3C4D\n"));
    // The file on disk is unchanged.
    BirdFile again(bird.filename());
    EXPECT_EQ(0xEE, again.blocksOfType(kFirmware)[0].data[8]);
}

TEST_F(BirdFileTest, SerialRewriteOnlyInsideTheFirmwareBlockHoldingTheOffset) {
    BirdWriter writer;
    writer.addFirmware(0x0000, std::vector<uint8_t>(32, 0));
    writer.addLoader(0x2000, std::vector<uint8_t>(32, 0)); // a loader covering S is never written
    writer.addFirmware(0x2000, std::vector<uint8_t>(32, 0));
    writer.addOffsets(0x2008, 0);
    BirdFile bird(save("two.bird", writer));
    ASSERT_TRUE(bird.updateSerialNumber(0xAABBCCDD));
    const auto firmware = bird.blocksOfType(kFirmware);
    EXPECT_EQ(0u, firmware[0].data[4 + 8]);
    EXPECT_EQ(0xDD, firmware[1].data[4 + 8]);
    EXPECT_EQ(0u, bird.blocksOfType(BIRD_BLOCK_LOADER)[0].data[4 + 8]);

    // Offsets that straddle a block's end or lie in no block write nothing.
    for (uint32_t offset : {0x001Du, 0x3000u, 0x1FFFu}) {
        BirdWriter outside;
        outside.addFirmware(0x0000, std::vector<uint8_t>(32, 0));
        outside.addOffsets(offset, offset);
        BirdFile none(save("none.bird", outside));
        const std::vector<uint8_t> before(none.image(), none.image() + none.imageLength());
        EXPECT_FALSE(none.updateSerialNumber(0x12345678)) << offset;
        EXPECT_EQ(before, std::vector<uint8_t>(none.image(), none.image() + none.imageLength()));
    }
    // The last 4 bytes of a block still take the number; a zero offset means absent.
    BirdWriter edge;
    edge.addFirmware(0x0100, std::vector<uint8_t>(32, 0));
    edge.addOffsets(0x011C, 0);
    EXPECT_TRUE(BirdFile(save("edge.bird", edge)).updateSerialNumber(1));
    BirdWriter zero;
    zero.addFirmware(0x0000, std::vector<uint8_t>(32, 0));
    zero.addOffsets(0, 0);
    EXPECT_FALSE(BirdFile(save("zero.bird", zero)).updateSerialNumber(1));
}

TEST_F(BirdFileTest, OnlyTheFirstOffsetsAndInfoBlocksCount) {
    BirdWriter writer;
    writer.addFirmware(0, std::vector<uint8_t>(32, 0));
    writer.addOffsets(8, 0);
    writer.setInfoField(1, "1.0");
    writer.addOffsets(12, 0);
    writer.addBlock(BIRD_BLOCK_INFO, 0, infoPayload("", "2.0", "", ""));
    BirdFile bird(save("dup.bird", writer));
    EXPECT_EQ(8u, bird.serialNumberOffset());
    EXPECT_EQ("1.0", bird.version());

    // A short offsets block gives the offsets it holds; the missing one is absent.
    RawImage image;
    image.be32(1).record(BIRD_BLOCK_OFFSETS, {0, 0, 0, 9}).be32(0);
    BirdFile shortOffsets(save("short.bird", wrapBirdImage(image.bytes)));
    EXPECT_TRUE(shortOffsets.hasOffsets());
    EXPECT_EQ(9u, shortOffsets.serialNumberOffset());
    EXPECT_EQ(0u, shortOffsets.descriptorOffset());
}

TEST_F(BirdFileTest, MovingKeepsDescriptorsAndEmptiesTheSource) {
    BirdWriter writer;
    writer.addFirmware(0x40, {9, 8, 7});
    BirdFile first(save("move.bird", writer));
    const uint8_t* data = first.blocks()[0].data;

    BirdFile second(std::move(first));
    EXPECT_EQ(data, second.blocks()[0].data);
    EXPECT_EQ(9, second.blocks()[0].data[4]);
    EXPECT_EQ(0u, first.blockCount());
    EXPECT_EQ("", first.filename());
    EXPECT_FALSE(first.hasInfo());

    BirdFile third;
    EXPECT_EQ(0u, third.blockCount());
    third = std::move(second);
    EXPECT_EQ(data, third.blocks()[0].data);
    EXPECT_EQ(0u, second.blockCount());
}

TEST_F(BirdFileTest, LoadsFromMemoryLikeFromAFile) {
    BirdWriter writer;
    writer.addFirmware(0x40, {1, 2, 3});
    const std::vector<uint8_t> bytes = writer.fileBytes();
    BirdFile bird = BirdFile::fromMemory("memory", bytes.data(), bytes.size());
    EXPECT_EQ("memory", bird.filename());
    EXPECT_EQ(1u, bird.blockCount());
    EXPECT_THROW(BirdFile::fromMemory("short", bytes.data(), 6), std::runtime_error);
    EXPECT_THROW(BirdFile::fromMemory("null", nullptr, 0), std::runtime_error);
}

} // namespace
