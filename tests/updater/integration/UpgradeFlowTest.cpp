// The link upgrade protocol and the update and discover flows against the virtual module: byte
// layouts checked against the protocol's tables, each fault the module can show, and whole
// updates over USB emulation.
#include "AttributeFile.h"
#include "Base64.h"
#include "BirdWriter.h"
#include "DebugCapture.h"
#include "DiscoveryResponder.h"
#include "LinkTestSupport.h"
#include "ModuleAccess.h"
#include "NetworkNamespace.h"
#include "RecordingDisplay.h"
#include "RequestReplyModel.h"
#include "ScopedTempDir.h"
#include "ScriptedHttpServer.h"
#include "TaggedFirmware.h"
#include "UpdaterCommands.h"
#include "UpdaterDriver.h"
#include "UpdaterEntity.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"

#include "corvane/aVersion.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <regex>

using namespace Corvane::Tools;
using testsupport::pattern;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kModel = 19; // "RouterBridge"
constexpr uint32_t kNewBuild = 12345;

class UpgradePeer : public ::testing::Test {
  protected:
    void start(UpgradeFaults faults = {}, uint16_t chunk = 1024, uint32_t version = 0,
               const std::string& bind = "127.0.0.1") {
        VirtualModuleConfig config;
        config.bindAddress = bind;
        config.heartbeatMs = 0;
        config.identity.serialNumber = kSerial;
        config.identity.model = kModel;
        vm = std::make_unique<VirtualModule>(config);
        model = std::make_unique<RequestReplyModel>(config.identity);
        model->install(*vm);
        model->setFirmware(0, version);
        upgrade = std::make_unique<UpgradeModel>(*model, chunk, faults);
        if (script.empty())
            upgrade->install(*vm);
        else
            vm->setHandler(cmdUPGRADE, [this](ModuleConnection& c, const WirePacket& p) {
                if (auto it = script.find(p.data[1]); p.length >= 2 && it != script.end()) {
                    WirePacket reply(c.identity().address, {});
                    std::copy(it->second.begin(), it->second.end(), reply.data.begin());
                    reply.length = static_cast<uint8_t>(it->second.size());
                    c.send(reply);
                }
            });
        vm->setPacketObserver([this](const WirePacket& p) {
            std::lock_guard<std::mutex> lock(mutex);
            if (p.length > 0 && (p.data[0] == cmdUPGRADE || p.data[0] == kModuleQuery))
                seen.push_back(p);
        });
        ASSERT_TRUE(vm->start());
        emulation = "40F5849A:13@127.0.0.1:" + std::to_string(vm->port());
    }

    void connectTcp() {
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serialNumber = kSerial;
        spec.ipAddress = htonl(INADDR_LOOPBACK);
        spec.port = vm->port();
        module = std::make_unique<Corvane::Module>(2, static_cast<uint8_t>(0));
        ASSERT_EQ(module->connectFromSpec(spec), aErrNone);
        entity.init(module.get(), 0, true, false);
        entity.setTiming({3, 10, 5, 5});
    }

    std::vector<std::vector<uint8_t>> sent() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::vector<uint8_t>> out;
        for (const WirePacket& p : seen)
            out.emplace_back(p.data.begin(), p.data.begin() + p.length);
        return out;
    }

    static constexpr uint8_t kModuleQuery = 73;
    // Replies by request code, byte for byte, in place of the virtual module's upgrade model.
    std::map<uint8_t, std::vector<uint8_t>> script;
    std::unique_ptr<VirtualModule> vm;
    std::unique_ptr<RequestReplyModel> model;
    std::unique_ptr<UpgradeModel> upgrade;
    std::unique_ptr<Corvane::Module> module;
    UpdaterEntity entity;
    RecordingDisplay display;
    std::string emulation;
    std::mutex mutex;
    std::vector<WirePacket> seen;
};

