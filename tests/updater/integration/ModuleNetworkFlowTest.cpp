// Discover and update through a router module: a virtual router with modules behind it on an
// emulated I2C bus, the router attached by USB emulation. Table rows and probe packets are
// checked against the formats the Updater and the bus protocol define, not against the router.
#include "DebugCapture.h"
#include "DiscoveryResponder.h"
#include "LinkTestSupport.h"
#include "ModuleAccess.h"
#include "ModuleNetwork.h"
#include "NetworkNamespace.h"
#include "RecordingDisplay.h"
#include "RequestReplyModel.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"
#include "TaggedFirmware.h"
#include "UpdateServer.h"
#include "UpdaterCommands.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"

#include "corvane/aVersion.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>

using namespace Corvane::Tools;

namespace {

constexpr uint32_t kRouter = 0xD272031D;
constexpr uint8_t kRouterAddress = 6;
constexpr uint32_t kTarget = 0x2181F0EE; // RouterBridge at bus address 4
constexpr uint32_t kNewBuild = 12345;

const char* const kHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)  "
    " [IP address]       Device Name";

BusModuleConfig busModule(uint32_t serial, uint8_t model, uint8_t address, uint32_t build,
                          uint32_t version) {
    BusModuleConfig config;
    config.identity.serialNumber = serial;
    config.identity.model = model;
    config.identity.address = address;
    config.build = build;
    config.packedVersion = version;
    return config;
}

// Three modules: the target, one at the lowest and one at the highest bus address.
std::vector<BusModuleConfig> threeModules() {
    return {busModule(0x11223344, 4, 2, 777, aVersion_Pack(2, 9, 1)),
            busModule(kTarget, 19, 4, 10004, aVersion_Pack(2, 10, 4)),
            busModule(0x55667788, 26, 252, 4000000000u, aVersion_Pack(3, 0, 12))};
}

class ModuleNetworkFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("HOME", home.path().c_str(), 1);
        store = home.path() + "/store";
        std::filesystem::create_directories(store);
    }
    void TearDown() override {
        unsetenv("CORVANE_USB_EMULATION");
        responder.stop();
        if (router)
            router->stop();
    }

    // The router is attached by USB emulation, or with bind given, reached by TCP/IP discovery
    // there.
    void start(const std::vector<BusModuleConfig>& modules, const std::string& bind = "",
               bool presentEverywhere = false) {
        VirtualModuleConfig config;
        config.bindAddress = bind.empty() ? "127.0.0.1" : bind;
        config.heartbeatMs = 0;
        config.identity = {kRouter, 19, kRouterAddress};
        router = std::make_unique<VirtualModule>(config);
        routerModel = std::make_unique<RequestReplyModel>(config.identity);
        routerModel->install(*router);
        routerUpgrade = std::make_unique<UpgradeModel>(*routerModel);
        routerUpgrade->install(*router);
        network = std::make_unique<ModuleNetwork>(*router, kRouterAddress);
        for (const BusModuleConfig& module : modules) {
            std::string error;
            ASSERT_TRUE(network->attach(module, &error)) << error;
        }
        network->setPresentEverywhere(presentEverywhere);
        network->install();
        router->setPacketObserver([this](const WirePacket& p) {
            std::lock_guard<std::mutex> lock(mutex);
            toRouter.emplace_back(p.data.begin(), p.data.begin() + p.length);
        });
        ASSERT_TRUE(router->start());
        if (!bind.empty()) {
            std::string error;
            ASSERT_TRUE(responder.start(bind, config.identity, router->port(), &error)) << error;
            return;
        }
        const std::string emulation = "D272031D:13@127.0.0.1:" + std::to_string(router->port());
        setenv("CORVANE_USB_EMULATION", emulation.c_str(), 1);
    }

    // Behind the router by default; with routerSerial 0 the modules attached by USB.
    std::vector<std::string> discover(uint32_t routerSerial = kRouter) {
        UpdaterContext context(kNoServer, store, display);
        display.lines.clear();
        discoverCommand(context, {.routerSerial = routerSerial});
        return display.messages();
    }

    bool update(uint32_t serial, const std::string& path, const std::string& url = kNoServer) {
        RunSettings run(url, store);
        run.deviceDirectory = home.path(); // no serial port: the recovery advice shows PORT
        UpdaterContext context(run, display);
        display.lines.clear();
        return updateCommand(context,
                             {.serial = serial, .birdFile = path, .routerSerial = kRouter});
    }

    // An image whose firmware says it is this build.
    std::string bird(uint32_t build = kNewBuild) {
        const std::string path = home.path() + "/" + std::to_string(build) + ".bird";
        std::string error;
        EXPECT_TRUE(testsupport::writeTaggedBird(path, build, aVersion_Pack(2, 10, 5), "2.10.5",
                                                 "RouterBridge", true, "", error))
            << error;
        return path;
    }

    // The packets the host sent that begin with these bytes.
    std::vector<std::vector<uint8_t>> sentBeginning(std::vector<uint8_t> start) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::vector<uint8_t>> out;
        for (const auto& p : toRouter)
            if (p.size() >= start.size() && std::equal(start.begin(), start.end(), p.begin()))
                out.push_back(p);
        return out;
    }

    static constexpr const char* kNoServer = "http://127.0.0.1:1/cgi/u";
    ScopedTempDir home;
    std::string store;
    RecordingDisplay display;
    std::unique_ptr<VirtualModule> router;
    std::unique_ptr<RequestReplyModel> routerModel;
    std::unique_ptr<UpgradeModel> routerUpgrade;
    std::unique_ptr<ModuleNetwork> network;
    DiscoveryResponder responder;
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> toRouter;
};

