// Replays the fuzzers' seed corpora and crash regressions through the fuzz entry functions, so
// every input that ever mattered keeps being checked in the ordinary test run.
#include "../../fuzz/FuzzTargets.h"

#include "ScopedTempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;

// The fixtures folder is tests/fixtures; the corpora live in fuzz/ at the top of the tree.
const fs::path kFuzzDir = fs::path(CORVANE_FIXTURES_DIR).parent_path().parent_path() / "fuzz";

std::vector<fs::path> inputsOf(const std::string& target) {
    std::vector<fs::path> files;
    for (const char* folder : {"corpus", "regressions"}) {
        const fs::path dir = kFuzzDir / folder / target;
        if (!fs::is_directory(dir)) {
            continue;
        }
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file() && entry.path().filename() != ".gitkeep") {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

TEST(FuzzCorpus, BirdLoaderInputsLoadOrFailCleanly) {
    const auto files = inputsOf("fuzz_bird_loader");
    ASSERT_GE(files.size(), 10u) << "seed corpus missing under " << kFuzzDir;
    for (const fs::path& file : files) {
        const std::vector<uint8_t> bytes = contents(file);
        EXPECT_EQ("", fuzzBirdLoader(bytes.data(), bytes.size())) << file;
    }
}

TEST(FuzzCorpus, AttributeFileInputsSurviveARoundTrip) {
    const auto files = inputsOf("fuzz_attribute_file");
    ASSERT_GE(files.size(), 4u) << "seed corpus missing under " << kFuzzDir;
    ScopedTempDir scratch;
    for (const fs::path& file : files) {
        const std::vector<uint8_t> bytes = contents(file);
        EXPECT_EQ("", fuzzAttributeFile(bytes.data(), bytes.size(), scratch.path())) << file;
    }
}

} // namespace
