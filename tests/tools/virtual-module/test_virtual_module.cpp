// The virtual module on its own: its command line (as a program and as a parser), and what it
// sends back over a raw socket for each kind of packet and each fault switch.
#include "LinkTestSupport.h"
#include "ModuleNetwork.h"
#include "ProcessRunner.h"
#include "SpawnedProgram.h"
#include "VirtualModule.h"
#include "VirtualModuleOptions.h"
#include "corvane/aError.h"
#include "corvane/aVersion.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace Corvane::Tools;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kInvalidOption = aErrInvalidOption;
constexpr uint8_t kIndexRange = aErrIndexRange;
constexpr uint8_t kInvalidEntity = aErrInvalidEntity;

// ---- Command line ----

OptionsResult parse(std::vector<const char*> args, VirtualModuleConfig& config,
                    std::string* error = nullptr) {
    args.insert(args.begin(), "virtual-module");
    return parseVirtualModuleOptions(static_cast<int>(args.size()), args.data(), config, error);
}

TEST(VirtualModuleOptions, ValuesAndDefaults) {
    VirtualModuleConfig config;
    ASSERT_EQ(parse({}, config), OptionsResult::Run);
    EXPECT_EQ(config.bindAddress, "127.0.0.1");
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.identity.address, 2);

    ASSERT_EQ(parse({"--port",
                     "8016",
                     "--serial",
                     "0x40F5849A",
                     "--model",
                     "0x13",
                     "--address",
                     "10",
                     "--latency-us",
                     "125",
                     "--drop-after",
                     "7",
                     "--garbage",
                     "--mute",
                     "--heartbeat-ms",
                     "0",
                     "--bind",
                     "127.0.0.2",
                     "--stream-interval-us",
                     "500",
                     "--stream-burst",
                     "600"},
                    config),
              OptionsResult::Run);
    EXPECT_EQ(config.port, 8016);
    EXPECT_EQ(config.identity.serialNumber, 0x40F5849Au);
    EXPECT_EQ(config.identity.model, 0x13);
    EXPECT_EQ(config.identity.address, 10);
    EXPECT_EQ(config.latencyUs, 125u);
    EXPECT_EQ(config.faults.dropAfter, 7u);
    EXPECT_TRUE(config.faults.garbage);
    EXPECT_TRUE(config.faults.mute);
    EXPECT_EQ(config.heartbeatMs, 0u);
    EXPECT_EQ(config.bindAddress, "127.0.0.2");
    EXPECT_EQ(config.streamIntervalUs, 500u);
    EXPECT_EQ(config.streamBurst, 600u);

    // How a restart goes, and where a link drops.
    ASSERT_EQ(
        parse({"--upgrade-fault", "slow-reboot:7000", "--upgrade-fault", "reboot-serial:0BADF00D",
               "--upgrade-fault", "drop-in-data:57", "--upgrade-fault", "gone-after-reboot",
               "--upgrade-fault", "reboot-keeps-firmware"},
              config),
        OptionsResult::Run);
    EXPECT_EQ(config.upgradeFaults.rebootDropMs, 7000u);
    EXPECT_EQ(config.upgradeFaults.rebootSerial, 0x0BADF00Du);
    EXPECT_EQ(config.upgradeFaults.dropInData, 57u);
    EXPECT_TRUE(config.upgradeFaults.goneAfterReboot);
    EXPECT_TRUE(config.upgradeFaults.rebootKeepsFirmware);

    // Serial numbers are hexadecimal with or without their prefix.
    ASSERT_EQ(parse({"--serial", "DEADBEEF"}, config), OptionsResult::Run);
    EXPECT_EQ(config.identity.serialNumber, 0xDEADBEEFu);

    // Answering discovery on an interface, the module listens there unless told otherwise.
    VirtualModuleConfig discoverable;
    ASSERT_EQ(parse({"--discovery", "10.9.0.1"}, discoverable), OptionsResult::Run);
    EXPECT_EQ(discoverable.discoveryInterface, "10.9.0.1");
    EXPECT_EQ(discoverable.bindAddress, "10.9.0.1");
    ASSERT_EQ(parse({"--bind", "0.0.0.0", "--discovery", "10.9.0.1"}, discoverable),
              OptionsResult::Run);
    EXPECT_EQ(discoverable.bindAddress, "0.0.0.0");

    // The hostile answers: to discovery, to a byte-array get, and a bus present everywhere.
    VirtualModuleConfig hostile;
    ASSERT_EQ(parse({"--discovery-copies", "20", "--discovery-junk", "0", "--discovery-from",
                     "255.255.255.255", "--endless-bytes", "3:32:250", "--bus-present-everywhere"},
                    hostile),
              OptionsResult::Run);
    EXPECT_EQ(hostile.discoveryFaults.copies, 20u);
    EXPECT_EQ(hostile.discoveryFaults.junk, 0u);
    EXPECT_EQ(hostile.discoveryFaults.forgedSource, "255.255.255.255");
    EXPECT_TRUE(hostile.modelFaults.endlessBytes.matches(3, 32));
    EXPECT_FALSE(hostile.modelFaults.endlessBytes.matches(3, 31));
    EXPECT_EQ(hostile.modelFaults.endlessIntervalMs, 250u);
    EXPECT_TRUE(hostile.busPresentEverywhere);
    ASSERT_EQ(parse({"--endless-bytes", "3:32"}, hostile), OptionsResult::Run);
    EXPECT_EQ(hostile.modelFaults.endlessIntervalMs, 500u);
}

