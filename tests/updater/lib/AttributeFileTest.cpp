// AttributeFile: the lenient reader, key order on write, the time stamps and safe replacement.
#include "AttributeFile.h"

#include "BirdTestImages.h"
#include "DebugCapture.h"
#include "FileLimit.h"
#include "ScopedTempDir.h"

#include <corvane/aDefs.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;
using ::testing::Pair;

// The ctime form without its line feed, e.g. "Mon Dec  7 17:50:07 2026".
constexpr const char* kCtime = "[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 1-3][0-9] "
                               "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9][0-9][0-9][0-9]";

std::string readText(const std::string& path) {
    const std::vector<uint8_t> bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void writeText(const std::string& path, const std::string& text) {
    writeBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<std::string> namesIn(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class AttributeFileTest : public ::testing::Test {
  protected:
    ScopedTempDir dir;
    std::string path = dir / ".settings";
};

TEST_F(AttributeFileTest, ReadsLenientlyAndWritesBackInKeyOrder) {
    writeText(path, "# a comment line\n"
                    "  KEY = some value  \n"
                    "X=1\n"
                    "a\n"                   // shorter than 3 characters
                    "no equals sign here\n" // not an entry
                    "WIN=crlf\r\n"
                    "X=2\n" // a later line replaces the value
                    "EMPTY=\n"
                    "last=no line feed");
    AttributeFile file(path);
    EXPECT_EQ(path, file.path());
    EXPECT_FALSE(file.isDirty());
    EXPECT_THAT(file.entries(),
                ElementsAre(Pair("EMPTY", ""), Pair("KEY", "some value"), Pair("WIN", "crlf"),
                            Pair("X", "2"), Pair("last", "no line feed")));
    EXPECT_EQ(aErrNone, file.write());
    EXPECT_EQ("EMPTY=\nKEY=some value\nWIN=crlf\nX=2\nlast=no line feed\n", readText(path));
}

TEST_F(AttributeFileTest, SpecimenOfThreeLinesReadsAsTwoEntries) {
    writeText(path, "#comment\nKEY = some value\nX=1\n");
    AttributeFile file(path);
    EXPECT_THAT(file.entries(), ElementsAre(Pair("KEY", "some value"), Pair("X", "1")));
    EXPECT_EQ(aErrNone, file.write(path));
    EXPECT_EQ("KEY=some value\nX=1\n", readText(path));
}

TEST_F(AttributeFileTest, LinesOfAnyLengthSurviveARewrite) {
    const std::string longValue(100000, 'x');
    writeText(path, "A=1\nLONG=" + longValue + "\nB=2");
    AttributeFile file(path);
    EXPECT_THAT(file.entries(),
                ElementsAre(Pair("A", "1"), Pair("B", "2"), Pair("LONG", longValue)));
    file.set("C", "3");
    ASSERT_EQ(aErrNone, file.write());
    EXPECT_EQ(AttributeFile(path).getString("LONG"), longValue);
}

TEST_F(AttributeFileTest, MissingFileIsCreatedWithOnlyItsCreationTime) {
    DebugCapture capture(DEBUG_Attributes);
    AttributeFile file(path);
    const std::string text = readText(path);
    EXPECT_THAT(text, MatchesRegex(std::string("CREATED_TIME=") + kCtime + "\n"));
    EXPECT_FALSE(file.isDirty());
    EXPECT_NE(std::string::npos,
              capture.text().find("Attibutes: Error - cannot open attributes file: '" + path +
                                  "' (2)\n"));
}

TEST_F(AttributeFileTest, UpdatedTimeIsWrittenOnlyAfterAChange) {
    writeText(path, "LATEST_DOWNLOAD=12.bird\n");
    AttributeFile file(path);
    EXPECT_TRUE(file.set(ATTR_LATEST_DOWNLOAD, "12.bird"));
    EXPECT_TRUE(file.set("NEVER_SET", ""));
    EXPECT_FALSE(file.isDirty());
    EXPECT_EQ(aErrNone, file.write());
    EXPECT_EQ("LATEST_DOWNLOAD=12.bird\nNEVER_SET=\n", readText(path));

    EXPECT_TRUE(file.set(ATTR_LATEST_DOWNLOAD, std::string("13.bird")));
    EXPECT_TRUE(file.isDirty());
    EXPECT_EQ(aErrNone, file.write());
    EXPECT_FALSE(file.isDirty());
    AttributeFile reread(path);
    EXPECT_THAT(reread.getString(ATTR_UPDATED_TIME), MatchesRegex(kCtime));
    EXPECT_EQ("13.bird", reread.getString(ATTR_LATEST_DOWNLOAD));
}

TEST_F(AttributeFileTest, NumbersAndStringsWithDefaults) {
    writeText(path, "LATEST_DOWNLOAD=1234.bird\nEMPTY=\nWORD=abc\nHUGE=99999999999\nNEG=-7x\n");
    AttributeFile file(path);
    EXPECT_EQ(1234, file.getInt(ATTR_LATEST_DOWNLOAD, 0));
    EXPECT_EQ(5, file.getInt("EMPTY", 5));
    EXPECT_EQ(0, file.getInt("WORD", 5));
    EXPECT_EQ(INT_MAX, file.getInt("HUGE", 0));
    EXPECT_EQ(-7, file.getInt("NEG", 0));
    EXPECT_EQ(0, file.getInt(ATTR_LATEST_TRANSFER, 0));
    // Asking adds the key with an empty value, without making the file dirty.
    EXPECT_EQ("", file.getString(ATTR_LATEST_TRANSFER, "absent"));
    EXPECT_FALSE(file.isDirty());
    EXPECT_EQ("absent", file.getString(ATTR_LAST_TRANSFER_VERSION, "absent"));
    EXPECT_EQ("", file.getString(ATTR_LAST_TRANSFER_VERSION));
}

TEST_F(AttributeFileTest, WriteWithoutAPathUsesSettingsInTheWorkingDirectory) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    AttributeFile file;
    file.set("K", "v");
    const aErr err = file.write();
    std::filesystem::current_path(previous);
    EXPECT_EQ(aErrNone, err);
    EXPECT_EQ(".settings", file.path());
    EXPECT_THAT(readText(path), MatchesRegex(std::string("K=v\nUPDATED_TIME=") + kCtime + "\n"));
}

TEST_F(AttributeFileTest, FailedWriteIsReportedAndLosesNothing) {
    writeText(path, "OLD=value\n");
    AttributeFile file(path);
    file.set("NEW", std::string(200, 'n'));
    {
        FileSizeLimit full(16);
        EXPECT_EQ(aErrWrite, file.write());
    }
    EXPECT_TRUE(file.isDirty());
    EXPECT_EQ("OLD=value\n", readText(path));
    EXPECT_THAT(namesIn(dir.path()), ElementsAre(".settings"));
    // Once there is room again the same object writes everything.
    EXPECT_EQ(aErrNone, file.write());
    EXPECT_EQ(std::string(200, 'n'), AttributeFile(path).getString("NEW"));

    AttributeFile nowhere;
    nowhere.set("K", "v");
    DebugCapture capture(DEBUG_Attributes);
    const std::string missing = dir / "no/such/dir/.settings";
    EXPECT_EQ(aErrNotFound, nowhere.write(missing));
    EXPECT_TRUE(nowhere.isDirty());
    EXPECT_NE(std::string::npos,
              capture.text().find("Attibutes: Error - cannot open attributes file for writting: '" +
                                  missing + "' (2)\n"));
    // An empty path is a path of its own, and no file can be made there.
    EXPECT_EQ(aErrNotFound, nowhere.write(""));
    EXPECT_EQ("", nowhere.path());
    EXPECT_NE(std::string::npos,
              capture.text().find("cannot open attributes file for writting: '' (2)\n"));
    std::filesystem::create_directory(dir / "folder");
    EXPECT_EQ(aErrNotFound, nowhere.write(dir / "folder"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "folder"));
}

TEST_F(AttributeFileTest, AFileThatCannotBeOpenedIsNeverReplaced) {
    // Longer than the file layer's path limit: reading fails, and so must replacing.
    std::string deep = dir.path();
    while (deep.size() + std::strlen("/.settings") <= aFILE_MAXPATH) {
        deep += "/dddddddddddddddddddddddddddddd";
    }
    std::filesystem::create_directories(deep);
    const std::string longPath = deep + "/.settings";
    const std::string kept = "CREATED_TIME=then\nLATEST_TRANSFER=77.bird\n";
    writeText(longPath, kept);
    AttributeFile file(longPath);
    EXPECT_EQ(kept, readText(longPath));
    EXPECT_EQ(aErrNotFound, file.write());
    EXPECT_EQ(kept, readText(longPath));

    if (geteuid() != 0) { // root may write anything
        writeText(path, kept);
        std::filesystem::permissions(path, std::filesystem::perms::none);
        AttributeFile locked(path);
        EXPECT_EQ(aErrNotFound, locked.write());
        std::filesystem::permissions(path, std::filesystem::perms::owner_read);
        EXPECT_EQ(kept, readText(path));
    }
}

TEST(AttributeTime, HasTheCtimeForm) {
    EXPECT_THAT(attributeTimeNow(), MatchesRegex(kCtime));
}

} // namespace
