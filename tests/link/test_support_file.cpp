// File handles: modes, reads and writes, seeking, lines, formatted output and deletion.
#include "corvane/aFile.h"

#include "ScopedTempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class FileTest : public ::testing::Test {
  protected:
    aFile* open(const std::string& name, aFileMode mode) {
        aFile* file = aFile_Open((dir / name).c_str(), mode);
        opened.push_back(file);
        return file;
    }
    void TearDown() override {
        for (aFile* file : opened)
            if (file)
                aFile_Close(&file);
    }
    ScopedTempDir dir;
    std::vector<aFile*> opened;
};

} // namespace

TEST_F(FileTest, OpenRulesAndCloseClearsTheHandle) {
    EXPECT_EQ(aFile_Open((dir / "missing").c_str(), aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(dir.path().c_str(), aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(std::string(aFILE_MAXPATH + 1, 'a').c_str(), aFileModeWriteOnly), nullptr);
    EXPECT_EQ(aFile_Open((dir / "bad-mode").c_str(), static_cast<aFileMode>(3)), nullptr);
    EXPECT_FALSE(fs::exists(dir / "bad-mode"));

    aFile* file = aFile_Open((dir / "new").c_str(), aFileModeWriteOnly);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(aFile_Close(&file), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
    EXPECT_TRUE(aFile_Exists((dir / "new").c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
    EXPECT_FALSE(aFile_Exists((dir / "missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST_F(FileTest, ModesDecideWhatIsAllowed) {
    writeText(dir / "data", "hello");
    aFile* reader = open("data", aFileModeReadOnly);
    ASSERT_NE(reader, nullptr);
    size_t count = 99;
    EXPECT_EQ(aFile_Write(reader, "x", 1, &count), aErrMode);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Printf(reader, "%d", 1), aErrMode);

    aFile* writer = open("out", aFileModeWriteOnly);
    ASSERT_NE(writer, nullptr);
    char byte;
    EXPECT_EQ(aFile_Read(writer, &byte, 1, &count), aErrMode);
    char line[8];
    EXPECT_EQ(aFile_ReadLine(writer, line, sizeof line, &count), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(writer), aErrMode);
}

TEST_F(FileTest, WriteTruncatesAndReadReachesTheEnd) {
    writeText(dir / "data", "old contents that are longer");
    aFile* writer = open("data", aFileModeWriteOnly);
    ASSERT_NE(writer, nullptr);
    size_t written = 0;
    EXPECT_EQ(aFile_Write(writer, "abc", 3, &written), aErrNone);
    EXPECT_EQ(written, 3u);
    ASSERT_EQ(aFile_Close(&opened.back()), aErrNone);
    EXPECT_EQ(readText(dir / "data"), "abc");

    aFile* reader = open("data", aFileModeReadOnly);
    ASSERT_NE(reader, nullptr);
    char buffer[16] = {};
    size_t got = 0;
    EXPECT_EQ(aFile_Read(reader, buffer, sizeof buffer, &got), aErrNone);
    EXPECT_EQ(got, 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(aFile_Read(reader, buffer, sizeof buffer, &got), aErrEOF);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(aFile_Read(reader, buffer, 0, &got), aErrNone);
}

TEST_F(FileTest, AppendModeStartsAtTheEndAndReadsBack) {
    writeText(dir / "log", "one\n");
    aFile* file = open("log", aFileModeAppend);
    ASSERT_NE(file, nullptr);
    uint64_t position = 0;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 4u);
    EXPECT_EQ(aFile_Printf(file, "%s %d\n", "two", 2), aErrNone);
    EXPECT_EQ(aFile_Seek(file, 0, aSeekStart), aErrNone);
    char line[32];
    size_t length = 0;
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrNone);
    EXPECT_STREQ(line, "one\n");
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrNone);
    EXPECT_STREQ(line, "two 2\n");
    ASSERT_EQ(aFile_Close(&opened.back()), aErrNone);
    EXPECT_EQ(readText(dir / "log"), "one\ntwo 2\n");

    // A missing file is created in this mode.
    EXPECT_NE(open("fresh", aFileModeAppend), nullptr);
    EXPECT_TRUE(fs::exists(dir / "fresh"));
}

TEST_F(FileTest, SeekStaysInsideTheFile) {
    writeText(dir / "data", "0123456789");
    aFile* file = open("data", aFileModeReadOnly);
    ASSERT_NE(file, nullptr);
    uint64_t size = 0, position = 0;
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 10u);

    EXPECT_EQ(aFile_Seek(file, 4, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Seek(file, 2, aSeekCurrent), aErrNone);
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 6u);
    EXPECT_EQ(aFile_Seek(file, -3, aSeekEnd), aErrNone);
    char byte = 0;
    EXPECT_EQ(aFile_Read(file, &byte, 1, nullptr), aErrNone);
    EXPECT_EQ(byte, '7');
    EXPECT_EQ(aFile_Seek(file, 10, aSeekStart), aErrNone); // the end itself is allowed

    EXPECT_EQ(aFile_Seek(file, 11, aSeekStart), aErrRange);
    EXPECT_EQ(aFile_Seek(file, -1, aSeekStart), aErrRange);
    EXPECT_EQ(aFile_Seek(file, 1, aSeekEnd), aErrRange);
    EXPECT_EQ(aFile_Seek(file, -11, aSeekEnd), aErrRange);
    EXPECT_EQ(aFile_Seek(file, INT64_MAX, aSeekEnd), aErrRange);
    EXPECT_EQ(aFile_Seek(file, 0, static_cast<aFileSeekOrigin>(7)), aErrParam);
    // A failed seek leaves the position where it was.
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 10u);
}

TEST_F(FileTest, ReadLineKeepsTheLineFeedAndGivesBackTheRest) {
    writeText(dir / "lines", "ab\ncd");
    aFile* file = open("lines", aFileModeReadOnly);
    ASSERT_NE(file, nullptr);
    char line[64];
    size_t length = 0;
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrNone);
    EXPECT_STREQ(line, "ab\n");
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrNone);
    EXPECT_STREQ(line, "cd");
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrEOF);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(length, 0u);
}