TEST(VirtualModuleOptions, BadInputIsNamed) {
    const std::vector<std::vector<const char*>> bad = {
        {"--bogus"},
        {"--port"},
        {"--port", "65536"},
        {"--port", "-1"},
        {"--port", "12x"},
        {"--address", "3"},
        {"--address", "0"},
        {"--model", "0"},
        {"--model", "256"},
        {"--serial", "1G"},
        {"--serial", "100000000"},
        {"--port", ""},
        {"--latency-us", " 5"},
        {"--build", "0"},
        {"--build", "0x10"}, // builds are decimal everywhere
        {"--firmware-version", "300.0.0"},
        {"--firmware-version", "1.20.0"}, // the legacy packed word keeps 4 bits of minor
        {"--firmware-version", "2.11.256"},
        {"--bind"},
        {"--discovery"},
        {"--discovery-copies", "0"},
        {"--discovery-junk", "100001"},
        {"--discovery-from"},
        {"--discovery-from", "10.9.0"},
        {"--endless-bytes", "3"},
        {"--endless-bytes", "3:32:0"},
        {"--endless-bytes", "3:32:5:1"},
        {"--upgrade-fault", "slow-reboot"},
        {"--upgrade-fault", "slow-reboot:0"},
        {"--upgrade-fault", "drop-in-data:0"},
        {"--upgrade-fault", "reboot-serial:0"},
        {"--upgrade-fault", "gone-after-reboot:1"},
    };
    for (const auto& args : bad) {
        VirtualModuleConfig config;
        std::string error;
        EXPECT_EQ(parse(args, config, &error), OptionsResult::Error) << args[0];
        EXPECT_FALSE(error.empty());
    }
    VirtualModuleConfig config;
    EXPECT_EQ(parse({"--port", "1", "--help"}, config), OptionsResult::Help);
}

TEST(VirtualModuleOptions, BusModules) {
    const std::vector<const char*> args = {"virtual-module",
                                           "--chunk-size",
                                           "512",
                                           "--bus-module",
                                           "2181F0EE:13@4:10004:2.10.4",
                                           "--bus-module",
                                           "11223344:4@252",
                                           "--bus-upgrade-fault",
                                           "252:refuse-write"};
    VirtualModuleConfig config;
    std::vector<BusModuleConfig> bus;
    ASSERT_EQ(parseVirtualModuleOptions(static_cast<int>(args.size()), args.data(), config, nullptr,
                                        &bus),
              OptionsResult::Run);
    ASSERT_EQ(bus.size(), 2u);
    EXPECT_EQ(bus[0].identity.serialNumber, 0x2181F0EEu);
    EXPECT_EQ(bus[0].identity.model, 0x13);
    EXPECT_EQ(bus[0].identity.address, 4);
    EXPECT_EQ(bus[0].build, 10004u);
    EXPECT_EQ(bus[0].packedVersion, aVersion_Pack(2, 10, 4));
    EXPECT_EQ(bus[0].chunkSize, 512);
    EXPECT_EQ(bus[1].identity.address, 252);
    EXPECT_EQ(bus[1].build, 0u);
    EXPECT_TRUE(bus[1].upgradeFaults.refuseWrite);
    EXPECT_FALSE(bus[0].upgradeFaults.refuseWrite);

    for (const char* bad : {"2181F0EE@4", "2181F0EE:13", "2181F0EE:13@4:1:2.10.4:9", "2181F0EE:0@4",
                            "2181F0EE:13@x", "2181F0EE:13@4:0", "1:13@4:1:2.10"}) {
        const std::vector<const char*> one = {"virtual-module", "--bus-module", bad};
        std::string error;
        EXPECT_EQ(parseVirtualModuleOptions(3, one.data(), config, &error, &bus),
                  OptionsResult::Error)
            << bad;
    }
    // No module at 6; a module behind a router has no link of its own to keep or leave.
    for (const char* bad :
         {"6:refuse-write", "4", "4:bogus", "4:slow-reboot:500", "4:gone-after-reboot"}) {
        const std::vector<const char*> one = {"virtual-module", "--bus-module", "1:4@4",
                                              "--bus-upgrade-fault", bad};
        std::string error;
        bus.clear();
        EXPECT_EQ(parseVirtualModuleOptions(5, one.data(), config, &error, &bus),
                  OptionsResult::Error)
            << bad;
    }
}