TEST_F(UpgradePeer, PacketsFollowTheProtocolTables) {
    start();
    connectTcp();
    const std::vector<uint8_t> block = {0x00, 0x01, 0x80, 0x04, 9, 9};
    uint16_t chunk = 0;
    ASSERT_EQ(entity.transferPrepare(block.data(), 6, 5, &chunk), aErrNone);
    EXPECT_EQ(chunk, 1024);
    const std::vector<uint8_t> bytes = pattern(27 + 26, 1);
    uint32_t packets = 0;
    ASSERT_EQ(entity.blockTransfer(bytes.data(), 27, packets), aErrNone);
    ASSERT_EQ(entity.blockTransfer(bytes.data() + 27, 26, &packets), aErrNone);
    EXPECT_EQ(packets, 3u);
    ASSERT_EQ(entity.firmwareWrite(53), aErrNone);

    const auto wire = sent();
    ASSERT_EQ(wire.size(), 7u);
    EXPECT_EQ(wire[0], (std::vector<uint8_t>{0x5F, 0x03, 0x05, 0x00, 0x01, 0x80, 0x04}));
    std::vector<uint8_t> first{0x5F, 0x01};
    first.insert(first.end(), bytes.begin(), bytes.begin() + 26);
    EXPECT_EQ(wire[1], first) << "a 27-byte chunk goes as 26 + 1";
    EXPECT_EQ(wire[2], (std::vector<uint8_t>{0x5F, 0x01, bytes[26]}));
    EXPECT_EQ(wire[3], (std::vector<uint8_t>{0x5F, 0x04}));
    EXPECT_EQ(wire[4].size(), 28u) << "exactly 26 bytes go as one packet";
    EXPECT_EQ(wire[5], (std::vector<uint8_t>{0x5F, 0x04}));
    EXPECT_EQ(wire[6], (std::vector<uint8_t>{0x5F, 0x05, 0x00, 53}));
    const auto image = upgrade->firmware();
    ASSERT_EQ(image.count(0x00018004), 1u);
    EXPECT_EQ(image.at(0x00018004), bytes);
}

struct FaultCase {
    const char* name;
    UpgradeFaults faults;
    aErr expected;
    size_t dataPackets;       // DATA packets the host sent for a 10-byte transfer
    std::string failure = ""; // in words, for the user
};

class UpgradeFaultTest : public UpgradePeer, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UpgradeFaultTest, BlockTransferCopes) {
    start(GetParam().faults);
    connectTcp();
    const std::vector<uint8_t> block = {0, 0, 0x10, 0};
    uint16_t chunk = 0;
    const aErr prepared = entity.transferPrepare(block.data(), 4, 0, chunk);
    if (GetParam().faults.refusePrepare) {
        EXPECT_EQ(prepared, GetParam().expected);
        EXPECT_EQ(entity.lastFailure(), GetParam().failure);
        return;
    }
    ASSERT_EQ(prepared, aErrNone);
    const std::vector<uint8_t> bytes = pattern(10, 5);
    uint32_t packets = 0;
    EXPECT_EQ(entity.blockTransfer(bytes.data(), 10, packets), GetParam().expected);
    size_t data = 0;
    for (const auto& p : sent())
        data += p[1] == 0x01;
    EXPECT_EQ(data, GetParam().dataPackets);
    EXPECT_EQ(entity.lastFailure(), GetParam().failure);
}