TEST_F(ModuleNetworkFlow, ScanListsTheModulesBehindTheRouter) {
    start(threeModules());
    EXPECT_EQ(discover(),
              (std::vector<std::string>{
                  "Searching for Corvane Network devices connected to D272031D",
                  "Discovered Devices: (Unknown)", kHeader,
                  "    11223344  02       06      PortHub4       2.9.1 (       777)         ",
                  "    2181F0EE  04       06      RouterBridge   2.10.4 (     10004)         ",
                  "    55667788  FC       06      BenchSupply    3.0.12 (4000000000)         "}));

    // Every even bus address from 2 to 252 but the router's own, each once, in order.
    std::vector<uint8_t> expected;
    for (unsigned a = 2; a <= 252; a += 2)
        if (a != kRouterAddress)
            expected.push_back(static_cast<uint8_t>(a));
    EXPECT_EQ(network->probed(), expected);
    // A probe is an I2C write of two zero bytes at the fastest speed: 8, index, address,
    // length, speed, data.
    const auto probes = sentBeginning({8, 0});
    ASSERT_EQ(probes.size(), expected.size());
    EXPECT_EQ(probes.front(), (std::vector<uint8_t>{8, 0, 2, 2, 3, 0, 0}));
    // Route-to-me (system option 20, a set) on for the scan, off after it.
    EXPECT_EQ(sentBeginning({3, 0x80 | 20}),
              (std::vector<std::vector<uint8_t>>{{3, 0x94, 0x20, 1}, {3, 0x94, 0x20, 0}}));
}

// Each read that fails behind the router: no serial number leaves the module out; any other
// failure keeps its record with what was read before it and the error.
TEST_F(ModuleNetworkFlow, FailedReadsBehindTheRouter) {
    auto modules = threeModules();
    modules.push_back(busModule(0x0A0B0C0D, 4, 8, 1, aVersion_Pack(2, 10, 4)));
    start(modules);
    struct Fault {
        uint8_t address;
        bool silent; // else an error reply
        uint8_t command, option;
    };
    for (const Fault& f : {Fault{2, false, 3, 8},      // model
                           Fault{4, true, 0x49, 0xFF}, // build query
                           Fault{8, false, 3, 7},      // version
                           Fault{252, true, 3, 9}}) {  // serial number
        ModelFaults faults;
        (f.silent ? faults.silentUei : faults.errorUei) = UeiName{true, f.command, f.option};
        network->module(f.address)->model().setFaults(faults);
    }
    UpdaterContext context(kNoServer, store, display);
    // serial, bus address, module address, model, build, version, error
    using Record = std::tuple<uint32_t, uint16_t, uint32_t, uint32_t, uint32_t, std::string, aErr>;
    std::vector<Record> records;
    for (const DiscoveredDevice& d : scanNetwork(context, kRouter, 0))
        records.emplace_back(d.spec.serialNumber, d.networkAddress, d.spec.module, d.spec.model,
                             d.build,
                             std::to_string(d.versionMajor) + "." + std::to_string(d.versionMinor) +
                                 "." + std::to_string(d.versionPatch),
                             d.error);
    EXPECT_EQ(records, (std::vector<Record>{
                           {0x11223344, 2, 2, 0, 777, "2.9.1", aErrInvalidOption},
                           {kTarget, 4, 4, 19, 0, "2.10.4", aErrNone},
                           {0x0A0B0C0D, 8, 0, 4, 1, "0.0.0", aErrInvalidOption},
                       }));
}

