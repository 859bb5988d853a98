// The driver's command order, its checks before a command starts, its exit statuses and the
// store directory it prepares.
#include "UpdaterDriver.h"
#include "RecordingDisplay.h"
#include "ScopedTempDir.h"
#include "ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

struct DriverRun {
    RecordingDisplay display;
    UpdaterOptions options;
    RunSettings settings{kDefaultServerUrl, "/nonexistent/updater"};
    int run() { return runCommands(options, settings, display); }
};

TEST(DriverOrder, FingerprintWithoutSerialPortEndsTheRunBeforeGet) {
    DriverRun r;
    r.options.flags = FLAG_FINGERPRINT | FLAG_GET_BUILD;
    r.options.serial = 0x40F5849A;
    EXPECT_EQ(r.run(), 1);
    EXPECT_EQ(r.display.errors(),
              std::vector<std::string>{"Must specify the serial port used for connecting"});
}

TEST(DriverOrder, GetWithoutSerialNumberEndsTheRun) {
    DriverRun r;
    r.options.flags = FLAG_GET_BUILD | FLAG_DISCOVER;
    EXPECT_EQ(r.run(), 1);
    EXPECT_EQ(r.display.errors(),
              (std::vector<std::string>{"-G must specify a specific device via -d",
                                        "--help for usage information"}));
}

// Discovery here walks the USB bus only (the default transport): nothing leaves the machine.
TEST(DriverOrder, AFailedGetStillLetsDiscoverRunAndDiscoverWinsOverUpdate) {
    ::unsetenv("CORVANE_USB_EMULATION");
    DriverRun r;
    r.options.flags = FLAG_GET_BUILD | FLAG_DISCOVER | FLAG_UPDATE;
    r.options.serial = 0x40F5849A;
    // Nothing listens there, so the get fails at its first request.
    r.settings.serverUrl =
        "http://127.0.0.1:" + std::to_string(testsupport::closedLoopbackPort()) + "/cgi/u";
    r.run();
    EXPECT_EQ(r.display.errors(),
              std::vector<std::string>{"Server request failed for " + r.settings.serverUrl});
    const std::vector<std::string> messages = r.display.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "    No devices found."), messages.end());
}

TEST(DriverOrder, RecoveryRunsInsteadOfUpdateAndNeedsNoSerialNumber) {
    DriverRun r;
    r.options.flags = FLAG_UPDATE;
    r.options.transport = TRANSPORT_RECOVER;
    r.options.useUeiBytes = true;
    EXPECT_EQ(r.run(), 1);
    EXPECT_EQ(r.display.errors(),
              std::vector<std::string>{"Must specify the serial port used for connecting"});
    EXPECT_TRUE(runSettings(r.options, "/nonexistent/updater", "").useUeiBytes); // -m reaches it
}

TEST(DriverOrder, AnUpdateBuildThatIsNoNumberIsRefusedNotTakenForTheLatest) {
    for (int transport : {TRANSPORT_USB, TRANSPORT_RECOVER}) {
        DriverRun r;
        r.options.flags = FLAG_UPDATE;
        r.options.transport = transport;
        r.options.serial = 0x40F5849A;
        r.options.build = "12x";
        EXPECT_EQ(r.run(), 1);
        EXPECT_EQ(r.display.errors(),
                  std::vector<std::string>{"Build number '12x' must be an number"});
    }
}

TEST(DriverOrder, MissingSerialNumbersAreReportedPerCommand) {
    struct Case {
        uint32_t flags;
        const char* message;
    } cases[] = {
        {FLAG_UPDATE, "Must specify the specific device to be updated"},
        {FLAG_LIST_BUILDS, "Error must supply a serial number for the List Builds command"},
        {FLAG_LIST_LOCAL, "Error must supply a serial number for the List Local Builds command"},
        {FLAG_GET_JWT, "Error must supply a serial number for the Get JWT command"},
    };
    for (const Case& c : cases) {
        DriverRun r;
        r.options.flags = c.flags;
        testing::internal::CaptureStderr();
        EXPECT_EQ(r.run(), 1) << c.message;
        std::string usage = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.display.errors(), std::vector<std::string>{c.message});
        // -B, -L and -J add the short usage as a reminder; -U does not.
        EXPECT_EQ(usage.find("Application Usage:") != std::string::npos, c.flags != FLAG_UPDATE)
            << c.message;
    }
}

TEST(DriverOrder, InspectionCommandsRunLastAndJoinTheStatus) {
    DriverRun reserved;
    reserved.options.flags = FLAG_RESERVED_Z;
    EXPECT_EQ(reserved.run(), 0);
    EXPECT_TRUE(reserved.display.lines.empty());

    DriverRun info;
    info.options.flags = FLAG_DEVICE_INFO;
    info.options.serial = 0x40F5849A;
    EXPECT_EQ(info.run(), 0);
    EXPECT_EQ(info.display.messages(),
              std::vector<std::string>{
                  "The store /nonexistent/updater has no entry for device 40F5849A"});

    DriverRun check;
    check.options.flags = FLAG_CHECK_BIRD | FLAG_DEVICE_INFO;
    EXPECT_EQ(check.run(), 1);
    EXPECT_EQ(check.display.errors(),
              (std::vector<std::string>{"-I must specify a specific device via -d",
                                        "-C must name the BIRD file to check via -f"}));
}

TEST(StoreDirectory, UnderTheGivenBase) {
    ScopedTempDir base;
    RecordingDisplay display;
    UpdaterOptions options;
    options.storeBase = base / "nested/store";
    std::string store;
    ASSERT_TRUE(prepareStoreDirectory(display, options, store));
    EXPECT_EQ(store, options.storeBase + "/updater");
    EXPECT_TRUE(std::filesystem::is_directory(store));
    auto perms = std::filesystem::status(store).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::others_write, std::filesystem::perms::none);
    EXPECT_TRUE(display.lines.empty());
}

TEST(StoreDirectory, UnderTheHomeDirectoryByDefault) {
    ScopedTempDir home;
    const char* saved = getenv("HOME");
    std::string savedHome = saved ? saved : "";
    setenv("HOME", home.path().c_str(), 1);
    RecordingDisplay display;
    UpdaterOptions options;
    std::string store;
    bool ok = prepareStoreDirectory(display, options, store);
    if (saved) {
        setenv("HOME", savedHome.c_str(), 1);
    } else {
        unsetenv("HOME");
    }
    ASSERT_TRUE(ok);
    EXPECT_EQ(options.homeDirectory, home.path());
    EXPECT_EQ(options.storeBase, home.path() + "/.quendra");
    EXPECT_EQ(store, home.path() + "/.quendra/updater");
    EXPECT_TRUE(std::filesystem::is_directory(store));
}

TEST(StoreDirectory, AFileInTheWayIsReported) {
    ScopedTempDir base;
    std::ofstream(base / "updater") << "not a directory";
    RecordingDisplay display;
    UpdaterOptions options;
    options.storeBase = base.path();
    std::string store;
    EXPECT_FALSE(prepareStoreDirectory(display, options, store));
    EXPECT_EQ(display.errors(), std::vector<std::string>{"Could not find updater directory at " +
                                                         base.path() + "/updater"});
}

} // namespace
