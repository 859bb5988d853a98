// birdtool: the writer library read back by the updater's reader, the manifest directives and
// the program itself.
#include "BirdFile.h"
#include "BirdRecipe.h"
#include "BirdWriter.h"
#include "ProcessRunner.h"
#include "ScopedTempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

namespace {

using ::testing::HasSubstr;

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

BirdFile decode(const BirdWriter& writer) {
    const std::vector<uint8_t> bytes = writer.fileBytes();
    return BirdFile::fromMemory("written", bytes.data(), bytes.size());
}

TEST(BirdWriter, ImagesReadBackFieldForField) {
    BirdWriter writer;
    writer.setHeader(2, 7);
    writer.addLoader(0x20000000, {1, 2, 3, 4}, 6);
    writer.addFirmware(0x8000, {5, 6});
    writer.setLastFlags(3);
    writer.setInfoField(3, "ABC");
    writer.setInfoField(1, "1.0.0 x");
    writer.setInfoField(3, "ABCD"); // a field may be set again; the block stays in place
    writer.addOffsets(0x8000, 0);
    writer.addLoaderStart(0x20000010);
    const std::vector<uint8_t> bytes = writer.fileBytes();
    EXPECT_EQ(0x0207, (bytes[4] << 8) | bytes[5]);

    BirdFile bird = decode(writer);
    ASSERT_EQ(5u, bird.blockCount());
    EXPECT_TRUE(bird.parseMatched());
    EXPECT_EQ(0x20000000u, bird.blocks()[0].address);
    EXPECT_EQ(6, bird.blocks()[0].flags);
    EXPECT_EQ(3, bird.blocks()[1].flags);
    EXPECT_EQ(BIRD_BLOCK_INFO, bird.blocks()[2].type);
    EXPECT_EQ("ABCD            ", bird.infoField(3));
    EXPECT_EQ("1.0.0", bird.version());
    EXPECT_EQ(BIRD_BLOCK_LOADER_START, bird.blocks()[4].type);
    const std::vector<uint8_t> image = writer.blockImage();
    EXPECT_EQ(birdChecksum(image.data(), image.size() - 4), bird.checksum());

    writer.overrideChecksum(0xDEADBEEF);
    EXPECT_EQ(0xDEADBEEFu, decode(writer).checksum());
}

TEST(BirdWriter, ImagesThatCompressTooWellStillLoad) {
    BirdWriter writer;
    writer.addFirmware(0, std::vector<uint8_t>(1 << 20, 0xFF)); // erased flash
    writer.setInfoField(3, "ABC");
    const std::vector<uint8_t> bytes = writer.fileBytes();
    EXPECT_GT(bytes.size(), writer.blockImage().size() / 8);
    BirdFile bird = decode(writer);
    EXPECT_TRUE(bird.parseMatched());
    EXPECT_EQ((1u << 20) + 4, bird.blocks()[0].length);

    // Images that compress less well keep their compression (two bits of noise per byte).
    std::vector<uint8_t> noisy(4096);
    uint32_t state = 1;
    for (uint8_t& byte : noisy) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>((state >> 16) & 3);
    }
    BirdWriter ordinary;
    ordinary.addFirmware(0, noisy);
    EXPECT_LT(ordinary.fileBytes().size(), noisy.size() / 2);
}

TEST(BirdWriter, RefusesWhatTheFormatCannotHold) {
    BirdWriter writer;
    EXPECT_THROW(writer.setLastFlags(1), std::logic_error);
    EXPECT_THROW(writer.addFirmware(0, {}, 8), std::invalid_argument);
    EXPECT_THROW(writer.addBlock(32, 0, {}), std::invalid_argument);
    EXPECT_THROW(writer.setInfoField(4, "x"), std::invalid_argument);
    EXPECT_THROW(writer.setInfoField(0, std::string(17, 'x')), std::invalid_argument);
    EXPECT_EQ(0u, writer.blockCount());
}

TEST(BirdRecipe, NumbersAreDecimalOrPrefixedHexadecimal) {
    uint32_t value = 0;
    EXPECT_TRUE(parseRecipeNumber("4096", UINT32_MAX, value));
    EXPECT_EQ(4096u, value);
    EXPECT_TRUE(parseRecipeNumber("0xFFFFFFFF", UINT32_MAX, value));
    EXPECT_EQ(0xFFFFFFFFu, value);
    for (const char* bad : {"", "0x", "12a", "0x1G", "-1", "4294967296", "0x100000000", " 1"}) {
        EXPECT_FALSE(parseRecipeNumber(bad, UINT32_MAX, value)) << bad;
    }
    EXPECT_FALSE(parseRecipeNumber("8", 7, value));
}