// A module attached directly (the router itself, by USB emulation): its name is read from
// firmware 2.10.4 on, and a read that fails, or a module another program holds, shows as the
// row's error.
TEST_F(ModuleNetworkFlow, DirectlyAttachedRowsByFirmwareAndFailure) {
    const std::string row = "    D272031D  06       00      RouterBridge  ";
    auto errorRow = [](int error) {
        return "    D272031D  [Error (" + std::to_string(error) +
               "): Is someone else connected to this device?]";
    };
    const UeiName name{true, 3, 32};
    struct Case {
        uint32_t version;
        UeiName failing; // answered with an error reply
        bool held;
        std::string expected;
    } cases[] = {
        {aVersion_Pack(2, 10, 3), {}, false, row + " 2.10.3 (     10801)         "},
        {aVersion_Pack(2, 10, 4), {}, false, row + " 2.10.4 (     10801)         Virtual module"},
        {aVersion_Pack(2, 10, 4), name, false, errorRow(aErrInvalidOption)},
        {aVersion_Pack(2, 10, 4), {}, true, errorRow(aErrConnection)},
    };
    for (const Case& c : cases) {
        if (router)
            router->stop();
        start({});
        routerModel->setFirmware(0, c.version);
        ModelFaults faults;
        faults.errorUei = c.failing;
        routerModel->setFaults(faults);
        int holder = -1;
        if (c.held) {
            FaultSettings exclusive;
            exclusive.exclusive = true;
            router->setFaults(exclusive);
            holder = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(router->port());
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(::connect(holder, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
            ASSERT_TRUE(waitUntil([&] { return router->stats().connections == 1; },
                                  std::chrono::seconds(10)));
        }
        const auto lines = discover(0);
        if (holder >= 0)
            ::close(holder);
        ASSERT_EQ(lines.size(), 4u) << c.expected;
        EXPECT_EQ(lines[3], c.expected);
    }
}

// A bus that says present at every address costs a reply time-out per address: the scan stops
// at its limits, lists what it found before, and names the first address it did not search.
TEST_F(ModuleNetworkFlow, ScanOfABusPresentEverywhereStopsAtItsLimits) {
    DiscoveryLimits twoSilent;
    twoSilent.maxSilentAddresses = 2;
    DiscoveryLimits slow; // every look at the clock finds 10 s gone
    slow.readBudget = std::chrono::seconds(25);
    auto looks = std::make_shared<int>(0);
    slow.now = [looks] {
        return std::chrono::steady_clock::time_point{} + std::chrono::seconds(10) * (*looks)++;
    };
    const struct {
        DiscoveryLimits limits;
        std::vector<uint8_t> probed;
        std::string error;
    } cases[] = {
        {twoSilent,
         {2, 4, 8},
         "Network scan stopped before bus address 0x0A: 2 addresses took the probe but did not "
         "answer as modules"},
        {slow, {2, 4}, "Network scan stopped before bus address 0x08: it took longer than 25 s"},
    };
    for (const auto& c : cases) {
        if (router)
            router->stop();
        start({busModule(kTarget, 19, 4, 10004, aVersion_Pack(2, 10, 4))}, "", true);
        UpdaterContext context(kNoServer, store, display);
        display.lines.clear();
        discoverCommand(context, {.routerSerial = kRouter, .limits = c.limits});
        EXPECT_EQ(
            display.messages(),
            (std::vector<std::string>{
                "Searching for Corvane Network devices connected to D272031D",
                "Discovered Devices: (Unknown)", kHeader,
                "    2181F0EE  04       06      RouterBridge   2.10.4 (     10004)         "}));
        EXPECT_EQ(display.errors(), std::vector<std::string>{c.error});
        EXPECT_EQ(network->probed(), c.probed);
    }
}

TEST_F(ModuleNetworkFlow, UpdatesAModuleBehindTheRouter) {
    start(threeModules());
    ASSERT_TRUE(update(kTarget, bird())) << ::testing::PrintToString(display.errors());
    const auto messages = display.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Module [2181F0EE] now runs the new firmware: version 2.10.5, build 12345"),
              messages.end());
    EXPECT_GT(network->module(4)->upgrade().loader().size(), 0u);
    EXPECT_EQ(routerUpgrade->stats().prepares, 0u) << "the router itself keeps its firmware";

    const auto after = discover();
    ASSERT_EQ(after.size(), 6u);
    EXPECT_EQ(after[4],
              "    2181F0EE  04       06      RouterBridge   2.10.5 (     12345)         ");
    EXPECT_EQ(after[3],
              "    11223344  02       06      PortHub4       2.9.1 (       777)         ");
}

TEST_F(ModuleNetworkFlow, RouterReachedOverTcpIp) {
    if (!testsupport::enterNetworkNamespace())
        return;
    start(threeModules(), testsupport::kNamespaceAddressText);
    ASSERT_TRUE(update(kTarget, bird())) << ::testing::PrintToString(display.errors());
    const auto after = discover();
    ASSERT_EQ(after.size(), 6u);
    EXPECT_EQ(after[4], "    2181F0EE  04       06      RouterBridge   2.10.5 (     12345)        "
                        "[10.9.0.1]         ");
}

TEST_F(ModuleNetworkFlow, TargetMissingFromTheNetwork) {
    start(threeModules());
    EXPECT_FALSE(update(0x0BADF00D, bird()));
    EXPECT_EQ(display.errors(), (std::vector<std::string>{
                                    "Module address required for indirect firmware update, could "
                                    "not find serial number [0x0BADF00D] on network"}));
    router->stop();
    router.reset();
    start({});
    EXPECT_FALSE(update(kTarget, bird()));
    EXPECT_EQ(display.errors(), (std::vector<std::string>{"Unable to find modules on Network"}));
}

TEST_F(ModuleNetworkFlow, NewerServerBuildMissingLocallyFallsBackToTheLatestDownload) {
    start(threeModules());
    // The server offers build 99999; the store only has build 1200, the latest download.
    const std::filesystem::path catalogue = home.path() + "/catalogue";
    testsupport::addBuild(catalogue, "2181F0EE", 99999, "2.11.0");
    updateserver::UpdateServer server;
    updateserver::ServerConfig serverConfig;
    serverConfig.catalogue = catalogue.string();
    serverConfig.port = 0;
    serverConfig.log = nullptr;
    std::string error;
    ASSERT_TRUE(server.start(serverConfig, error)) << error;
    const std::filesystem::path entry = std::filesystem::path(store) / "2181F0EE";
    std::filesystem::create_directories(entry);
    std::filesystem::copy_file(bird(1200), entry / "1200.bird");
    testsupport::writeText(entry / ".settings", "LATEST_DOWNLOAD=1200.bird\n");

    ASSERT_TRUE(update(kTarget, "", server.url())) << ::testing::PrintToString(display.errors());
    const auto messages = display.messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 3),
              (std::vector<std::string>{"New firmware is available.  Updater will proceed if "
                                        "valid firmware is found locally.",
                                        "Updating with the Latest Download",
                                        "Updating firmware with build: 1200"}));
    EXPECT_EQ(messages.back(),
              "Module [2181F0EE] now runs the new firmware: version 2.10.5, build 1200");
    server.stop();
}

