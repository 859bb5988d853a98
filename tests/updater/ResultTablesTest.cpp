// The build table (newest first, stable for equal versions) and the discovered-devices table.
#include "ResultTables.h"
#include "Debug.h"
#include "RecordingDisplay.h"

#include "corvane/aDefs.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

std::vector<std::string> keysOf(const std::vector<BuildEntry>& entries) {
    std::vector<std::string> keys;
    for (const BuildEntry& entry : entries) {
        keys.push_back(entry.first);
    }
    return keys;
}

TEST(BuildTable, EmptyListSaysSo) {
    RecordingDisplay display;
    printBuildTable(display, {}, 0x40F5849A);
    EXPECT_EQ(display.messages(),
              std::vector<std::string>{"No builds found for device [40F5849A]"});
}

TEST(BuildTable, RowsAreCutAndPaddedTo15ColumnsNewestFirst) {
    RecordingDisplay display;
    BuildList builds{
        {"99528558", "2.10.3"}, {"99530001", "2.11.0"}, {"1234567890123456789", "10.0.0"}};
    printBuildTable(display, builds, 0x2181F0EE);
    EXPECT_EQ(display.messages(), (std::vector<std::string>{
                                      "Build List for device [2181F0EE]:\n",
                                      "Build          \tVersion        ",
                                      "123456789012345\t10.0.0         ",
                                      "99530001       \t2.11.0         ",
                                      "99528558       \t2.10.3         ",
                                  }));
    EXPECT_TRUE(display.errors().empty());
}

TEST(BuildTable, VersionsCompareNumericallyNotAsText) {
    BuildList builds{
        {"a", "2.9.0"}, {"b", "2.10.0"}, {"c", "2.10.10"}, {"d", "2.10.9"}, {"e", "3.0.0"}};
    EXPECT_EQ(keysOf(sortBuildsNewestFirst(builds)),
              (std::vector<std::string>{"e", "c", "d", "b", "a"}));
}

TEST(BuildTable, EqualVersionsKeepTheListsKeyOrder) {
    BuildList builds{{"300", "1.2.3"}, {"100", "1.2.3"}, {"200", "1.2.3"}, {"250", "1.2.4"}};
    // The list orders its keys as text; the sort must not disturb that among equals.
    EXPECT_EQ(keysOf(sortBuildsNewestFirst(builds)),
              (std::vector<std::string>{"250", "100", "200", "300"}));
}

TEST(BuildTable, UnparsableVersionsAreTracedAndNeverComeFirst) {
    char* data = nullptr;
    size_t size = 0;
    FILE* sink = open_memstream(&data, &size);
    Debug_SetSink(sink);
    Debug_AddMask(DEBUG_ServerComm);
    EXPECT_FALSE(buildtable::_sortVersion({"1", "2.x.0"}, {"2", "1.0.0"}));
    EXPECT_TRUE(buildtable::_sortVersion({"2", "1.0.0"}, {"1", "2.0"}));
    EXPECT_TRUE(buildtable::_sortVersion({"2", "1.0.0"}, {"1", "1.0.0.0"}));
    EXPECT_FALSE(buildtable::_sortVersion({"2", "256.0.0"}, {"1", "1.0.0"}));
    EXPECT_TRUE(buildtable::_sortVersion({"2", "2.0.0"}, {"1", "1.255.4294967295"}));
    Debug_SetSink(nullptr);
    fclose(sink);
    std::string trace(data, size);
    free(data);
    EXPECT_EQ(trace,
              "_sortVersion: Exception converting version: invalid number in version [2.x.0]\n"
              "_sortVersion: Exception converting version: too few parts in version [2.0]\n"
              "_sortVersion: Exception converting version: too many parts in version "
              "[1.0.0.0]\n"
              "_sortVersion: Exception converting version: invalid number in version "
              "[256.0.0]\n");
}

DiscoveredDevice usbDevice(uint32_t serial, uint8_t model) {
    DiscoveredDevice device;
    device.spec.type = 1;
    device.spec.serialNumber = serial;
    device.spec.module = 2;
    device.spec.router = 2;
    device.spec.model = model;
    device.versionMajor = 2;
    device.versionMinor = 10;
    device.versionPatch = 4;
    device.build = 99528558;
    device.deviceName = "bench hub";
    return device;
}

TEST(DeviceTable, EmptyListNamesTheTransport) {
    for (auto [transport, name] :
         {std::pair{1, "USB"}, {2, "TCPIP"}, {0, "Unknown"}, {255, "Unknown"}}) {
        RecordingDisplay display;
        printDeviceTable(display, {}, transport);
        EXPECT_EQ(display.messages(),
                  (std::vector<std::string>{std::string("Discovered Devices: (") + name + ")",
                                            "    No devices found."}));
    }
}

TEST(DeviceTable, UsbRowsAndErrorRows) {
    RecordingDisplay display;
    DiscoveredDevice held = usbDevice(0x0ABCDEF0, 4);
    held.error = aErrBusy;
    printDeviceTable(display, {usbDevice(0x40F5849A, 200), held}, 1);
    std::string model = aDefs_GetModelName(200);
    char padded[32];
    snprintf(padded, sizeof padded, "%-12s", model.c_str());
    EXPECT_EQ(
        display.messages(),
        (std::vector<std::string>{
            "Discovered Devices: (USB)",
            "    Device    Module   Router  Model          Firmware Version (Build)    Device Name",
            std::string("    40F5849A  02       02      ") + padded +
                "   2.10.4 (  99528558)         bench hub",
            "    0ABCDEF0  [Error (5): Is someone else connected to this device?]",
        }));
}

// The name is the module's own text and a failed module has no true version to show: names
// are escaped in every row, and an error row over TCP/IP keeps the address the reply came from.
TEST(DeviceTable, NamesAreEscapedAndErrorRowsKeepTheAddress) {
    const std::string padded = [] {
        char text[32];
        snprintf(text, sizeof text, "%-12s", aDefs_GetModelName(200));
        return std::string(text);
    }();
    const std::string hostile = "\x1b]0;owned\x07\x1b[2J\n    DEADBEEF  fake row";
    const std::string shown = "\\x1B]0;owned\\x07\\x1B[2J\\n    DEADBEEF  fake row";
    const struct {
        int type;
        aErr error;
        std::string name;
        std::string row;
    } cases[] = {
        {2, aErrNone, hostile,
         "    2181F0EE  0C       10      " + padded + "   2.10.4 (  99528558)" +
             std::string(8, ' ') + "[10.1.2.30]" + std::string(6 + 2, ' ') + shown},
        {1, aErrNone, hostile,
         "    2181F0EE  0C       10      " + padded + "   2.10.4 (  99528558)         " + shown},
        {2, aErrTimeout, hostile,
         "    2181F0EE  [Error (18): Is someone else connected to this device?]  [10.1.2.30]"},
    };
    for (const auto& c : cases) {
        RecordingDisplay display;
        DiscoveredDevice device = usbDevice(0x2181F0EE, 200);
        device.spec.type = c.type;
        device.spec.module = 0x0C;
        device.spec.router = 0x10;
        if (c.type == 2)
            device.spec.ipAddress = inet_addr("10.1.2.30"); // network byte order
        device.error = c.error;
        device.deviceName = c.name;
        printDeviceTable(display, {device}, c.type);
        const auto lines = display.messages();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[2], c.row);
    }
}

} // namespace
