// Discovery against real peers: TCP/IP enumeration by multicast inside a private network
// namespace with virtual modules answering, and USB emulation of virtual modules on loopback.
#include "corvane/aDiscovery.h"
#include "corvane/aLink.h"
#include "corvane/aMulticast.h"

#include "DiscoveryResponder.h"
#include "LinkTestSupport.h"
#include "NetworkNamespace.h"
#include "ProcessRunner.h"
#include "RequestReplyModel.h"
#include "ScopedTempDir.h"
#include "SpawnedProgram.h"
#include "VirtualModule.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Corvane::Tools::DiscoveryResponder;
using Corvane::Tools::VirtualModule;
using Corvane::Tools::VirtualModuleConfig;

VirtualModuleConfig moduleConfig(uint32_t serial, uint8_t model, const char* bind) {
    VirtualModuleConfig config;
    config.bindAddress = bind;
    config.heartbeatMs = 0;
    config.identity.serialNumber = serial;
    config.identity.model = model;
    return config;
}

// A virtual module that answers TCP/IP discovery on the namespace's interface.
struct DiscoverableModule {
    explicit DiscoverableModule(uint32_t serial, uint8_t model)
        : module(moduleConfig(serial, model, testsupport::kNamespaceAddressText)) {
        std::string error;
        EXPECT_TRUE(module.start(&error)) << error;
        EXPECT_TRUE(responder.start(testsupport::kNamespaceAddressText,
                                    moduleConfig(serial, model, "").identity, module.port(),
                                    &error))
            << error;
    }
    VirtualModule module;
    DiscoveryResponder responder;
};

std::vector<linkSpec> enumerate(linkType type) {
    std::vector<linkSpec> found;
    aDiscovery_EnumerateModules(
        type,
        [](const linkSpec* spec, bool* counted, void* reference) {
            static_cast<std::vector<linkSpec>*>(reference)->push_back(*spec);
            *counted = true;
            return true;
        },
        &found, 0);
    return found;
}

long long millisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

TEST(TcpipDiscovery, WithoutModulesNothingIsFoundAfterOneListeningWindow) {
    if (!testsupport::enterNetworkNamespace())
        return;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(
                  TCPIP, [](const linkSpec*, bool*, void*) { return true; }, nullptr, 0),
              0u);
    const long long took = millisSince(start);
    EXPECT_GE(took, 2000);  // the whole window was listened to
    EXPECT_LT(took, 30000); // and only one
}

TEST(TcpipDiscovery, FindsTwoModulesByMulticastAndOneBySerial) {
    if (!testsupport::enterNetworkNamespace())
        return;
    ASSERT_FALSE(std::string(VIRTUAL_MODULE_BIN).empty()) << "virtual-module is not built";
    // One module in this process, one as the program, side by side on one interface.
    DiscoverableModule first(0x11111111, 0x13);
    SpawnedProgram second({VIRTUAL_MODULE_BIN, "--discovery", testsupport::kNamespaceAddressText,
                           "--serial", "22222222", "--model", "10", "--heartbeat-ms", "0"});
    const auto listening = second.readLine(5000ms);
    ASSERT_TRUE(listening.has_value());
    const uint16_t secondPort =
        static_cast<uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    for (int line = 0; line < 3; ++line) // identity, emulation entry, then discovery is on
        ASSERT_TRUE(second.readLine(5000ms).has_value()) << second.errors();

    std::vector<linkSpec> found = enumerate(TCPIP);
    ASSERT_EQ(found.size(), 2u);
    if (found[0].serialNumber != 0x11111111)
        std::swap(found[0], found[1]);
    EXPECT_EQ(found[0].serialNumber, 0x11111111u);
    EXPECT_EQ(found[0].model, 0x13u);
    EXPECT_EQ(found[0].port, first.module.port());
    EXPECT_EQ(found[0].module, 2u);
    EXPECT_EQ(found[0].ipAddress, testsupport::kNamespaceAddress);
    EXPECT_EQ(found[1].serialNumber, 0x22222222u);
    EXPECT_EQ(found[1].model, 0x0Au);
    EXPECT_EQ(found[1].port, secondPort);

    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x22222222, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->port, secondPort);
    // The address and port found reach the module.
    LinkOwner link(aLink_CreateTCPIP(spec->ipAddress, static_cast<uint16_t>(spec->port)));
    ASSERT_NE(link.get(), 0u);
    uint8_t model = 0;
    EXPECT_EQ(aLink_GetModel(link.get(), 2, &model), aErrNone);
    EXPECT_EQ(model, 0x0A);
    aLinkSpec_Destroy(&spec);

    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x33333333, 0), nullptr);
    EXPECT_GE(first.responder.requestsAnswered(), 3u);
}