TEST_F(ModuleNetworkFlow, ABlockFailingFiveTimesEndsTheUpdate) {
    auto modules = threeModules();
    modules[1].upgradeFaults.refuseWrite = true;
    start(modules);
    DebugCapture trace(DEBUG_Updater);
    EXPECT_FALSE(update(kTarget, bird()));
    const auto messages = display.messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
                         "Transferring firmware block 1 of 1, 2004 bytes"),
              5);
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.rfind("  Retry ", 0) == 0; }),
              4);
    EXPECT_NE(std::find(messages.begin(), messages.end(), "  Retry 4"), messages.end());
    // The router's link stays up: the module answers behind it, as its loader.
    const auto errors = display.errors();
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_EQ(errors[0], "Firmware block 1 failed 5 times: the module refused to write the chunk "
                         "(status 01) [29, aErrInvalidOption]");
    EXPECT_EQ(errors[1], "Module [2181F0EE] is left in its loader, without firmware that runs; it "
                         "answers only as its loader");
    EXPECT_EQ(errors[3], "  Updater -U -t RECOVER -s PORT -d 2181F0EE -u http://127.0.0.1:1/cgi/u");
    const std::string text = trace.text();
    EXPECT_NE(text.find("Error firmware transfer block failed.\n"), std::string::npos);
    EXPECT_NE(text.find("Failed _transfer_firmware(): "), std::string::npos);
    EXPECT_EQ(network->module(4)->upgrade().stats().reboots, 0u);
}

} // namespace