TEST(VirtualModuleProgram, HelpAndBadOptions) {
    ASSERT_FALSE(std::string(VIRTUAL_MODULE_BIN).empty()) << "virtual-module is not built";
    testsupport::ProcessOptions options;
    options.deadline = 5000ms;
    auto help = testsupport::runProcess(VIRTUAL_MODULE_BIN, {"--help"}, options);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out, kVirtualModuleHelp);

    auto bad = testsupport::runProcess(VIRTUAL_MODULE_BIN, {"--frobnicate"}, options);
    EXPECT_EQ(bad.exitStatus, 2);
    EXPECT_NE(bad.err.find("unknown option '--frobnicate'"), std::string::npos);
    EXPECT_TRUE(bad.out.empty());

    for (const char* busAddress : {"2", "5", "254"}) { // the router's own, odd, off the bus
        auto clash = testsupport::runProcess(
            VIRTUAL_MODULE_BIN, {"--bus-module", std::string("1:4@") + busAddress}, options);
        EXPECT_EQ(clash.exitStatus, 2) << busAddress;
        EXPECT_NE(clash.err.find("--bus-module: bus address"), std::string::npos) << clash.err;
    }

    auto unbindable = testsupport::runProcess(VIRTUAL_MODULE_BIN, {"--bind", "localhost"}, options);
    EXPECT_EQ(unbindable.exitStatus, 1);
    EXPECT_NE(unbindable.err.find("not an IPv4 address"), std::string::npos);
}

TEST(VirtualModuleProgram, ListensPrintsItsPortAndStopsOnSignal) {
    ASSERT_FALSE(std::string(VIRTUAL_MODULE_BIN).empty()) << "virtual-module is not built";
    SpawnedProgram program({VIRTUAL_MODULE_BIN, "--port", "0", "--serial", "C0FFEE"});
    const auto line = program.readLine(5000ms);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->rfind("listening on 127.0.0.1:", 0), 0u) << *line;
    const auto identity = program.readLine(1000ms);
    ASSERT_TRUE(identity.has_value());
    EXPECT_EQ(*identity, "module serial 00C0FFEE, model 19, address 2");
    const auto emulation = program.readLine(1000ms);
    ASSERT_TRUE(emulation.has_value());
    EXPECT_EQ(*emulation, "usb emulation: CORVANE_USB_EMULATION=00C0FFEE:13@" +
                              line->substr(std::string("listening on ").size()));
    program.signal(SIGINT);
    EXPECT_EQ(program.wait(5000ms), 0);
}

// ---- Behaviour over a raw socket ----

class RawHost {
  public:
    explicit RawHost(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~RawHost() { close(fd_); }
    bool connected() const { return connected_; }
    void send(const Bytes& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until count bytes came, the peer closed or limit passed.
    Bytes receive(size_t count, std::chrono::milliseconds limit) {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            uint8_t buffer[512];
            const ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), 0);
            if (n <= 0) {
                closedBy_ = n == 0 ? "close" : "error";
                break;
            }
            out.insert(out.end(), buffer, buffer + n);
        }
        return out;
    }
    const std::string& closedBy() const { return closedBy_; }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
    bool connected_ = false;
    std::string closedBy_;
};

// Occurrences of text in what a program wrote.
size_t occurrences(const std::string& written, const std::string& text) {
    size_t count = 0;
    for (size_t at = written.find(text); at != std::string::npos; at = written.find(text, at + 1))
        ++count;
    return count;
}

