// The list local builds flow (-L) against a store that someone else has been filling: it only
// looks, never hangs on a named pipe, lists only real builds and shows every one of them.
#include "BirdWriter.h"
#include "DebugCapture.h"
#include "RecordingDisplay.h"
#include "Retrieval.h"
#include "ScopedTempDir.h"
#include "UpdaterCommands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

constexpr uint32_t kSerial = 0x40F5849A;

void writeBird(const fs::path& path, const std::string& version, bool infoFirst) {
    BirdWriter writer;
    if (infoFirst) {
        writer.setInfoField(1, version);
    }
    writer.addFirmware(0x10000, std::vector<uint8_t>(100000, 0x5A));
    if (!infoFirst) {
        writer.setInfoField(1, version);
    }
    std::string error;
    ASSERT_TRUE(writer.writeFile(path.string(), error)) << error;
}

std::vector<std::string> everythingUnder(const fs::path& root) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        names.push_back(fs::relative(entry.path(), root).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ListLocalBuilds, OnlyLooksAndListsEveryRealBuild) {
    ScopedTempDir home;
    const fs::path store = home / "updater";
    const fs::path module = store / "40F5849A";
    const fs::path elsewhere = home / "elsewhere";
    fs::create_directories(module);
    fs::create_directories(elsewhere);
    writeBird(module / "1234.bird", "2.11.4", true);
    writeBird(module / "1300.bird", "2.11.10", false);
    std::ofstream(module / "1301.bird") << "bird\x01\x01 broken";
    // A name too long for the file layer's paths must not hide the builds listed after it.
    std::ofstream(module / (std::string(240, 'n') + ".bird")) << "x";
    writeBird(module / "100.bird.bak", "9.9.9", true);
    fs::create_directory(module / "55.bird");
    ASSERT_EQ(mkfifo((module / "56.bird").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((module / ".settings").c_str(), 0644), 0);
    fs::create_directory_symlink(elsewhere, module / "link");
    const std::vector<std::string> before = everythingUnder(store);

    RecordingDisplay display;
    UpdaterContext context("http://127.0.0.1:1/cgi/u", store.string(), display);
    DebugCapture trace(DEBUG_Updater | DEBUG_Attributes);
    BuildList builds;
    EXPECT_EQ(listLocalBuildsCommand(context, kSerial, builds), CommandStatus::Succeeded);
    EXPECT_THAT(builds,
                ElementsAre(Pair("1234", "2.11.4"), Pair("1300", "2.11.10"), Pair("1301", "")));
    EXPECT_EQ(everythingUnder(store), before) << "-L must create nothing";
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_THAT(trace.text(), HasSubstr("is not a regular file"));
    EXPECT_THAT(trace.text(), HasSubstr("path longer than"));
}

} // namespace