UpgradeFaults fault(void (*set)(UpgradeFaults&)) {
    UpgradeFaults f;
    set(f);
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UpgradeFaultTest,
    ::testing::Values(
        FaultCase{"none", {}, aErrNone, 1},
        // The 10 bytes of pattern(10, 5) sum to 0x16D; the module says one more.
        FaultCase{"WrongSum", fault([](UpgradeFaults& f) { f.wrongSumOnce = true; }),
                  aErrInvalidOption, 1,
                  "the module's checksum 0000016E is not that of the bytes sent, 0000016D"},
        FaultCase{"CountZeroIsResent", fault([](UpgradeFaults& f) { f.zeroCountOnce = true; }),
                  aErrNone, 2},
        // Bounded: the first send and three resends, then a clear error.
        FaultCase{"CountZeroForEver", fault([](UpgradeFaults& f) { f.zeroCountAlways = true; }),
                  aErrIO, 4, "the module kept refusing a data packet (3 resends)"},
        FaultCase{"PrepareRefused", fault([](UpgradeFaults& f) { f.refusePrepare = true; }),
                  aErrInvalidOption, 0, "the module refused the block (status 1)"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ScriptCase {
    const char* name;
    uint8_t request; // answered by reply; a DATA packet of 3 bytes is always accepted
    std::vector<uint8_t> reply;
    aErr expected;
    const char* trace = nullptr; // expected in the trace
};

class UpgradeScriptTest : public UpgradePeer, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(UpgradeScriptTest, RepliesAreReadAsTheTablesLayThemOut) {
    const ScriptCase& row = GetParam();
    script[val_UPGRADE_DATA] = {0x5F, 0x01, 3};
    script[row.request] = row.reply;
    start();
    connectTcp();
    DebugCapture trace(DEBUG_Network_FIRM);
    const uint8_t block[] = {0x00, 0x00, 0x10, 0x00};
    const uint8_t bytes[] = {0x01, 0x02, 0xFF}; // sum 0x00000102
    uint16_t chunk = 0;
    uint32_t packets = 0;
    aErr result = aErrUnknown;
    switch (row.request) {
    case val_UPGRADE_INIT: result = entity.loaderInit(); break;
    case val_UPGRADE_PREPARE: result = entity.transferPrepare(block, 4, 0, chunk); break;
    case val_UPGRADE_SUM: result = entity.blockTransfer(bytes, 3, packets); break;
    case val_UPGRADE_WRITE: result = entity.firmwareWrite(3); break;
    case val_UPGRADE_LOAD: result = entity.loaderStart(); break;
    }
    EXPECT_EQ(result, row.expected);
    if (row.trace) {
        EXPECT_NE(trace.text().find(row.trace), std::string::npos) << trace.text();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, UpgradeScriptTest,
    ::testing::Values(
        ScriptCase{"InitBaseBigEndian",
                   val_UPGRADE_INIT,
                   {0x5F, 0x00, 0x20, 0x00, 0x01, 0x00, 0xAA},
                   aErrNone,
                   "load base = 536871168 [20000100]"},
        ScriptCase{"InitShort", val_UPGRADE_INIT, {0x5F, 0x00, 0x20, 0x00, 0x01}, aErrPacket},
        ScriptCase{"PrepareChunkBigEndian",
                   val_UPGRADE_PREPARE,
                   {0x5F, 0x07, 0x00, 0x01, 0x00},
                   aErrNone,
                   "firmware init [256 block size]"},
        ScriptCase{"PrepareRefused",
                   val_UPGRADE_PREPARE,
                   {0x5F, 0x07, 0x05, 0x01, 0x00},
                   aErrInvalidOption},
        ScriptCase{"SumMatches",
                   val_UPGRADE_SUM,
                   {0x5F, 0x07, 0x00, 0x00, 0x00, 0x01, 0x02},
                   aErrNone,
                   "[00000102 == 00000102][1 blocks]"},
        ScriptCase{"SumOffByOne",
                   val_UPGRADE_SUM,
                   {0x5F, 0x07, 0x00, 0x00, 0x00, 0x01, 0x03},
                   aErrInvalidOption,
                   "Unable to validate transfer [00] [00000102 != 00000103]"},
        ScriptCase{"SumRefusedWithoutSum",
                   val_UPGRADE_SUM,
                   {0x5F, 0x07, 0x01},
                   aErrInvalidOption,
                   "Unable to validate transfer [01]"},
        ScriptCase{"WriteRefused", val_UPGRADE_WRITE, {0x5F, 0x07, 0x01}, aErrInvalidOption},
        ScriptCase{"LoadAnyTail",
                   val_UPGRADE_LOAD,
                   {0x5F, 0x02, 0x55},
                   aErrNone,
                   "Loader validated start\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpgradePeer, UeiDataPathOnlyWhereTheModuleHasIt) {
    start();
    connectTcp();
    model->setFaults([] {
        ModelFaults f;
        f.silentUei = {true, kModuleQuery, 1};
        return f;
    }());
    EXPECT_EQ(entity.checkUEIDataSupport(), aErrTimeout);
    EXPECT_FALSE(entity.usesUeiData());
    model->setFaults({});
    ASSERT_EQ(entity.checkUEIDataSupport(), aErrNone);

    const std::vector<uint8_t> block = {0x00, 0x00, 0x10, 0x00};
    uint16_t chunk = 0;
    ASSERT_EQ(entity.transferPrepare(block.data(), 4, 0, chunk), aErrNone);
    const std::vector<uint8_t> bytes = pattern(60, 3);
    uint32_t packets = 0;
    DebugCapture trace(DEBUG_Network_FIRM);
    ASSERT_EQ(entity.blockTransfer(bytes.data(), 60, packets), aErrNone);
    EXPECT_EQ(packets, 1u);
    EXPECT_NE(trace.text().find("transferred 60 of 60 bytes"), std::string::npos) << trace.text();
    ASSERT_EQ(entity.firmwareWrite(60), aErrNone);
    EXPECT_EQ(upgrade->firmware().at(0x1000), bytes);

    const auto wire = sent();
    ASSERT_EQ(wire.size(), 8u);
    const std::vector<uint8_t> query = {kModuleQuery, 1, 0x5F, 10, 0, 0x80};
    EXPECT_EQ(wire[0], query);
    EXPECT_EQ(wire[1], query);
    // One byte array on option 10: runs of 24 bytes, each closed by its sequence and more bit.
    const uint8_t controls[] = {0x80, 0x81, 0x02};
    for (size_t i = 0; i < 3; ++i) {
        std::vector<uint8_t> run = {0x5F, 0x8A, 0x20};
        run.insert(run.end(), bytes.begin() + 24 * i,
                   bytes.begin() + std::min<size_t>(60, 24 * (i + 1)));
        run.push_back(controls[i]);
        EXPECT_EQ(wire[3 + i], run) << i;
    }
    EXPECT_EQ(wire[6], (std::vector<uint8_t>{0x5F, 0x04}));

    // More than a chunk can hold is refused with the module's own error code.
    const std::vector<uint8_t> tooLong(65536, 0x5A);
    EXPECT_EQ(entity.blockTransfer(tooLong.data(), 65536, packets), aErrOverrun);
}

TEST_F(UpgradePeer, LoadAnsweredOnlyAfterReconnect) {
    UpgradeFaults faults;
    faults.loadAfterReconnect = true;
    start(faults);
    connectTcp();
    DebugCapture trace(DEBUG_Network_FIRM | DEBUG_Network);
    ASSERT_EQ(entity.loaderInit(), aErrNone);
    EXPECT_EQ(entity.loaderStart(), aErrNone) << trace.text();
    EXPECT_NE(trace.text().find("NETWORK: Loader validated start (Reconnect)\n"),
              std::string::npos);
    EXPECT_TRUE(upgrade->inBootLoader());
}

TEST_F(UpgradePeer, EveryReconnectAttemptConnectsAfresh) {
    start();
    connectTcp();
    FaultSettings mute;
    mute.mute = true; // the link comes up, the module never says its address
    vm->setFaults(mute);
    entity.setTiming({3, 10, 5, 2});
    const uint64_t before = vm->stats().connections;
    EXPECT_NE(entity.reconnect(10), aErrNone);
    EXPECT_EQ(vm->stats().connections - before, 2u);
    EXPECT_FALSE(module->isConnected()) << "no half-made link stays behind";
}

TEST_F(UpgradePeer, RebootWaitsForTheLinkToDropWithinItsBound) {
    UpgradeFaults faults;
    faults.rebootKeepsLink = true;
    start(faults);
    connectTcp();
    EXPECT_EQ(entity.loaderReboot(display), aErrTimeout);
    EXPECT_EQ(
        std::count(display.calls.begin(), display.calls.end(), "spinner(on,Verifying Update)"), 5);
    EXPECT_EQ(display.calls.back(), "spinner(off,Verifying Update)");

    display.calls.clear();
    entity.init(module.get(), 0, true, true); // noLinkDropWait: one wait, then on
    entity.setTiming({3, 10, 5, 5});
    EXPECT_EQ(entity.loaderReboot(display), aErrNone);
    EXPECT_EQ(display.calls, (std::vector<std::string>{"spinner(on,Verifying Update)",
                                                       "spinner(off,Verifying Update)"}));
}

TEST_F(UpgradePeer, ACleanlyClosedLinkIsSeenGoneAfterReboot) {
    start();
    connectTcp();
    EXPECT_EQ(entity.loaderReboot(display), aErrNone);
    EXPECT_FALSE(module->isConnected());
}

// Whole flows through the Updater's commands, the module attached by USB emulation.
class UpdateFlow : public UpgradePeer {
  protected:
    void SetUp() override {
        setenv("HOME", home.path().c_str(), 1);
        store = home.path() + "/store";
        std::filesystem::create_directories(store);
    }
    void TearDown() override { unsetenv("CORVANE_USB_EMULATION"); }

    void attach() { setenv("CORVANE_USB_EMULATION", emulation.c_str(), 1); }

    std::string bird(const std::string& model, bool offsets, uint32_t serial = 0) {
        const std::string path = home.path() + "/" + model + std::to_string(offsets) + ".bird";
        std::string error;
        EXPECT_TRUE(testsupport::writeTaggedBird(path, kNewBuild, aVersion_Pack(2, 10, 5), "2.10.5",
                                                 model, offsets, serial ? "0BADF00D" : "", error))
            << error;
        return path;
    }

    bool update(const std::string& path, bool override = false) {
        UpdaterContext context("http://127.0.0.1:1/cgi/u", store, display);
        return updateCommand(context, {.serial = kSerial, .birdFile = path, .override = override});
    }

    std::vector<std::string> discover(int transport = 0) {
        UpdaterContext context("http://127.0.0.1:1/cgi/u", store, display);
        display.lines.clear();
        discoverCommand(context, {.transport = transport});
        return display.messages();
    }

    ScopedTempDir home;
    std::string store;
};

TEST_F(UpdateFlow, UpdatesOverUsbAndDiscoveryShowsTheNewVersion) {
    start({}, 1024, aVersion_Pack(2, 10, 3));
    attach();
    auto before = discover();
    ASSERT_EQ(before.size(), 4u);
    EXPECT_NE(before[3].find("2.10.3"), std::string::npos);
    EXPECT_EQ(before[3].substr(before[3].size() - 2), "  ") << "2.10.3 has no name to read";

    ASSERT_TRUE(update(bird("RouterBridge", true)));
    const auto messages = display.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Module [40F5849A] now runs the new firmware: version 2.10.5, build 12345"),
              messages.end());
    EXPECT_GT(upgrade->loader().size(), 0u);

    auto after = discover();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_NE(after[3].find("2.10.5 (     12345)"), std::string::npos);
    EXPECT_NE(after[3].find("Virtual module"), std::string::npos) << "2.10.5 has a name";
}

TEST_F(UpdateFlow, ValidationRefusesForeignImagesUnlessOverridden) {
    start();
    attach();
    EXPECT_FALSE(update(bird("RouterBridge", false, 0x0BADF00D)));
    EXPECT_EQ(display.errors(), (std::vector<std::string>{"Birdfile failed validation"}));
    display.lines.clear();
    EXPECT_FALSE(update(bird("PortHub4", true)));
    EXPECT_EQ(display.errors().front(),
              "Connected device model and Bird file model do not match [RouterBridge] (0)");
    display.lines.clear();
    EXPECT_TRUE(update(bird("RouterBridge", false, 0x0BADF00D), true));
}

// What a finished update records, with the image given by path or as a build from the store.
struct RecordCase {
    const char* name;
    uint32_t build; // 0: the image is given by path
    RecordingDisplay::Line report;
};

class UpdateRecordTest : public UpdateFlow, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(UpdateRecordTest, RecordsTheTransferAndReportsWhatTheModuleRuns) {
    start();
    attach();
    const RecordCase& c = GetParam();
    const std::string image = bird("RouterBridge", true); // build 12345, version 2.10.5
    const std::string entry = store + "/40F5849A/";
    std::string path = image;
    if (c.build != 0) {
        std::filesystem::create_directories(entry);
        std::filesystem::copy_file(image, entry + std::to_string(c.build) + ".bird");
        path.clear();
    }
    UpdaterContext context("http://127.0.0.1:1/cgi/u", store, display);
    ASSERT_TRUE(updateCommand(context, {.serial = kSerial, .build = c.build, .birdFile = path}))
        << ::testing::PrintToString(display.errors());

    AttributeFile settings(entry + ".settings");
    EXPECT_EQ(settings.getString("LATEST_TRANSFER"),
              c.build != 0 ? std::to_string(c.build) + ".bird" : image);
    EXPECT_TRUE(std::regex_match(settings.getString("LAST_TRANSFER_DATE"),
                                 std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [ 123]"
                                            "[0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}")))
        << settings.getString("LAST_TRANSFER_DATE");
    const auto& lines = display.lines;
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[lines.size() - 2].text,
                                 std::regex("Update time: [0-9]+\\.[0-9]{4} sec")));
    EXPECT_EQ(lines.back(), c.report);
}

INSTANTIATE_TEST_SUITE_P(
    Records, UpdateRecordTest,
    ::testing::Values(
        RecordCase{
            "ImageByPath",
            0,
            {false, "Module [40F5849A] now runs the new firmware: version 2.10.5, build 12345"}},
        RecordCase{
            "BuildFromTheStore",
            kNewBuild,
            {false, "Module [40F5849A] now runs the new firmware: version 2.10.5, build 12345"}}),
    [](const auto& info) { return std::string(info.param.name); });

// How an update ends when the module misbehaves from the loader's start to its restart. Every
// message is the truth about what happened; an update counts, and is recorded, only when the
// module came back as itself running the image. One left in its loader, or silent, is handed
// the command that recovers it, naming its serial port when one can be named.
struct OutcomeCase {
    const char* name;
    UpgradeFaults faults;
    bool updated;
    std::vector<std::string> errors;
    RestartWaits waits = {};
    uint32_t storeBuild = 0;             // the image as this build from the store; 0: by path
    const char* versionText = "2.10.5";  // the image's; the firmware in it is 2.10.5
    bool entryIsAFile = false;           // a file stands where the module's entry would be
    std::string serialPort = "";         // as given with -s
    std::vector<std::string> ports = {}; // device nodes present; DEV in errors is their folder
};

void PrintTo(const OutcomeCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateOutcomeTest : public UpdateFlow, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(UpdateOutcomeTest, SaysWhatHappenedAndRecordsOnlyWhatTook) {
    const OutcomeCase& c = GetParam();
    start(c.faults, 1024, aVersion_Pack(2, 10, 3));
    model->setFirmware(11111, 0);
    attach();
    const std::string entry = store + "/40F5849A";
    const std::string image = home.path() + "/image.bird";
    std::string error;
    ASSERT_TRUE(testsupport::writeTaggedBird(image, kNewBuild, aVersion_Pack(2, 10, 5),
                                             c.versionText, "RouterBridge", true, "", error))
        << error;
    UpdateRequest request{.serial = kSerial, .build = c.storeBuild, .birdFile = image};
    if (c.storeBuild != 0) {
        std::filesystem::create_directories(entry);
        std::filesystem::copy_file(image, entry + "/" + std::to_string(c.storeBuild) + ".bird");
        request.birdFile.clear();
    }
    if (c.entryIsAFile)
        std::ofstream(entry) << "not a directory";
    request.serialPort = c.serialPort;
    const std::string devices = home.path() + "/dev";
    std::filesystem::create_directories(devices);
    for (const std::string& port : c.ports)
        std::ofstream(devices + "/" + port).flush();

    RunSettings run("http://127.0.0.1:1/cgi/u", store);
    run.restartWaits = c.waits;
    run.deviceDirectory = devices;
    UpdaterContext context(run, display);
    context.failure.recoveryCommand = "left from before";
    EXPECT_EQ(updateCommand(context, request), c.updated);
    std::vector<std::string> errors = c.errors;
    std::string expectedRecovery;
    for (std::string& line : errors) {
        for (const auto& [word, value] : {std::pair{"STORE", store}, std::pair{"DEV", devices}})
            if (const size_t at = line.find(word); at != std::string::npos)
                line.replace(at, std::strlen(word), value);
        if (line.rfind("  Updater ", 0) == 0)
            expectedRecovery = line.substr(2);
    }
    EXPECT_EQ(display.errors(), errors);
    EXPECT_EQ(context.failure.recoveryCommand, expectedRecovery) << "what --json reports";
    const std::string latest = AttributeFile(entry + "/.settings").getString("LATEST_TRANSFER");
    EXPECT_EQ(latest.empty(), !c.updated || c.entryIsAFile) << latest;
    if (!c.updated && c.storeBuild == 0 && !c.entryIsAFile) {
        EXPECT_FALSE(std::filesystem::exists(entry)) << "no result, no store entry";
    }
    // Each wait for the module shows a spinner, and takes it away again.
    const auto spins =
        std::count_if(display.calls.begin(), display.calls.end(),
                      [](const std::string& call) { return call.rfind("spinner(on,", 0) == 0; });
    if (c.faults.goneAfterReboot || c.faults.rebootDropMs != 0) {
        EXPECT_GT(spins, 1);
        EXPECT_EQ(display.calls.back(), "spinner(off,Verifying Update)");
    }
}

UpgradeFaults faultsWhere(void (*set)(UpgradeFaults&)) {
    UpgradeFaults f;
    set(f);
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, UpdateOutcomeTest,
    ::testing::Values(
        // Slower than a few seconds: a real module writing its image.
        OutcomeCase{
            "SlowReboot", faultsWhere([](UpgradeFaults& f) { f.rebootDropMs = 7000; }), true, {}},
        // Two USB serial ports: which one is the module's cannot be told.
        OutcomeCase{.name = "RestartNotSeen",
                    .faults = faultsWhere([](UpgradeFaults& f) { f.rebootKeepsLink = true; }),
                    .updated = false,
                    .errors = {"The firmware image was transferred, but the module's restart was "
                               "not seen within 1 s",
                               "Module [40F5849A] has not restarted into the new firmware; if it "
                               "does not come back, it is left in its loader",
                               "To recover it through its boot ROM, run:",
                               "  Updater -U -t RECOVER -s PORT -d 40F5849A -u "
                               "http://127.0.0.1:1/cgi/u",
                               "with PORT the serial port its boot ROM is connected to (ls -l "
                               "/dev/serial/by-id/ lists them), or USB for an i.MX module whose "
                               "boot ROM is on USB"},
                    .waits = {1000, 15000},
                    .ports = {"ttyUSB0", "ttyACM0", "ttyS0"}},
        // The only USB serial port is named.
        OutcomeCase{.name = "NeverComesBack",
                    .faults = faultsWhere([](UpgradeFaults& f) { f.goneAfterReboot = true; }),
                    .updated = false,
                    .errors = {"Module [40F5849A] did not come back after the update",
                               "Module [40F5849A] does not answer: it is left in its loader or "
                               "without firmware that runs",
                               "To recover it through its boot ROM, run:",
                               "  Updater -U -t RECOVER -s DEV/ttyUSB3 -d 40F5849A -u "
                               "http://127.0.0.1:1/cgi/u"},
                    .waits = {60000, 1000},
                    .ports = {"ttyS0", "ttyUSB3", "ttyUSB3.lock"}},
        OutcomeCase{"ComesBackAsAnother",
                    faultsWhere([](UpgradeFaults& f) { f.rebootSerial = 0x0BADF00D; }),
                    false,
                    {"Module [40F5849A] came back reporting serial number [0BADF00D]"}},
        OutcomeCase{"StillRunsTheOldBuild",
                    faultsWhere([](UpgradeFaults& f) { f.rebootKeepsFirmware = true; }),
                    false,
                    {"Module [40F5849A] still runs its old firmware: version 2.10.3, build 11111"}},
        OutcomeCase{"RunsAnotherBuildThanAskedFor",
                    {},
                    false,
                    {"Module [40F5849A] runs version 2.10.5, build 12345, not the image's "
                     "firmware"},
                    {},
                    777},
        OutcomeCase{"VersionTextWithLeadingZero", {}, true, {}, {}, 0, "2.10.05"},
        // 12 DATA packets carry the loader, 40 the first 1024-byte chunk of the firmware.
        // The module answers again once its link is back: as its loader. The port given wins.
        OutcomeCase{.name = "LinkLostMidTransfer",
                    .faults = faultsWhere([](UpgradeFaults& f) { f.dropInData = 12 + 40 + 5; }),
                    .updated = false,
                    .errors = {"The link to the module was lost in firmware block 1 of 1 (1024 of "
                               "2000 bytes written)",
                               "Module [40F5849A] is left in its loader, without firmware that "
                               "runs; it answers only as its loader",
                               "To recover it through its boot ROM, run:",
                               "  Updater -U -t RECOVER -s '/dev/serial/by-id/usb-Lab cable' -d "
                               "40F5849A -u http://127.0.0.1:1/cgi/u"},
                    .serialPort = "/dev/serial/by-id/usb-Lab cable",
                    .ports = {"ttyUSB3"}},
        OutcomeCase{.name = "WritesRefused",
                    .faults = faultsWhere([](UpgradeFaults& f) { f.refuseWrite = true; }),
                    .updated = false,
                    .errors = {"Firmware block 1 failed 5 times: the module refused to write the "
                               "chunk (status 01) [29, aErrInvalidOption]",
                               "Module [40F5849A] is left in its loader, without firmware that "
                               "runs; it answers only as its loader",
                               "To recover it through its boot ROM, run:",
                               "  Updater -U -t RECOVER -s /dev/ttyS4 -d 40F5849A -u "
                               "http://127.0.0.1:1/cgi/u"},
                    .serialPort = "/dev/ttyS4"},
        // Before the loader starts the module still runs its old firmware: nothing to recover.
        OutcomeCase{.name = "LinkLostInLoaderPhase",
                    .faults = faultsWhere([](UpgradeFaults& f) { f.dropInData = 5; }),
                    .updated = false,
                    .errors = {"The link to the module was lost in loader block 1 of 1; the "
                               "loader is not started"},
                    .ports = {"ttyUSB3"}},
        OutcomeCase{"LoadAnsweredAfterReconnect",
                    faultsWhere([](UpgradeFaults& f) { f.loadAfterReconnect = true; }),
                    true,
                    {}},
        OutcomeCase{"StoreCannotTakeTheRecord",
                    {},
                    false,
                    {"The transfer could not be recorded in the store: UpdaterStore: "
                     "STORE/40F5849A exists and is a file"},
                    {},
                    0,
                    "2.10.5",
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateFlow, NothingAttachedAndModulesHeldElsewhere) {
    EXPECT_EQ(discover(),
              (std::vector<std::string>{"Searching for Corvane devices",
                                        "Discovered Devices: (USB)", "    No devices found."}));
    display.lines.clear();
    UpdaterContext context("http://127.0.0.1:1/cgi/u", store, display);
    EXPECT_FALSE(updateCommand(context, {.serial = kSerial, .build = 77}));
    EXPECT_EQ(display.messages().back(), "Updating firmware with build: 77");
    EXPECT_FALSE(updateCommand(context, {.serial = kSerial}));
    EXPECT_EQ(display.errors(),
              (std::vector<std::string>{"Failed to load bird file",
                                        "Could not find valid build for this device."}));
    EXPECT_FALSE(std::filesystem::exists(store + "/40F5849A")) << "no result, no store entry";
}

// -G then -U in one run: the update installs the very build the get just stored, without asking
// the server for the latest one again.
TEST_F(UpdateFlow, GetHandsTheBuildItFetchedToTheUpdate) {
    start();
    attach();
    const std::string image = home.path() + "/1300.bird";
    std::string error;
    ASSERT_TRUE(testsupport::writeTaggedBird(image, 1300, aVersion_Pack(2, 10, 5), "2.10.5",
                                             "RouterBridge", true, "", error))
        << error;
    std::ifstream in(image, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    testsupport::ScriptedHttpServer server({
        testsupport::httpReply(200, "ok\n"),                         // ping
        testsupport::httpReply(200, "ok\n1300\nCVN-HUB\n"),          // latest build
        testsupport::httpReply(200, "ok\n1234;1.0.0\n1300;1.1.0\n"), // build list
        testsupport::httpReply(200, "ok\n" + base64Encode(bytes.data(), bytes.size()) + "\n"),
    });
    UpdaterOptions options;
    options.flags = FLAG_GET_BUILD | FLAG_UPDATE;
    options.serial = kSerial;
    const RunSettings run(server.url(), store);
    EXPECT_EQ(runCommands(options, run, display), 0) << ::testing::PrintToString(display.errors());
    EXPECT_EQ(options.build, "1300");
    EXPECT_EQ(server.targets().size(), 4u) << "the update asked the server again";
    const auto messages = display.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Module [40F5849A] now runs the new firmware: version 2.10.5, build 1300"),
              messages.end())
        << ::testing::PrintToString(messages);
    EXPECT_EQ(AttributeFile(store + "/40F5849A/.settings").getString("LATEST_TRANSFER"),
              "1300.bird");
}

TEST_F(UpdateFlow, UpdatesOverTcpIpFoundByDiscovery) {
    if (!testsupport::enterNetworkNamespace())
        return;
    start({}, 1024, 0, testsupport::kNamespaceAddressText);
    DiscoveryResponder responder;
    VirtualModuleConfig identity;
    identity.identity.serialNumber = kSerial;
    identity.identity.model = kModel;
    std::string error;
    ASSERT_TRUE(
        responder.start(testsupport::kNamespaceAddressText, identity.identity, vm->port(), &error))
        << error;
    ASSERT_TRUE(update(bird("RouterBridge", true))) << ::testing::PrintToString(display.errors());
    auto after = discover(TCPIP);
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[1], "Discovered Devices: (TCPIP)");
    EXPECT_NE(after[3].find("2.10.5 (     12345)"), std::string::npos) << after[3];
    EXPECT_NE(after[3].find("[10.9.0.1]"), std::string::npos) << after[3];
    responder.stop();
}

} // namespace
