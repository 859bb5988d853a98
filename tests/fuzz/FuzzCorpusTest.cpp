// Replays the fuzzers' seed corpora and crash regressions through the fuzz entry functions, so
// every input that ever mattered keeps being checked in the ordinary test run.
#include "../../fuzz/FuzzTargets.h"

#include "ScopedTempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
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

struct FuzzTarget {
    const char* name;
    size_t minimumInputs; // fewer means the seed corpus went missing
    std::function<std::string(const uint8_t*, size_t)> run;
};

std::string attributeFileInScratch(const uint8_t* data, size_t size) {
    static ScopedTempDir scratch;
    return fuzzAttributeFile(data, size, scratch.path());
}

const FuzzTarget kTargets[] = {
    {"fuzz_bird_loader", 10, fuzzBirdLoader},
    {"fuzz_attribute_file", 4, attributeFileInScratch},
    {"fuzz_server_replies", 10, fuzzServerReplies},
    {"fuzz_update_server_request", 5, fuzzUpdateServerRequest},
    {"fuzz_nxp_isp", 10, fuzzNxpIsp},
    {"fuzz_imx_sdp", 10, fuzzImxSdp},
    {"fuzz_uei_replies", 10, fuzzUeiReplies},
    {"fuzz_usb_descriptors", 4, fuzzUsbDescriptors},
    {"fuzz_discovery", 4, fuzzDiscovery},
    {"fuzz_sharing_server", 5, fuzzSharingServer},
    {"fuzz_link_stream", 10, fuzzLinkStream},
    {"fuzz_fastcgi_records", 10, fuzzFastCgiRecords},
};

// Failures name the target rather than dump its bytes.
void PrintTo(const FuzzTarget& target, std::ostream* out) {
    *out << target.name;
}

class FuzzCorpus : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzCorpus, EveryInputKeepsTheInvariants) {
    const FuzzTarget& target = GetParam();
    const auto files = inputsOf(target.name);
    ASSERT_GE(files.size(), target.minimumInputs) << "seed corpus missing under " << kFuzzDir;
    for (const fs::path& file : files) {
        const std::vector<uint8_t> bytes = contents(file);
        EXPECT_EQ("", target.run(bytes.data(), bytes.size())) << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus, ::testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