TEST_F(FileTest, ReadLineLongerThanTheBuffer) {
    writeText(dir / "lines", "abcdefgh\nxy\n\n");
    aFile* file = open("lines", aFileModeReadOnly);
    ASSERT_NE(file, nullptr);
    char line[5];
    size_t length = 0;
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrOverrun);
    EXPECT_STREQ(line, "abcd");
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrOverrun);
    EXPECT_STREQ(line, "efgh");
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrNone);
    EXPECT_STREQ(line, "\n");
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrNone);
    EXPECT_STREQ(line, "xy\n");
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrNone);
    EXPECT_STREQ(line, "\n");
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrEOF);

    // A buffer without room for one byte cannot make progress and is refused, not "EOF".
    ASSERT_EQ(aFile_Seek(file, 0, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_ReadLine(file, line, 1, &length), aErrParam);
    EXPECT_EQ(aFile_ReadLine(file, nullptr, 8, &length), aErrParam);
}

TEST_F(FileTest, PrintfLimitIsTheSharedBuffer) {
    aFile* file = open("out", aFileModeWriteOnly);
    ASSERT_NE(file, nullptr);
    const std::string fits(64 * 1024 - 1, 'x');
    EXPECT_EQ(aFile_Printf(file, "%s", fits.c_str()), aErrNone);
    const std::string tooLong(64 * 1024, 'y');
    EXPECT_EQ(aFile_Printf(file, "%s", tooLong.c_str()), aErrIO);
    ASSERT_EQ(aFile_Close(&opened.back()), aErrNone);
    EXPECT_EQ(readText(dir / "out"), fits); // nothing of the text that did not fit was written
}

TEST_F(FileTest, DeleteReportsWhyItFailed) {
    writeText(dir / "victim", "x");
    EXPECT_EQ(aFile_Delete((dir / "victim").c_str()), aErrNone);
    EXPECT_FALSE(fs::exists(dir / "victim"));
    EXPECT_EQ(aFile_Delete((dir / "victim").c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    fs::create_directory(dir / "folder");
    EXPECT_EQ(aFile_Delete((dir / "folder").c_str()), aErrIO);
    EXPECT_TRUE(fs::exists(dir / "folder"));
    if (geteuid() != 0) {
        writeText(dir / "folder/kept", "x");
        fs::permissions(dir / "folder", fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(aFile_Delete((dir / "folder/kept").c_str()), aErrPermission);
        fs::permissions(dir / "folder", fs::perms::owner_all);
    }
}

TEST_F(FileTest, StaleAndNullHandlesAreRefused) {
    char buffer[4];
    size_t count = 0;
    uint64_t value = 0;
    EXPECT_EQ(aFile_Read(nullptr, buffer, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Write(nullptr, buffer, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Seek(nullptr, 0, aSeekStart), aErrParam);
    EXPECT_EQ(aFile_GetSize(nullptr, &value), aErrParam);
    EXPECT_EQ(aFile_GetPosition(nullptr, &value), aErrParam);
    EXPECT_EQ(aFile_ReadLine(nullptr, buffer, sizeof buffer, &count), aErrParam);
    EXPECT_EQ(aFile_Printf(nullptr, "x"), aErrParam);
    // A block that does not carry the check word is not a file.
    alignas(8) unsigned char notAFile[64] = {};
    auto* fake = reinterpret_cast<aFile*>(notAFile);
    EXPECT_EQ(aFile_Read(fake, buffer, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Close(&fake), aErrParam);
}

TEST_F(FileTest, OpeningAFifoWithoutAPeerDoesNotHang) {
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // Writing needs a reader, so this open fails at once instead of waiting for one.
    EXPECT_EQ(aFile_Open((dir / "fifo").c_str(), aFileModeWriteOnly), nullptr);
    aFile* reader = open("fifo", aFileModeReadOnly);
    EXPECT_NE(reader, nullptr);
}
