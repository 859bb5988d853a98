// Updater -C (check a BIRD file) and -I (stored device information) run as processes.
#include "Base64.h"
#include "BirdWriter.h"
#include "ScriptedHttpServer.h"
#include "UpdaterProcessFixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kVersionLine = "Updater (Version: 2.11.4 Sep 23 2025)\n";

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> sampleImage() {
    BirdWriter writer;
    writer.addLoader(0x10000000, std::vector<uint8_t>(16, 1), 1);
    writer.addFirmware(0x00004000, std::vector<uint8_t>(256, 2), 4);
    writer.addOffsets(0x4010, 0x4020);
    writer.setInfoField(0, "sample");
    writer.setInfoField(1, "3.1.4 rc1");
    writer.setInfoField(2, "40F5849A");
    writer.setInfoField(3, "USBHub3p");
    return writer.fileBytes();
}

class InspectCommands : public testsupport::UpdaterProcessFixture {
  protected:
    std::string moduleDirectory(const std::string& serial) {
        const std::string path = home / (".quendra/updater/" + serial);
        std::filesystem::create_directories(path);
        return path;
    }
};

TEST_F(InspectCommands, CheckShowsEverythingAGoodFileHolds) {
    const std::string path = home / "sample.bird";
    writeFile(path, sampleImage());
    auto r = run({"-C", "-f", path});
    EXPECT_EQ(0, r.exitStatus) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_THAT(r.out, StartsWith(kVersionLine + std::string("BIRD file: ") + path + "\n"));
    EXPECT_THAT(r.out, HasSubstr("Header: magic 62697264 (\"bird\"), bytes 4 and 5: 01 01\n"));
    EXPECT_THAT(r.out, HasSubstr("     0  00 loader        1      20          0x10000000\n"));
    EXPECT_THAT(r.out, HasSubstr("     1  01 firmware      4      260         0x00004000\n"));
    EXPECT_THAT(r.out, HasSubstr("     2  02 offsets       0      8           -\n"));
    EXPECT_THAT(r.out, HasSubstr("      version [3.1.4 rc1       ] -> 3.1.4\n"));
    EXPECT_THAT(r.out, HasSubstr("Offsets: serial number 0x00004010, descriptor 0x00004020\n"));
    EXPECT_THAT(r.out, HasSubstr("Block walk: matched"));
}

TEST_F(InspectCommands, CheckFailsClearlyWhenTheFileDoesNotLoad) {
    auto none = run({"-C"});
    EXPECT_EQ(1, none.exitStatus);
    EXPECT_EQ(kVersionLine, none.out);
    EXPECT_EQ("-C must name the BIRD file to check via -f\n", none.err);

    const std::string missing = home / "missing.bird";
    auto absent = run({"-C", "-f", missing});
    EXPECT_EQ(1, absent.exitStatus);
    EXPECT_EQ("BIRD file not found: " + missing + "\n", absent.err);

    const std::string cut = home / "cut.bird";
    std::vector<uint8_t> bytes = sampleImage();
    bytes.resize(bytes.size() / 2);
    writeFile(cut, bytes);
    auto truncated = run({"-C", "-f", cut});
    EXPECT_EQ(1, truncated.exitStatus);
    EXPECT_EQ("Could not load BIRD file " + cut + ": Failed to load bird data (-X 8 shows why)\n",
              truncated.err);

    // With the reader's trace the failing step is named.
    auto traced = run({"-X", "8", "-C", "-f", cut});
    EXPECT_THAT(traced.err, HasSubstr("BIRDFILE: Error (-3) decompressing bird file.\n"));
}

TEST_F(InspectCommands, CheckLoadsDoubtfulFilesButSaysWhatIsWrong) {
    std::vector<uint8_t> bytes = sampleImage();
    bytes[3] = 'D';
    const std::string path = home / "magic.bird";
    writeFile(path, bytes);
    auto r = run({"-C", "-f", path});
    EXPECT_EQ(0, r.exitStatus);
    EXPECT_THAT(r.out, HasSubstr("Header: magic 62697244 (\"birD\") NOT \"bird\""));
    EXPECT_THAT(r.err, HasSubstr("does not start with \"bird\" and two non-zero header bytes"));

    // A record that runs past the end of the image.
    std::vector<uint8_t> image = {0, 0, 0, 2, 3, 0, 0, 0, 0, 1, 0xFF, 0xFF, 0, 0};
    const std::string lying = home / "lying.bird";
    writeFile(lying, wrapBirdImage(image));
    auto mismatch = run({"-C", "-f", lying});
    EXPECT_EQ(0, mismatch.exitStatus);
    EXPECT_THAT(mismatch.out,
                HasSubstr("Block walk: MISMATCH (1 of 2 announced blocks parsed, 1 bytes left "
                          "over besides the checksum)\n"));
}

