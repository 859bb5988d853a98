// Sharing servers found by their beacons, inside a private network namespace made for each
// test: a second process finds a server as an aEther module at 127.0.0.1 and is served beside
// the first, and local-mode discovery ignores another host's server.
#include "aServer_Internal.h"
#include "corvane/aDiscovery.h"
#include "corvane/aLink.h"
#include "corvane/aServer.h"

#include "LinkTestSupport.h"
#include "NetworkNamespace.h"
#include "SpawnedProgram.h"
#include "VirtualModule.h"
#include "WirePeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Corvane::Tools::VirtualModule;
using Corvane::Tools::VirtualModuleConfig;
using testsupport::WirePeer;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr uint32_t kSerial = 0x1A2B3C4D;
constexpr char kPeerPort[] = "CORVANE_TEST_PEER_PORT";
constexpr char kPeerIndex[] = "CORVANE_TEST_PEER_INDEX";

std::string self() {
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

struct Found {
    std::vector<linkSpec> specs;
    static bool collect(const linkSpec* spec, bool* found, void* reference) {
        static_cast<Found*>(reference)->specs.push_back(*spec);
        *found = true;
        return true;
    }
};

// A virtual module served by a local-only sharing server over an engine link.
struct ServedModule {
    ServedModule() {
        VirtualModuleConfig config;
        config.heartbeatMs = 0;
        config.identity.serialNumber = kSerial;
        module = std::make_unique<VirtualModule>(config);
        std::string error;
        EXPECT_TRUE(module->start(&error)) << error;
        link.reset(aLink_CreateTCPIP(kLoopback, module->port()));
        server = aServer_Create(link.get(), 0, true);
        EXPECT_TRUE(server != nullptr && aServer_Start(server));
        aServer_SetModule(server, kSerial, 0x13);
    }
    ~ServedModule() { aServer_Destroy(&server); }
    std::unique_ptr<VirtualModule> module;
    LinkOwner link;
    aServer* server = nullptr;
};

TEST(SharingDiscovery, SecondProcessFindsTheServerAndBothAreServed) {
    if (!testsupport::enterNetworkNamespace())
        return;
    // The module appears on USB through emulation; this process opens it and serves it.
    VirtualModuleConfig config;
    config.heartbeatMs = 0;
    config.identity.serialNumber = kSerial;
    VirtualModule module(config);
    std::string error;
    ASSERT_TRUE(module.start(&error)) << error;
    char emulation[64];
    std::snprintf(emulation, sizeof emulation, "%08X:13@127.0.0.1:%u", kSerial, module.port());
    setenv("CORVANE_USB_EMULATION", emulation, 1);
    uint16_t port = 0;
    uint32_t address = 0;
    LinkOwner mine(aLink_CreateServer(kSerial, &port, &address, true));
    ASSERT_NE(mine.get(), 0u);
    EXPECT_EQ(address, kLoopback);
    EXPECT_EQ(aLink_CreateUSB(kSerial), 0u) << "a shared module is reached through its server";
    {
        uint16_t againPort = 0;
        uint32_t againAddress = 0;
        LinkOwner again(aLink_CreateServer(kSerial, &againPort, &againAddress, true));
        ASSERT_NE(again.get(), 0u) << "serving it a second time reaches the first server";
        EXPECT_NE(again.get(), mine.get());
        EXPECT_EQ(againPort, port);
        uint8_t model = 0;
        EXPECT_EQ(aLink_GetModel(again.get(), 2, &model), aErrNone);
    }

    // Callers that serve it at the same moment all reach the one server.
    {
        std::vector<std::thread> callers;
        std::vector<aLinkRef> clients(4, 0);
        std::vector<uint16_t> ports(clients.size(), 0);
        mine.reset(); // no server now: each caller may be the one to start it
        for (size_t i = 0; i < clients.size(); ++i)
            callers.emplace_back([&, i] {
                uint32_t at = 0;
                clients[i] = aLink_CreateServer(kSerial, &ports[i], &at, true);
            });
        for (std::thread& caller : callers)
            caller.join();
        for (size_t i = 0; i < clients.size(); ++i) {
            ASSERT_NE(clients[i], 0u) << i;
            EXPECT_EQ(ports[i], ports[0]);
            uint8_t model = 0;
            EXPECT_EQ(aLink_GetModel(clients[i], 2, &model), aErrNone);
        }
        mine.reset(clients[0]);
        port = ports[0];
        for (size_t i = 1; i < clients.size(); ++i)
            aLink_Destroy(&clients[i]);
    }

    setenv(kPeerPort, std::to_string(port).c_str(), 1);
    SpawnedProgram peer({self(), "--gtest_also_run_disabled_tests",
                         "--gtest_filter=SharingDiscovery.DISABLED_PeerProcess"});
    unsetenv(kPeerPort);
    // Served while the other process is.
    int answered = 0;
    for (int i = 0; i < 20; ++i) {
        uint8_t model = 0;
        answered += aLink_GetModel(mine.get(), 2, &model) == aErrNone && model == 0x13;
    }
    EXPECT_EQ(answered, 20);
    EXPECT_EQ(peer.wait(60s), 0) << peer.output() << peer.errors();

    // The client link's last use takes the USB link and its server with it.
    mine.reset();
    LinkOwner plain(aLink_CreateUSB(kSerial));
    EXPECT_NE(plain.get(), 0u);
    plain.reset();
    unsetenv("CORVANE_USB_EMULATION");
}

// The second process of the test above: it knows only the server's port, to check the answer.
TEST(SharingDiscovery, DISABLED_PeerProcess) {
    const char* port = std::getenv(kPeerPort);
    ASSERT_NE(port, nullptr);
    linkSpec* found = aDiscovery_FindModule(AETHER, kSerial, 0);
    ASSERT_NE(found, nullptr);
    const linkSpec spec = *found;
    aLinkSpec_Destroy(&found);
    EXPECT_EQ(spec.type, 4u);
    EXPECT_EQ(spec.serialNumber, kSerial);
    EXPECT_EQ(spec.model, 0x13u);
    EXPECT_EQ(spec.ipAddress, kLoopback);
    EXPECT_EQ(spec.port, static_cast<uint32_t>(std::atoi(port)));
    LinkOwner client(aLink_CreateClient(spec.ipAddress, static_cast<uint16_t>(spec.port), 0));
    ASSERT_NE(client.get(), 0u);
    int answered = 0;
    for (int i = 0; i < 20; ++i) {
        uint8_t model = 0, address = 0;
        answered += aLink_GetModuleAddress(client.get(), &address) == aErrNone && address == 2 &&
                    aLink_GetModel(client.get(), 2, &model) == aErrNone && model == 0x13;
    }
    EXPECT_EQ(answered, 20);
}

// Broadcasts a server answer as another host on the veth pair would, every 100 ms.
class ForeignServer {
  public:
    ForeignServer(const char* from, const char* to) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        to_.sin_family = AF_INET;
        to_.sin_port = htons(8585);
        inet_pton(AF_INET, to, &to_.sin_addr);
        aServer_BeaconAnswer(0x0F0F0F0F, 0x13, local.sin_addr.s_addr, 4000, answer_);
        thread_ = std::thread([this] {
            while (!stop_) {
                sendto(fd_, answer_, sizeof answer_, 0, reinterpret_cast<sockaddr*>(&to_),
                       sizeof to_);
                std::this_thread::sleep_for(100ms);
            }
        });
    }
    ~ForeignServer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    bool ok() const { return ok_; }

  private:
    int fd_ = -1;
    bool ok_ = false;
    sockaddr_in to_{};
    uint8_t answer_[128];
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(SharingDiscovery, LocalModeIgnoresAnotherHostsServer) {
    if (!testsupport::enterNetworkNamespace())
        return;
    ASSERT_EQ(std::system("ip addr add 10.9.0.2/24 dev v1"), 0);
    ServedModule served;
    ForeignServer foreign("10.9.0.2", "10.9.0.255");
    ASSERT_TRUE(foreign.ok());

    // The foreign answers reach this host's beacon port...
    const int listener = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(listener, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(8585);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    timeval wait{2, 0};
    setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    uint8_t heard[256];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    ASSERT_EQ(
        recvfrom(listener, heard, sizeof heard, 0, reinterpret_cast<sockaddr*>(&sender), &length),
        128);
    close(listener);

    // ...and only this host's server is reported.
    Found found;
    EXPECT_EQ(aDiscovery_Enumerate_aEtherModules(Found::collect, &found, 0), 1u);
    ASSERT_EQ(found.specs.size(), 1u);
    EXPECT_EQ(found.specs[0].serialNumber, kSerial);
    EXPECT_EQ(found.specs[0].ipAddress, kLoopback);
}

// Datagrams on the beacon port that are no server's answer, until told.
class BeaconJunk {
  public:
    BeaconJunk() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(8585);
        to.sin_addr.s_addr = htonl(0x7FFFFFFF); // the loopback network's broadcast
        uint8_t wrongType[128] = {};
        aServer_BeaconAnswer(0x0BADBAD0, 0x13, kLoopback, 4000, wrongType);
        wrongType[0] = 3; // a serial link, with a port name past the port
        std::memcpy(wrongType + 28, "/dev/ttyS0", 10);
        uint8_t noPort[128] = {};
        aServer_BeaconAnswer(0x0BADBAD1, 0x13, kLoopback, 0, noPort);
        const std::vector<std::vector<uint8_t>> junk{
            {1, 2, 3},
            std::vector<uint8_t>(wrongType, wrongType + 128),
            std::vector<uint8_t>(noPort, noPort + 128),
            std::vector<uint8_t>(127, 4)};
        // Two thousand a second: far more than the answers a listener hears meanwhile, and no
        // more than its socket takes in, so what is lost is lost to the listener, not the kernel.
        thread_ = std::thread([this, junk, to] {
            for (int sent = 0; !stop_ && sent < 20000; ++sent) {
                sendto(fd_, junk[sent % junk.size()].data(), junk[sent % junk.size()].size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
                std::this_thread::sleep_for(500us);
            }
        });
    }
    ~BeaconJunk() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }

  private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(SharingDiscovery, OnlyServerAnswersAreTakenAndJunkHidesNone) {
    if (!testsupport::enterNetworkNamespace())
        return;
    ServedModule served;
    BeaconJunk junk;
    Found found;
    EXPECT_EQ(aDiscovery_Enumerate_aEtherModules(Found::collect, &found, 0), 1u);
    ASSERT_EQ(found.specs.size(), 1u);
    EXPECT_EQ(found.specs[0].serialNumber, kSerial);
    EXPECT_EQ(found.specs[0].type, uint32_t{AETHER});
}

TEST(SharingDiscovery, AServerWithoutABeaconSaysSo) {
    if (!testsupport::enterNetworkNamespace())
        return;
    // The beacon port held by a socket that shares it with no one.
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(8585);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    auto deaf = std::make_unique<ServedModule>();
    EXPECT_FALSE(aServer_IsDiscoverable(deaf->server));
    LinkOwner client(aLink_CreateClient(kLoopback, aServer_GetPort(deaf->server), 0));
    uint8_t model = 0;
    EXPECT_EQ(aLink_GetModel(client.get(), 2, &model), aErrNone) << "it serves all the same";
    client.reset();
    deaf.reset();
    close(holder);

    ServedModule served;
    EXPECT_TRUE(aServer_IsDiscoverable(served.server));
    aServer_SetModule(served.server, kSerial, 0);
    EXPECT_FALSE(aServer_IsDiscoverable(served.server)) << "no model to announce";
    EXPECT_FALSE(aServer_IsDiscoverable(nullptr));
}

// Two processes share a module that answers the address request in two packets, as modules do:
// each asks in turn for the address, the model and values only it asks for, and every answer
// is checked against what was asked.
TEST(SharingDiscovery, TwoProcessesInterleaveOnAModuleThatAnswersInTwoPackets) {
    if (!testsupport::enterNetworkNamespace())
        return;
    WirePeer peer;
    char emulation[64];
    std::snprintf(emulation, sizeof emulation, "%08X:13@127.0.0.1:%u", kSerial,
                  unsigned{peer.port()});
    setenv("CORVANE_USB_EMULATION", emulation, 1);
    uint16_t port = 0;
    uint32_t address = 0;
    LinkOwner mine(aLink_CreateServer(kSerial, &port, &address, true));
    unsetenv("CORVANE_USB_EMULATION");
    ASSERT_NE(mine.get(), 0u) << "the module's address and model are learnt through the server";

    std::vector<std::unique_ptr<SpawnedProgram>> others;
    for (const char* index : {"2", "3"}) {
        setenv(kPeerIndex, index, 1);
        others.push_back(std::make_unique<SpawnedProgram>(std::vector<std::string>{
            self(), "--gtest_also_run_disabled_tests",
            "--gtest_filter=SharingDiscovery.DISABLED_InterleavingProcess"}));
    }
    unsetenv(kPeerIndex);
    // This process asks on for as long as the others do.
    int wrong = 0;
    std::vector<int> status(others.size(), -1);
    auto running = [&] { return std::count(status.begin(), status.end(), -1) > 0; };
    for (int pass = 0; pass < 50 && running(); ++pass) {
        wrong += testsupport::askRounds(mine.get(), 1);
        for (std::size_t i = 0; i < others.size(); ++i)
            if (status[i] < 0)
                status[i] = others[i]->wait(0s);
    }
    EXPECT_EQ(wrong, 0);
    for (std::size_t i = 0; i < others.size(); ++i) {
        if (status[i] < 0)
            status[i] = others[i]->wait(60s);
        EXPECT_EQ(status[i], 0) << others[i]->output() << others[i]->errors();
    }
}

// The other processes of the test above.
TEST(SharingDiscovery, DISABLED_InterleavingProcess) {
    const char* index = std::getenv(kPeerIndex);
    ASSERT_NE(index, nullptr);
    linkSpec* found = aDiscovery_FindModule(AETHER, kSerial, 0);
    ASSERT_NE(found, nullptr);
    LinkOwner client(aLink_CreateClient(found->ipAddress, static_cast<uint16_t>(found->port), 0));
    aLinkSpec_Destroy(&found);
    ASSERT_NE(client.get(), 0u);
    EXPECT_EQ(testsupport::askRounds(client.get(), static_cast<uint8_t>(std::atoi(index))), 0);
}

} // namespace

namespace {

// A process that ends with a shared link still open ends cleanly: its links, server and client
// streams stop before CZMQ ends its context.
TEST(SharingExit, ProcessWithASharedLinkOpenEndsCleanly) {
    // What it leaves open is not freed, by design; a leak check would only report that.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string saved = asan ? asan : "";
    setenv("ASAN_OPTIONS", (saved.empty() ? "" : saved + ":").append("detect_leaks=0").c_str(), 1);
    SpawnedProgram process({self(), "--gtest_also_run_disabled_tests",
                            "--gtest_filter=SharingExit.DISABLED_LeavesASharedLinkOpen"});
    if (asan)
        setenv("ASAN_OPTIONS", saved.c_str(), 1);
    else
        unsetenv("ASAN_OPTIONS");
    EXPECT_EQ(process.wait(60s), 0) << process.output() << process.errors();
    EXPECT_EQ(process.errors().find("dangling"), std::string::npos) << process.errors();
}

// Run by the test above as its own process.
TEST(SharingExit, DISABLED_LeavesASharedLinkOpen) {
    VirtualModuleConfig config;
    config.heartbeatMs = 0;
    auto* module = new VirtualModule(config); // left running, as everything here
    ASSERT_TRUE(module->start());
    const aLinkRef served = aLink_CreateTCPIP(kLoopback, module->port());
    aServer* server = aServer_Create(served, 0, true);
    ASSERT_TRUE(server != nullptr && aServer_Start(server));
    const aLinkRef client = aLink_CreateClient(kLoopback, aServer_GetPort(server), 0);
    uint8_t model = 0;
    ASSERT_EQ(aLink_GetModel(client, 2, &model), aErrNone);
}

} // namespace
