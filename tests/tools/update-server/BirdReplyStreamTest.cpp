// update-server's piecewise BIRD reply: the same bytes as the whole reply the daemon sends, of the
// length announced beforehand, or a failure when the file changes under it.
#include "BirdReplyStream.h"
#include "Base64.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

namespace fs = std::filesystem;

class BirdReplyStreamTest : public testing::Test {
  protected:
    fs::path write(const std::vector<uint8_t>& bytes) {
        const fs::path path = fs::path(dir.path()) / "1.bird";
        testsupport::writeText(path, std::string(bytes.begin(), bytes.end()));
        return path;
    }
    // What writeTo put on a file, and whether it succeeded.
    static bool written(updateserver::BirdReplySource& source, std::string& text) {
        FILE* out = std::tmpfile();
        std::string problem;
        const bool ok = source.writeTo(out, problem);
        std::fflush(out);
        std::rewind(out);
        text.clear();
        char buffer[65536];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) {
            text.append(buffer, n);
        }
        std::fclose(out);
        return ok;
    }

    ScopedTempDir dir;
};

TEST_F(BirdReplyStreamTest, WritesTheWholeRepliesBytesAtTheAnnouncedLength) {
    // Around the piece size (3 * 64 KiB): padding only ever at the very end.
    for (const size_t size : {0, 1, 2, 3, 4, 196607, 196608, 196609, 393217}) {
        const std::vector<uint8_t> bytes = testsupport::firmwareBytes(size, 5);
        const fs::path path = write(bytes);
        updateserver::BirdReplySource source;
        std::string problem;
        ASSERT_TRUE(source.open(path.string(), 1 << 20, problem)) << problem;
        std::string text;
        EXPECT_TRUE(written(source, text)) << size;
        EXPECT_EQ(text, "ok\n" + base64Encode(bytes.data(), bytes.size()) + "\n") << size;
        EXPECT_EQ(source.replyLength(), text.size()) << size;
    }
}

TEST_F(BirdReplyStreamTest, AFileChangedOrTooLargeIsNeverSentAsSomethingElse) {
    const std::vector<uint8_t> bytes = testsupport::firmwareBytes(300000, 9);
    updateserver::BirdReplySource tooLarge;
    std::string problem;
    EXPECT_FALSE(tooLarge.open(write(bytes).string(), bytes.size() - 1, problem));
    EXPECT_NE(problem.find("read failed"), std::string::npos) << problem;

    // Shrunk after opening: the announced length cannot be kept, so the write fails.
    updateserver::BirdReplySource shrunk;
    const fs::path path = write(bytes);
    ASSERT_TRUE(shrunk.open(path.string(), bytes.size(), problem)) << problem;
    fs::resize_file(path, bytes.size() / 2);
    std::string text;
    EXPECT_FALSE(written(shrunk, text));
    EXPECT_LT(text.size(), shrunk.replyLength());

    // Grown after opening: the reply is the file as it was opened, at the announced length.
    updateserver::BirdReplySource grown;
    const fs::path again = write(bytes);
    ASSERT_TRUE(grown.open(again.string(), bytes.size(), problem)) << problem;
    std::ofstream(again, std::ios::binary | std::ios::app) << "more";
    EXPECT_TRUE(written(grown, text));
    EXPECT_EQ(text, "ok\n" + base64Encode(bytes.data(), bytes.size()) + "\n");
}

} // namespace