TEST(VirtualModuleProgram, OutOfDescriptorsItBacksOffInsteadOfSpinning) {
    ASSERT_FALSE(std::string(VIRTUAL_MODULE_BIN).empty()) << "virtual-module is not built";
    SpawnedProgram program({"/bin/sh", "-c",
                            std::string("ulimit -n 12 && exec ") + VIRTUAL_MODULE_BIN +
                                " --port 0 --serial C0FFEE --heartbeat-ms 0 --verbose"});
    const auto line = program.readLine(5000ms);
    ASSERT_TRUE(line.has_value());
    const uint16_t port = static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
    std::vector<std::unique_ptr<RawHost>> hosts;
    // More hosts than descriptors, fewer than fit the listen queue (a full queue stalls connect).
    for (int i = 0; i < 10; ++i)
        hosts.push_back(std::make_unique<RawHost>(port));
    const std::string failed = "accept failed";
    ASSERT_TRUE(program.awaitError(failed, 10s)) << program.errors();

    // A module that retries at once fails an accept on every turn of its loop, and each answer
    // takes a turn at least: it fails more accepts than it answers. One that backs off fails one
    // per pause of a quarter second, however many it answers in between.
    const size_t before = occurrences(program.errors(), failed);
    constexpr int kRequests = 40;
    for (int i = 0; i < kRequests; ++i) {
        hosts.front()->send({2, 3, 3, 0x48, 0x20}); // model
        ASSERT_EQ(hosts.front()->receive(6, 10s), (Bytes{2, 4, 3, 8, 0, 0x13})) << "request " << i;
        program.collectErrors();
    }
    EXPECT_LT(occurrences(program.errors(), failed) - before, size_t{kRequests / 2});
    hosts.clear();
    program.signal(SIGINT);
    EXPECT_EQ(program.wait(5000ms), 0);
}

class VirtualModuleWire : public ::testing::Test {
  protected:
    void start(VirtualModuleConfig config = {}) {
        config.heartbeatMs = heartbeatMs;
        module = std::make_unique<VirtualModule>(config);
        std::string error;
        ASSERT_TRUE(module->start(&error)) << error;
        host = std::make_unique<RawHost>(module->port());
        ASSERT_TRUE(host->connected());
    }
    uint32_t heartbeatMs = 0;
    std::unique_ptr<VirtualModule> module;
    std::unique_ptr<RawHost> host;
};

TEST_F(VirtualModuleWire, SyncRequestsAreAnsweredTwoEmptyPacketsEach) {
    start();
    host->send({0xAD, 0, 0xAD, 0});
    EXPECT_EQ(host->receive(8, 1000ms), (Bytes{2, 0, 2, 0, 2, 0, 2, 0}));
    host->send({0xAF, 1, 1});
    EXPECT_TRUE(host->receive(1, 100ms).empty());
    EXPECT_EQ(module->stats().routingOn, 1u);
}