// -C gives the verdict -G gives the same file from the server: a walk that stops after a block
// leaves something to install, one that walks no block leaves nothing.
TEST_F(InspectCommands, CheckJudgesAFileAsGetDoes) {
    using testsupport::httpReply;
    const struct {
        const char* what;
        std::vector<uint8_t> image;
        int exitStatus;
    } cases[] = {
        {"an offsets block, then a record past the end",
         {0, 0, 0,    2,    2, 0,    0,    0, 8, 0, 0, 0x40, 0x10,
          0, 0, 0x40, 0x20, 1, 0xFF, 0xFF, 0, 0, 0, 0, 0,    0},
         0},
        {"a record past the end first", {0, 0, 0, 1, 1, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(home / ".quendra");
        const std::vector<uint8_t> bytes = wrapBirdImage(c.image);
        const std::string path = home / "walk.bird";
        writeFile(path, bytes);
        const auto check = run({"-C", "-f", path});
        EXPECT_EQ(check.exitStatus, c.exitStatus) << check.err;
        EXPECT_THAT(check.out, HasSubstr("Block walk: MISMATCH"));
        EXPECT_EQ(check.err, c.exitStatus == 0
                                 ? ""
                                 : "No block of " + path + " can be walked: -U and -G refuse it\n");

        const testsupport::ScriptedHttpServer server({
            httpReply(200, "ok\n"),
            httpReply(200, "ok\n1300\nCVN-HUB\n"),
            httpReply(200, "ok\n1300;6.6.6\n"),
            httpReply(200, "ok\n" + base64Encode(bytes.data(), bytes.size()) + "\n"),
        });
        const auto get = run({"-G", "-d", "40F5849A", "-u", server.url()});
        EXPECT_EQ(get.exitStatus, c.exitStatus) << get.err;
    }
}

TEST_F(InspectCommands, DeviceInfoShowsAttributesAndLocalFiles) {
    const std::string device = moduleDirectory("40F5849A");
    std::ofstream(device + "/.settings") << "CREATED_TIME=Mon Dec  7 17:50:07 2026\n"
                                            "LATEST_DOWNLOAD=1234.bird\n";
    writeFile(device + "/1234.bird", sampleImage());
    writeFile(device + "/99.bird", {'j', 'u', 'n', 'k'});
    auto r = run({"-I", "-d", "0x40F5849A"});
    EXPECT_EQ(0, r.exitStatus) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(std::string(kVersionLine) + "Device 40F5849A: " + device + "\n" +
                  "Stored attributes:\n"
                  "  CREATED_TIME=Mon Dec  7 17:50:07 2026\n"
                  "  LATEST_DOWNLOAD=1234.bird\n"
                  "Local files:\n"
                  "  1234.bird  version 3.1.4, model USBHub3p, built for 40F5849A, 4 blocks\n"
                  "  99.bird (not a BIRD file)\n",
              r.out);
}

TEST_F(InspectCommands, DeviceInfoLeavesNoTrace) {
    const std::string device = moduleDirectory("40F5849A");
    std::filesystem::create_directory(device + "/sub");
    auto r = run({"-I", "-d", "40F5849A"});
    EXPECT_EQ(0, r.exitStatus) << r.err;
    EXPECT_EQ(std::string(kVersionLine) + "Device 40F5849A: " + device + "\n" +
                  "Stored attributes:\n"
                  "  none\n"
                  "Local files:\n"
                  "  sub (directory)\n",
              r.out);
    EXPECT_FALSE(std::filesystem::exists(device + "/.settings"));
    EXPECT_TRUE(std::filesystem::is_empty(device + "/sub"));
}

TEST_F(InspectCommands, DeviceInfoWithoutAnEntryOrSerial) {
    auto r = run({"-I", "-d", "11223344"});
    EXPECT_EQ(0, r.exitStatus);
    EXPECT_EQ(kVersionLine + ("The store " + home / ".quendra/updater") +
                  " has no entry for device 11223344\n",
              r.out);
    EXPECT_FALSE(std::filesystem::exists(home / ".quendra/updater/11223344"));

    auto noSerial = run({"-I"});
    EXPECT_EQ(1, noSerial.exitStatus);
    EXPECT_EQ("-I must specify a specific device via -d\n", noSerial.err);
}

} // namespace
