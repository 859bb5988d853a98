// The metrics file's text: which firmware each module is said to run after discovery and after
// updates, label values a collector can parse whatever a module calls itself, and the write.
#include "MetricsFile.h"
#include "ScopedTempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

DiscoveredDevice module(uint32_t serial, const char* model, uint32_t build, aErr error = aErrNone) {
    DiscoveredDevice device;
    device.spec.serialNumber = serial;
    device.modelName = model;
    device.build = build;
    device.versionMajor = 2;
    device.versionMinor = 10;
    device.versionPatch = 3;
    device.error = error;
    return device;
}

ModuleOutcome outcome(uint32_t serial, ModuleOutcome::Result result, uint32_t before,
                      uint32_t after) {
    ModuleOutcome o;
    o.serial = serial;
    o.result = result;
    o.report.before = {true, before, 2, 10, 3};
    o.report.after = {after != 0, after, 2, 10, 5};
    o.report.totalMs = result == ModuleOutcome::Result::Skipped ? 0 : 1500;
    o.report.modelName = result == ModuleOutcome::Result::Updated ? "Reached" : "";
    return o;
}

TEST(MetricsFile, SaysWhatEachModuleRunsAndHowItsUpdateEnded) {
    MetricsFile metrics;
    EXPECT_TRUE(metrics.empty());
    metrics.discovered({module(0x40F5849A, "Rack \"A\"\\1\nx", 11111),
                        module(0x0BADF00D, "Hub", 11111),
                        module(0x12345678, "Lost", 0, aErrTimeout)});
    metrics.updated({outcome(0x40F5849A, ModuleOutcome::Result::Updated, 11111, 12345),
                     outcome(0x0BADF00D, ModuleOutcome::Result::Failed, 11111, 0),
                     outcome(0x00000042, ModuleOutcome::Result::Skipped, 900, 0),
                     outcome(0x00000043, ModuleOutcome::Result::Updated, 900, 901)},
                    1.7e9);
    const std::string text = metrics.text(1.8e9);

    const char* const expected[] = {
        "# TYPE corvane_module_firmware_build gauge\n",
        // Escaped as the format asks; the read-back after the update is what it runs now.
        "corvane_module_firmware_build{serial=\"40F5849A\",model=\"Rack \\\"A\\\"\\\\1\\nx\","
        "version=\"2.10.5\"} 12345\n",
        // A failed update leaves what it ran before.
        "corvane_module_firmware_build{serial=\"0BADF00D\",model=\"Hub\",version=\"2.10.3\"} "
        "11111\n",
        // Not discovered in this run: no model to name.
        "corvane_module_firmware_build{serial=\"00000042\",model=\"\",version=\"2.10.3\"} 900\n",
        // -U alone: the model its link named.
        "corvane_module_firmware_build{serial=\"00000043\",model=\"Reached\",version=\"2.10.5\"} "
        "901\n",
        "corvane_updater_update_outcome{serial=\"0BADF00D\",outcome=\"failed\"} 1\n",
        "corvane_updater_update_outcome{serial=\"00000042\",outcome=\"skipped\"} 1\n",
        "corvane_updater_update_timestamp_seconds{serial=\"40F5849A\"} 1700000000\n",
        "corvane_updater_update_duration_seconds{serial=\"40F5849A\"} 1.5\n",
        "corvane_updater_metrics_timestamp_seconds 1800000000\n",
    };
    for (const char* line : expected) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n--- in ---\n" << text;
    }
    EXPECT_EQ(text.find("12345678"), std::string::npos) << "a module that was not read";
    EXPECT_EQ(text.find("duration_seconds{serial=\"00000042\"}"), std::string::npos)
        << "a skipped update took no time";
    EXPECT_EQ(text.find("corvane_updater_get_"), std::string::npos) << "no -G ran";
}

TEST(MetricsFile, WritesInPlaceOrSaysWhyNot) {
    ScopedTempDir dir;
    const std::string path = dir.path() + "/updater.prom";
    std::string problem;
    ASSERT_TRUE(writeMetricsFile(path, "a 1\n", problem)) << problem;
    ASSERT_TRUE(writeMetricsFile(path, "a 2\n", problem)) << problem;
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    EXPECT_EQ(text.str(), "a 2\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);

    EXPECT_FALSE(writeMetricsFile(dir.path() + "/missing/updater.prom", "a 1\n", problem));
    EXPECT_EQ(problem.rfind("cannot write " + dir.path() + "/missing/updater.prom", 0), 0u)
        << problem;
}

} // namespace