TEST(BirdRecipe, ManifestBuildsTheImageItDescribes) {
    ScopedTempDir dir;
    writeFile(dir / "fw.bin", std::string(32, '\x7F'));
    writeFile(dir / "manifest.txt", "# comment\n"
                                    "\n"
                                    "header 1 2\n"
                                    "  firmware 0x1000 fw.bin\n"
                                    "flags 5\n"
                                    "offsets 0x1004 0\n"
                                    "version 2.0.1 with space\n"
                                    "model   USBHub3p  \n");
    BirdRecipe recipe;
    std::string error;
    ASSERT_TRUE(recipe.applyManifest(dir / "manifest.txt", error)) << error;
    BirdFile bird = decode(recipe.writer());
    ASSERT_EQ(3u, bird.blockCount());
    EXPECT_EQ(0x1000u, bird.blocks()[0].address);
    EXPECT_EQ(36u, bird.blocks()[0].length);
    EXPECT_EQ(5, bird.blocks()[0].flags);
    EXPECT_EQ("2.0.1 with space", bird.infoField(1));
    EXPECT_TRUE(bird.modelMatches("USBHub3p"));
}

TEST(BirdRecipe, ManifestErrorsNameFileAndLine) {
    ScopedTempDir dir;
    const std::string manifest = dir / "m.txt";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"firmware 0x10 absent.bin\n", "cannot open " + dir / "absent.bin"},
        {"bogus 1\n", "unknown directive \"bogus\""},
        {"offsets 1\n", "\"offsets\" takes 2 values"},
        {"flags 1\n", "flags need a loader or firmware block before them"},
        {"header 1 256\n", "\"header\": \"256\" is not a number from 1 to 255"},
        {"header 0 1\n", "\"header\": \"0\" is not a number from 1 to 255"},
        {"model this is far too long\n", "is longer than 16 characters"},
    };
    for (const auto& [text, reason] : cases) {
        writeFile(manifest, "# first line\n" + text);
        BirdRecipe recipe;
        std::string error;
        EXPECT_FALSE(recipe.applyManifest(manifest, error)) << text;
        EXPECT_THAT(error, HasSubstr(manifest + ":2: ")) << text;
        EXPECT_THAT(error, HasSubstr(reason)) << text;
    }
    BirdRecipe recipe;
    std::string error;
    EXPECT_FALSE(recipe.applyManifest(dir / "none.txt", error));
    EXPECT_EQ("cannot open manifest " + dir / "none.txt", error);
}

class BirdtoolProgram : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(std::string(BIRDTOOL_BIN).empty()) << "birdtool is not built";
    }
    testsupport::ProcessResult run(const std::vector<std::string>& args) {
        testsupport::ProcessOptions options;
        options.workingDirectory = dir.path();
        return testsupport::runProcess(BIRDTOOL_BIN, args, options);
    }
    ScopedTempDir dir;
};

TEST_F(BirdtoolProgram, CreatesAndShowsAFile) {
    writeFile(dir / "fw.bin", std::string(100, 'f'));
    writeFile(dir / "m.txt", "text from manifest\n");
    auto created = run({"create", "-o", "out.bird", "--firmware", "0x400", "fw.bin", "--flags", "2",
                        "--offsets", "0x404", "0x408", "--model", "ABC", "m.txt"});
    ASSERT_EQ(0, created.exitStatus) << created.err;
    EXPECT_EQ("birdtool: wrote out.bird (3 blocks)\n", created.out);

    auto shown = run({"show", "out.bird"});
    EXPECT_EQ(0, shown.exitStatus) << shown.err;
    EXPECT_THAT(shown.out, HasSubstr("     0  01 firmware      2      104         0x00000400\n"));
    EXPECT_THAT(shown.out, HasSubstr("Info: text    [from manifest   ]\n"));
    EXPECT_THAT(shown.out, HasSubstr("Checksum check: matches"));
    EXPECT_EQ("", shown.err);

    auto traced = run({"show", "--trace", "out.bird"});
    EXPECT_THAT(traced.err, HasSubstr("BIRDFILE:\t\t File reports 3 blocks\n"));
}

TEST_F(BirdtoolProgram, BadInputGetsAClearErrorAndNoFile) {
    auto noOutput = run({"create", "--model", "ABC"});
    EXPECT_EQ(2, noOutput.exitStatus);
    EXPECT_THAT(noOutput.err, HasSubstr("create needs -o OUTPUT"));
    auto missingValue = run({"create", "-o", "x.bird", "--firmware", "0x400"});
    EXPECT_EQ(2, missingValue.exitStatus);
    EXPECT_THAT(missingValue.err, HasSubstr("--firmware needs 2 values"));
    auto missingFile = run({"create", "-o", "x.bird", "--firmware", "0", "none.bin"});
    EXPECT_EQ(2, missingFile.exitStatus);
    EXPECT_THAT(missingFile.err, HasSubstr("cannot open none.bin"));
    EXPECT_FALSE(std::filesystem::exists(dir / "x.bird"));

    writeFile(dir / "junk.bird", "not a bird file at all");
    auto junk = run({"show", "junk.bird"});
    EXPECT_EQ(1, junk.exitStatus);
    EXPECT_THAT(junk.err, HasSubstr("cannot load junk.bird: Failed to load bird data"));

    auto help = run({"--help"});
    EXPECT_EQ(0, help.exitStatus);
    EXPECT_THAT(help.out, HasSubstr("Manifest files:"));
    EXPECT_EQ(2, run({"frobnicate"}).exitStatus);
}

} // namespace