TEST_F(VirtualModuleWire, SystemQueries) {
    VirtualModuleConfig config;
    config.identity = {0x40F5849A, 0x0B, 6};
    start(config);
    host->send({6, 3, 3, 0x48, 0x20}); // model
    EXPECT_EQ(host->receive(6, 1000ms), (Bytes{6, 4, 3, 8, 0, 0x0B}));
    host->send({6, 3, 3, 0x49, 0x20}); // serial number, big-endian
    EXPECT_EQ(host->receive(9, 1000ms), (Bytes{6, 7, 3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));
    host->send({6, 3, 3, 0x41, 0x20}); // module address
    EXPECT_EQ(host->receive(6, 1000ms), (Bytes{6, 4, 3, 1, 0, 6}));
    EXPECT_EQ(module->stats().modelQueries, 1u);
}

// Bytes as the I2C entity defines them: requests 8, index, address (bit 0 asks for a read),
// length, speed, data; answers 8, index, address, count, status (bit 7: an error code), data.
TEST_F(VirtualModuleWire, RouterAnswersBusProbesAndPassesPacketsOn) {
    VirtualModuleConfig config;
    config.heartbeatMs = 0;
    config.identity = {0xD272031D, 19, 6};
    module = std::make_unique<VirtualModule>(config);
    ModuleNetwork network(*module, 6);
    BusModuleConfig bus;
    bus.identity = {0x2181F0EE, 19, 4};
    ASSERT_TRUE(network.attach(bus));
    network.install();
    ASSERT_TRUE(module->start());
    host = std::make_unique<RawHost>(module->port());
    host->send({6, 7, 8, 0, 4, 2, 3, 0, 0}); // write two bytes to bus address 4: acknowledged
    EXPECT_EQ(host->receive(7, 1000ms), (Bytes{6, 5, 8, 0, 4, 0, 0}));
    host->send({6, 7, 8, 0, 8, 2, 3, 0, 0}); // nothing at 8
    EXPECT_EQ(host->receive(7, 1000ms), (Bytes{6, 5, 8, 0, 8, 0, 0x80 | aErrNotFound}));
    host->send({6, 5, 8, 0, 5, 2, 3}); // read two bytes from 4
    EXPECT_EQ(host->receive(9, 1000ms), (Bytes{6, 7, 8, 0, 5, 2, 0, 0, 0}));
    host->send({4, 3, 3, 0x49, 0x20}); // serial number, answered by the module at 4 itself
    EXPECT_EQ(host->receive(9, 1000ms), (Bytes{4, 7, 3, 9, 0, 0x21, 0x81, 0xF0, 0xEE}));
    host->send({4, 3, 3, 0x42, 0x20}); // its router address
    EXPECT_EQ(host->receive(6, 1000ms), (Bytes{4, 4, 3, 2, 0, 6}));
    host->send({4, 3, 0x30, 0x41, 0x20}); // a command the module does not have
    EXPECT_EQ(host->receive(6, 1000ms), (Bytes{4, 4, 0x30, 1, 0x80, kInvalidEntity}));
    host->send({8, 3, 3, 0x49, 0x20}); // no module at 8: no answer
    EXPECT_TRUE(host->receive(1, 100ms).empty());
    EXPECT_EQ(network.probed(), (std::vector<uint8_t>{4, 8, 4}));
    EXPECT_EQ(network.forwarded(), 3u);
    module->stop(); // before the network goes
}

TEST_F(VirtualModuleWire, UnknownRequestsGetErrorReplies) {
    start();
    host->send({2, 3, 3, 0x7F, 0x20}); // get of an option the module lacks
    EXPECT_EQ(host->receive(6, 1000ms), (Bytes{2, 4, 3, 0x3F, 0x80, kInvalidOption}));
    host->send({2, 4, 3, 0x88, 0x20, 1}); // set: the error carries the acknowledgement form
    EXPECT_EQ(host->receive(6, 1000ms), (Bytes{2, 4, 3, 0xC8, 0x80, kInvalidOption}));
    host->send({2, 3, 3, 0x48, 0x21}); // index 1 of an entity that has only 0
    EXPECT_EQ(host->receive(6, 1000ms), (Bytes{2, 4, 3, 8, 0x81, kIndexRange}));
    host->send({2, 3, 0x30, 0x41, 0x20}); // a command the module does not have
    EXPECT_EQ(host->receive(6, 1000ms), (Bytes{2, 4, 0x30, 1, 0x80, kInvalidEntity}));
    host->send({2, 2, 73, 0xFF, 4, 1, 0}); // non-UEI commands go unanswered; to 4 as well
    EXPECT_TRUE(host->receive(1, 100ms).empty());
    EXPECT_EQ(module->stats().unhandledPackets, 2u);
}

TEST_F(VirtualModuleWire, NoiseIsSkippedUntilPacketsFitAgain) {
    start();
    // 0xFF cannot be a length: the parser steps over bytes until a packet fits.
    host->send({0xFF, 0xFF, 0xAD, 0});
    EXPECT_EQ(host->receive(2, 1000ms), (Bytes{2, 0}));
    EXPECT_EQ(module->stats().noiseBytes, 2u);
}

TEST_F(VirtualModuleWire, HeartbeatsExpectExactAnswers) {
    heartbeatMs = 30;
    start();
    EXPECT_EQ(host->receive(4, 1000ms), (Bytes{2, 2, 0, 0}));
    host->send({2, 2, 0, 2});
    EXPECT_EQ(host->receive(4, 1000ms), (Bytes{2, 2, 0, 0}));
    host->send({2, 2, 0, 3}); // the answer to a heartbeat down, not to this one
    EXPECT_EQ(host->receive(4, 1000ms), (Bytes{2, 2, 0, 0}));
    const auto stats = module->stats();
    EXPECT_EQ(stats.heartbeatAnswers, 1u);
    EXPECT_EQ(stats.badHeartbeatAnswers, 1u);
    EXPECT_GE(stats.missedHeartbeats, 1u);

    // A module going away says so.
    module->stop();
    Bytes rest = host->receive(64, 1000ms);
    ASSERT_GE(rest.size(), 4u);
    EXPECT_EQ(Bytes(rest.end() - 4, rest.end()), (Bytes{2, 2, 0, 1}));
}

TEST_F(VirtualModuleWire, LatencyDelaysEveryPacket) {
    VirtualModuleConfig config;
    config.latencyUs = 50000;
    start(config);
    const auto sent = std::chrono::steady_clock::now();
    host->send({0xAD, 0});
    EXPECT_EQ(host->receive(2, 1000ms), (Bytes{2, 0}));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 45ms);
}