TEST(Multicast, SenderReachesReceiverOnTheInterface) {
    if (!testsupport::enterNetworkNamespace())
        return;
    aMulticast* receiver =
        aMulticast_Create(testsupport::kNamespaceAddress, "232.2.2.3", 9777, false);
    aMulticast* sender = aMulticast_Create(testsupport::kNamespaceAddress, "232.2.2.3", 9777, true);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    const uint8_t message[] = {1, 2, 3, 4, 5};
    uint8_t buffer[16] = {};
    EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof buffer), -3);
    EXPECT_EQ(aMulticast_Send(receiver, message, sizeof message), -3);
    EXPECT_EQ(aMulticast_Send(sender, message, sizeof message), 5);
    ASSERT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), 5);
    EXPECT_EQ(0, std::memcmp(buffer, message, sizeof message));
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), -1); // after its 1000 ms
    EXPECT_EQ(aMulticast_Destroy(&sender), 0);
    EXPECT_EQ(sender, nullptr);
    EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
}

// Lists virtual modules in the emulation variable for one test.
class ScopedEmulation {
  public:
    explicit ScopedEmulation(const std::string& value) {
        setenv("CORVANE_USB_EMULATION", value.c_str(), 1);
    }
    ~ScopedEmulation() { unsetenv("CORVANE_USB_EMULATION"); }
};

std::string emulationEntry(const VirtualModule& module, uint32_t serial, uint8_t model) {
    char entry[64];
    std::snprintf(entry, sizeof entry, "%08X:%02X@%s", serial, model, module.endpoint().c_str());
    return entry;
}

TEST(UsbEmulation, ListsRunningModulesAndLinksReachThem) {
    VirtualModule first(moduleConfig(0x0000A001, 0x13, "127.0.0.1"));
    VirtualModule second(moduleConfig(0x0000B002, 0x0A, "127.0.0.1"));
    VirtualModule stopped(moduleConfig(0x0000C003, 0x05, "127.0.0.1"));
    std::string error;
    ASSERT_TRUE(first.start(&error)) << error;
    ASSERT_TRUE(second.start(&error)) << error;
    ASSERT_TRUE(stopped.start(&error)) << error;
    const std::string stoppedEntry = emulationEntry(stopped, 0xC003, 0x05);
    stopped.stop(); // listed, but its endpoint no longer answers: not attached
    ScopedEmulation emulation(emulationEntry(first, 0xA001, 0x13) + "," +
                              emulationEntry(second, 0xB002, 0x0A) + "," + stoppedEntry);

    const std::vector<linkSpec> found = enumerate(USB);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].type, static_cast<uint32_t>(USB));
    EXPECT_EQ(found[0].serialNumber, 0xA001u);
    EXPECT_EQ(found[0].model, 0x13u);
    EXPECT_EQ(found[0].ipAddress, 0xA001u);
    EXPECT_EQ(found[1].serialNumber, 0xB002u);
    EXPECT_EQ(found[1].model, 0x0Au);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0xC003, 0), nullptr);

    LinkOwner link(aLink_CreateUSB(0xB002));
    ASSERT_NE(link.get(), 0u);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
    uint8_t model = 0;
    EXPECT_EQ(aLink_GetModel(link.get(), 2, &model), aErrNone);
    EXPECT_EQ(model, 0x0A);
    EXPECT_EQ(aLink_CreateUSB(0xC003), 0u);
}

// A host's USB stack lets one opener claim a module at a time, and so does emulation, whatever
// the program behind the endpoint allows (this virtual module serves any number of hosts): the
// holder's claim makes the module busy for every other opener, this process or another, until
// it lets go.
TEST(UsbEmulation, AnOpenModuleIsBusyForEveryOtherOpener) {
    ASSERT_FALSE(std::string(UPDATER_BIN).empty()) << "the Updater program is not built";
    const VirtualModuleConfig config = moduleConfig(0x0000A001, 0x13, "127.0.0.1");
    VirtualModule module(config);
    Corvane::Tools::RequestReplyModel model(config.identity);
    model.install(module);
    std::string error;
    ASSERT_TRUE(module.start(&error)) << error;
    ScopedEmulation emulation(emulationEntry(module, 0xA001, 0x13));
    ScopedTempDir home;
    auto discoverInAnotherProcess = [&] {
        testsupport::ProcessOptions options;
        options.environment["HOME"] = home.path();
        return testsupport::runProcess(UPDATER_BIN, {"-D"}, options).out;
    };
    const std::string busyRow = "    0000A001  [Error (" + std::to_string(aErrConnection) +
                                "): Is someone else connected to this device?]";

    aStream* held = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0xA001, &held), aErrNone);
    aStream* second = nullptr;
    EXPECT_EQ(aStream_CreateUSB(0xA001, &second), aErrBusy);
    EXPECT_EQ(second, nullptr);
    std::string rows = discoverInAnotherProcess();
    EXPECT_NE(rows.find(busyRow), std::string::npos) << rows;

    aStream_Destroy(&held);
    rows = discoverInAnotherProcess();
    EXPECT_EQ(rows.find("someone else"), std::string::npos) << rows;
    EXPECT_NE(rows.find("    0000A001  02       00      RouterBridge "), std::string::npos) << rows;
    LinkOwner link(aLink_CreateUSB(0xA001));
    EXPECT_NE(link.get(), 0u);
}

} // namespace