TEST_F(VirtualModuleWire, MuteAnswersNothing) {
    VirtualModuleConfig config;
    config.faults.mute = true;
    heartbeatMs = 10;
    start(config);
    host->send({0xAD, 0, 2, 3, 3, 0x48, 0x20});
    EXPECT_TRUE(host->receive(1, 200ms).empty());
    EXPECT_EQ(module->stats().packetsReceived, 2u);
    EXPECT_EQ(module->stats().heartbeatsSent, 0u);
}

TEST_F(VirtualModuleWire, GarbageReplacesAnswersWithRandomBytes) {
    VirtualModuleConfig config;
    config.faults.garbage = true;
    start(config);
    Bytes answers;
    for (int i = 0; i < 20; ++i) {
        host->send({0xAD, 0});
        const Bytes got = host->receive(1, 1000ms);
        ASSERT_FALSE(got.empty());
        answers.insert(answers.end(), got.begin(), got.end());
    }
    // Twenty plain answers would be 2, 0 twenty times over.
    Bytes plain;
    for (int i = 0; i < 20; ++i)
        plain.insert(plain.end(), {2, 0});
    answers.resize(std::min(answers.size(), plain.size()));
    EXPECT_NE(answers, plain);
}

TEST_F(VirtualModuleWire, DropAfterResetsTheConnectionAndServesTheNextOne) {
    VirtualModuleConfig config;
    config.faults.dropAfter = 2;
    start(config);
    host->send({0xAD, 0});
    EXPECT_EQ(host->receive(4, 1000ms), (Bytes{2, 0, 2, 0}));
    host->send({0xAF, 1, 1});
    host->receive(1, 1000ms);
    EXPECT_EQ(host->closedBy(), "error"); // a reset, as of a module that rebooted
    EXPECT_EQ(module->stats().droppedConnections, 1u);

    RawHost again(module->port());
    ASSERT_TRUE(again.connected());
    again.send({0xAD, 0});
    EXPECT_EQ(again.receive(2, 1000ms), (Bytes{2, 0}));
}

TEST_F(VirtualModuleWire, HostFarAheadOfADelayedModuleIsCutOffAndOthersAreStillServed) {
    VirtualModuleConfig config;
    config.latencyUs = 10000000; // nothing answered falls due during the test
    start(config);
    // Seventy thousand requests, each drawing an answer that has to wait out the latency.
    Bytes flood;
    for (int i = 0; i < 70000; ++i)
        flood.insert(flood.end(), {0xAD, 0});
    size_t sent = 0;
    while (sent < flood.size()) {
        const ssize_t n = ::send(host->fd(), flood.data() + sent,
                                 std::min<size_t>(flood.size() - sent, 8192), MSG_NOSIGNAL);
        if (n <= 0)
            break; // cut off already
        sent += static_cast<size_t>(n);
    }
    host->receive(1, 3000ms);
    EXPECT_FALSE(host->closedBy().empty()) << "the module kept queueing answers";
    EXPECT_LT(module->stats().syncRequests, 70000u);

    RawHost other(module->port());
    ASSERT_TRUE(other.connected());
    other.send({0xAF, 1, 1});
    EXPECT_TRUE(waitUntil([&] { return module->stats().routingOn == 1; }, 2000ms));
}

TEST(VirtualModule, RefusesAnOddAddressAndABusyPort) {
    VirtualModuleConfig odd;
    odd.identity.address = 3;
    std::string error;
    EXPECT_FALSE(VirtualModule(odd).start(&error));
    EXPECT_NE(error.find("even"), std::string::npos);

    VirtualModule first;
    ASSERT_TRUE(first.start());
    VirtualModuleConfig same;
    same.port = first.port();
    EXPECT_FALSE(VirtualModule(same).start(&error));
    EXPECT_NE(error.find("cannot listen"), std::string::npos);
}

} // namespace
