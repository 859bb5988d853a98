// Engine links against the virtual module over loopback TCP: start and routing, queries,
// synchronisation, heartbeats, shared links, pooled traffic and the module's fault switches.
#include "aLinkInternal.h"
#include "corvane/aLink.h"

#include "LinkTestSupport.h"
#include "NetworkNamespace.h"
#include "PacketTestSupport.h"
#include "SpawnedProgram.h"
#include "VirtualModule.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Corvane::Tools::FaultSettings;
using Corvane::Tools::VirtualModule;
using Corvane::Tools::VirtualModuleConfig;
using Corvane::Tools::WirePacket;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

VirtualModuleConfig quietModule() {
    VirtualModuleConfig config;
    config.heartbeatMs = 0;
    return config;
}

// Starts a virtual module in this process on an ephemeral loopback port.
std::unique_ptr<VirtualModule> startModule(VirtualModuleConfig config = quietModule()) {
    auto module = std::make_unique<VirtualModule>(config);
    std::string error;
    EXPECT_TRUE(module->start(&error)) << error;
    return module;
}

bool matchAll(const aPacket*, void*) {
    return true;
}

// Milliseconds a call took.
template <class F> long long timed(F&& call) {
    const auto started = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 started)
        .count();
}

TEST(LinkWithVirtualModule, StartsRoutesAndAnswersQueries) {
    // The surplus synchronisation answers must all be in before the drain, however busy the
    // machine: a settle time far beyond a loopback round trip.
    ScopedLinkTiming timing([](aLinkTiming& t) { t.syncSettleMs = 1000; });
    auto module = startModule();
    LinkOwner link(aLink_CreateTCPIP(kLoopback, module->port()));
    ASSERT_NE(link.get(), 0u);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
    EXPECT_TRUE(waitUntil([&] { return module->stats().routingOn == 1; }, 1000ms));

    uint8_t model = 0, address = 0;
    EXPECT_EQ(aLink_GetModel(link.get(), 2, &model), aErrNone);
    EXPECT_EQ(model, 0x13);
    EXPECT_EQ(aLink_GetModuleAddress(link.get(), &address), aErrNone);
    EXPECT_EQ(address, 2);

    // Synchronisation: six requests, in step after two answers, the surplus drained.
    EXPECT_EQ(aLink_Sync(link.get()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
    EXPECT_EQ(aLink_GetPacket(link.get()), nullptr);
    // The module counts on its own thread, which a busy machine may not have run yet.
    EXPECT_TRUE(waitUntil([&] { return module->stats().syncRequests >= 7u; }, 5000ms));
    EXPECT_EQ(aLink_GetModel(link.get(), 2, &model), aErrNone);

    link.reset();
    EXPECT_TRUE(waitUntil([&] { return module->stats().routingOff == 1; }, 1000ms));
}

TEST(LinkWithVirtualModule, UsbLinkComesIntoStepWithoutWaitingOutARead) {
    // An emulated USB read waits up to a second for a byte; synchronisation must not wait for
    // such a read to run out before its requests go out.
    ScopedLinkTiming timing([](aLinkTiming& t) { t.syncWaitMs = 800; });
    auto module = startModule();
    const std::string entry = "1A2B3C4D:13@127.0.0.1:" + std::to_string(module->port());
    setenv("CORVANE_USB_EMULATION", entry.c_str(), 1);
    LinkOwner link(aLink_CreateUSB(0x1A2B3C4D));
    unsetenv("CORVANE_USB_EMULATION");
    ASSERT_NE(link.get(), 0u);
    uint8_t address = 0;
    EXPECT_EQ(aLink_GetModuleAddress(link.get(), &address), aErrNone);
    EXPECT_EQ(address, 2);
}

TEST(LinkWithVirtualModule, HeartbeatsAreAnsweredAndKeptOutOfTheFifo) {
    VirtualModuleConfig config;
    config.heartbeatMs = 20;
    auto module = startModule(config);
    LinkOwner link(aLink_CreateTCPIP(kLoopback, module->port()));
    ASSERT_NE(link.get(), 0u);
    EXPECT_TRUE(waitUntil([&] { return module->stats().heartbeatAnswers >= 5; }, 2000ms));
    const auto stats = module->stats();
    EXPECT_EQ(stats.badHeartbeatAnswers, 0u);
    EXPECT_EQ(aLink_GetPacket(link.get()), nullptr);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
}

TEST(LinkWithVirtualModule, SameEndpointSharesOneLinkAnotherPortDoesNot) {
    auto first = startModule();
    auto second = startModule();
    aLinkRef a = aLink_CreateTCPIP(kLoopback, first->port());
    aLinkRef b = aLink_CreateTCPIP(kLoopback, first->port());
    LinkOwner other(aLink_CreateTCPIP(kLoopback, second->port()));
    ASSERT_NE(a, 0u);
    EXPECT_EQ(b, a);
    EXPECT_NE(other.get(), a);
    // The module accepts on its own thread; one connection is all it ever gets.
    EXPECT_TRUE(waitUntil([&] { return first->stats().connections == 1; }, 1000ms));

    const aLinkRef id = a;
    EXPECT_EQ(aLink_Destroy(&a), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    uint8_t model = 0;
    EXPECT_EQ(aLink_GetModel(id, 2, &model), aErrNone);
    EXPECT_EQ(aLink_Destroy(&b), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_INVALID);
    EXPECT_TRUE(waitUntil([&] { return first->stats().routingOff == 1; }, 1000ms));
}

// True while a TCP connection from this network namespace to address (network order) and port
// waits for its handshake.
bool connecting(uint32_t address, uint16_t port) {
    char remote[16];
    std::snprintf(remote, sizeof remote, "%08X:%04X", address, port);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, peer, state;
        if (fields >> slot >> local >> peer >> state && peer == remote && state == "02")
            return true; // SYN_SENT
    }
    return false;
}

TEST(LinkCreation, OneUnreachableModuleStallsNoOtherCreation) {
    // Inside a namespace, so the unreachable address is a silent host on a private subnet.
    if (!testsupport::enterNetworkNamespace())
        return;
    auto module = startModule();
    std::atomic<bool> unreachableDone{false};
    const uint32_t silentHost = inet_addr("10.9.0.77"); // nobody answers its ARP
    std::thread unreachable([&] {
        EXPECT_EQ(aLink_CreateTCPIP(silentHost, 4000), 0u);
        unreachableDone = true;
    });
    // The slow creation is inside its connect, which waits three seconds for the host, before
    // the others start.
    ASSERT_TRUE(waitUntil([&] { return connecting(silentHost, 4000) || unreachableDone; }, 30s));
    ASSERT_FALSE(unreachableDone.load()) << "the connect ended before it was seen under way";
    // Two requests for the same module at once share one link and one connection.
    aLinkRef shared = 0;
    std::thread twin([&] { shared = aLink_CreateTCPIP(kLoopback, module->port()); });
    LinkOwner link(aLink_CreateTCPIP(kLoopback, module->port()));
    twin.join();
    EXPECT_FALSE(unreachableDone.load()) << "a creation waited for the unreachable module";
    ASSERT_NE(link.get(), 0u);
    EXPECT_EQ(shared, link.get()); // one entry, so one stream
    EXPECT_TRUE(waitUntil([&] { return module->stats().connections == 1; }, 1000ms));
    aLink_Destroy(&shared);
    unreachable.join();
}

// Packets put by several threads at once, singly or in runs, some written by their caller and
// some queued for the writer (or all pooled into batches), arrive whole, once each, and in each
// thread's order.
TEST(LinkWithVirtualModule, PacketsArriveWholeAndInOrder) {
    struct Case {
        bool pooled;
        int threads;
        int run; // packets per put; 1 puts them one by one
    };
    for (const Case c : {Case{true, 1, 1}, Case{false, 3, 1}, Case{false, 3, 7}}) {
        SCOPED_TRACE(std::string(c.pooled ? "pooled" : "callers and writer") + ", runs of " +
                     std::to_string(c.run));
        std::mutex mutex;
        std::vector<WirePacket> seen; // guarded by mutex
        auto module = std::make_unique<VirtualModule>(quietModule());
        module->setPacketObserver([&](const WirePacket& p) {
            if (p.address == 2 && p.length == 28 && p.data[0] == 0x77) {
                std::lock_guard<std::mutex> lock(mutex);
                seen.push_back(p);
            }
        });
        ASSERT_TRUE(module->start());
        LinkOwner link(aLink_CreateTCPIP(kLoopback, module->port()));
        ASSERT_NE(link.get(), 0u);
        ASSERT_EQ(aLink_EnablePooledPackets(link.get(), c.pooled), aErrNone);

        // Below the outgoing FIFO's 1000-packet discard rule, however slow the writer.
        constexpr int kCount = 301;
        std::atomic<int> failedPuts{0};
        std::vector<std::thread> putters;
        for (int t = 0; t < c.threads; ++t)
            putters.emplace_back([&, t] {
                std::vector<aPacket> run;
                for (int i = 0; i < kCount; ++i) {
                    uint8_t data[28] = {0x77, static_cast<uint8_t>(t), 0};
                    data[3] = static_cast<uint8_t>(i >> 8);
                    data[4] = static_cast<uint8_t>(i);
                    data[27] = 0xEE;
                    PacketPtr packet(aPacket_CreateWithData(2, 28, data));
                    if (c.run == 1) {
                        if (aLink_PutPacket(link.get(), packet.get()) != aErrNone)
                            ++failedPuts;
                        continue;
                    }
                    run.push_back(*packet);
                    if (run.size() == static_cast<size_t>(c.run) || i == kCount - 1) {
                        if (aLink_PutPackets(link.get(), run.data(), run.size(), 1000) != aErrNone)
                            ++failedPuts;
                        run.clear();
                    }
                }
            });
        for (std::thread& putter : putters)
            putter.join();
        ASSERT_EQ(failedPuts.load(), 0);
        const size_t total = static_cast<size_t>(kCount * c.threads);
        ASSERT_TRUE(waitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                return seen.size() >= total;
            },
            3000ms));
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(seen.size(), total);
        std::vector<int> next(static_cast<size_t>(c.threads), 0);
        for (const WirePacket& p : seen) {
            ASSERT_LT(p.data[1], c.threads);
            ASSERT_EQ((p.data[3] << 8) | p.data[4], next[p.data[1]]++);
            ASSERT_EQ(p.data[27], 0xEE);
        }
        EXPECT_EQ(module->stats().noiseBytes, 0u);
    }
}

TEST(LinkWithVirtualModuleFaults, MuteModuleTimesOutCalmly) {
    auto module = startModule();
    module->setFaults(FaultSettings{0, false, true});
    LinkOwner link(aLink_CreateTCPIP(kLoopback, module->port()));
    ASSERT_NE(link.get(), 0u);
    uint8_t model = 0, address = 0;
    aErr result = aErrNone;
    const long long took = timed([&] { result = aLink_GetModel(link.get(), 2, &model); });
    EXPECT_EQ(result, aErrTimeout);
    EXPECT_GE(took, 1000); // the whole reply wait, and not forever
    EXPECT_LT(took, 30000);
    EXPECT_EQ(aLink_GetModuleAddress(link.get(), &address), aErrTimeout);
    EXPECT_EQ(aLink_Sync(link.get()), aErrNotReady);
    EXPECT_LT(timed([&] { link.reset(); }), 30000);
}

TEST(LinkWithVirtualModuleFaults, GarbageThrowsTheLinkOutOfStepUntilItStops) {
    auto module = startModule();
    LinkOwner link(aLink_CreateTCPIP(kLoopback, module->port()));
    ASSERT_NE(link.get(), 0u);
    module->setFaults(FaultSettings{0, true, false});

    // Every answer is noise: each query ends within its second, none succeeds.
    for (int i = 0; i < 5; ++i) {
        uint8_t model = 0;
        aErr result = aErrNone;
        EXPECT_LT(timed([&] { result = aLink_GetModel(link.get(), 2, &model); }), 30000);
        EXPECT_NE(result, aErrNone);
    }
    EXPECT_TRUE(linkReaches(link.get(), LINK_SYNCING, 2000ms));
    // The line is noisy, not flooded: requests go out at a measured pace.
    EXPECT_LT(module->stats().syncRequests, 1000u);

    // Quiet again: the link finds its way back in step by itself.
    module->setFaults(FaultSettings{});
    ASSERT_TRUE(linkReaches(link.get(), LINK_RUNNING, 3000ms));
    // Surplus synchronisation answers may still come: the model's answer is the one to wait for.
    uint8_t model = 0;
    aErr result = aErrTimeout;
    for (int attempt = 0; attempt < 10 && result != aErrNone; ++attempt) {
        aLink_DrainPackets(link.get(), matchAll, nullptr);
        result = aLink_GetModel(link.get(), 2, &model);
    }
    EXPECT_EQ(result, aErrNone);
    EXPECT_EQ(model, 0x13);
}

TEST(LinkWithVirtualModuleFaults, DroppedConnectionIsSurvivedAndResetRestoresIt) {
    auto module = startModule();
    module->setFaults(FaultSettings{3, false, false}); // routing on, then two more packets
    LinkOwner link(aLink_CreateTCPIP(kLoopback, module->port()));
    ASSERT_NE(link.get(), 0u);
    uint8_t model = 0;
    EXPECT_EQ(aLink_GetModel(link.get(), 2, &model), aErrNone);
    aLink_GetModel(link.get(), 2, &model); // the third packet: the module resets the line
    ASSERT_TRUE(waitUntil([&] { return module->stats().droppedConnections >= 1; }, 1000ms));

    module->setFaults(FaultSettings{});
    EXPECT_EQ(aLink_Reset(link.get()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
    aLink_DrainPackets(link.get(), matchAll, nullptr);
    EXPECT_EQ(aLink_GetModel(link.get(), 2, &model), aErrNone);
    EXPECT_EQ(model, 0x13);
    EXPECT_GE(module->stats().connections, 2u);
}

TEST(LinkWithVirtualModuleFaults, ModuleThatGoesAwayLeavesALinkThatStopsInTime) {
    auto module = startModule();
    LinkOwner link(aLink_CreateTCPIP(kLoopback, module->port()));
    ASSERT_NE(link.get(), 0u);
    module->stop();
    uint8_t model = 0;
    EXPECT_NE(aLink_GetModel(link.get(), 2, &model), aErrNone);
    // Nobody listens any more: a reset gives up after its attempts instead of hanging.
    aErr result = aErrNone;
    EXPECT_LT(timed([&] { result = aLink_Reset(link.get()); }), 30000);
    EXPECT_NE(result, aErrNone);
    EXPECT_LT(timed([&] { link.reset(); }), 30000);
}

// An idle reader watches its stream for a long time; stop and synchronisation must not wait
// that out (nor stop give up on the thread). Watches far longer than the bounds make a reader
// that cannot be called away fail here rather than merely slow down.
TEST(LinkWithVirtualModule, IdleLinkIsCalledAwayFromItsWatch) {
    ScopedLinkTiming timing([](aLinkTiming& t) {
        t.idleWatchMs = 600000;
        t.threadEndWaitMs = 120000;
        t.syncWaitMs = 60000;
    });
    auto module = startModule();
    for (const bool syncFirst : {false, true}) {
        SCOPED_TRACE(syncFirst ? "synchronised, then stopped" : "stopped");
        LinkOwner link(aLink_CreateTCPIP(kLoopback, module->port()));
        ASSERT_NE(link.get(), 0u);
        uint8_t model = 0;
        ASSERT_EQ(aLink_GetModel(link.get(), 2, &model), aErrNone); // the reader idles after
        if (syncFirst) {
            // Mute until the first requests are in: only the reader's resends bring answers.
            module->setFaults(FaultSettings{0, false, true});
            const uint64_t before = module->stats().syncRequests;
            std::thread unmute([&] {
                waitUntil([&] { return module->stats().syncRequests >= before + 6; }, 60s);
                module->setFaults(FaultSettings{});
            });
            EXPECT_EQ(aLink_Sync(link.get()), aErrNone);
            unmute.join();
        }
        EXPECT_LT(timed([&] { EXPECT_EQ(aLink_Stop(link.get()), aErrNone); }), 30000);
        EXPECT_EQ(aLink_Start(link.get()), aErrNone); // a thread left behind would refuse it
        EXPECT_EQ(aLink_GetModel(link.get(), 2, &model), aErrNone);
    }
}

// A caller's exchange on an idle link mutes the socket in the reader's watch, and exchanges that
// follow one another call the reader away from it. Either way the reader must take up what the
// module sends on its own once they are done: with a watch of ten minutes, heartbeats that go
// unanswered after an exchange show a stream left muted.
TEST(LinkWithVirtualModule, ReaderTakesUpHeartbeatsAgainAfterExchanges) {
    ScopedLinkTiming timing([](aLinkTiming& t) { t.idleWatchMs = 600000; });
    VirtualModuleConfig config;
    config.heartbeatMs = 50;
    auto module = startModule(config);
    LinkOwner link(aLink_CreateTCPIP(kLoopback, module->port()));
    ASSERT_NE(link.get(), 0u);
    for (const int exchanges : {1, 1, 5}) {
        SCOPED_TRACE(testing::Message() << exchanges << " exchanges");
        // Heartbeats answered since the last exchanges leave the reader watching the idle link.
        const uint64_t before = module->stats().heartbeatAnswers;
        ASSERT_TRUE(waitUntil([&] { return module->stats().heartbeatAnswers >= before + 2; },
                              10000ms));
        for (int i = 0; i < exchanges; ++i) {
            uint8_t model = 0;
            ASSERT_EQ(aLink_GetModel(link.get(), 2, &model), aErrNone);
        }
        const uint64_t after = module->stats().heartbeatAnswers;
        EXPECT_TRUE(waitUntil([&] { return module->stats().heartbeatAnswers >= after + 3; },
                              10000ms));
    }
    EXPECT_EQ(module->stats().badHeartbeatAnswers, 0u);
}

TEST(LinkWithVirtualModuleProcess, ProgramServesALink) {
    ASSERT_FALSE(std::string(VIRTUAL_MODULE_BIN).empty()) << "virtual-module is not built";
    SpawnedProgram program({VIRTUAL_MODULE_BIN, "--port", "0", "--model", "7", "--address", "4",
                            "--heartbeat-ms", "50"});
    const auto line = program.readLine(5000ms);
    ASSERT_TRUE(line.has_value());
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(line->rfind(prefix, 0), 0u) << *line;
    const int port = std::stoi(line->substr(prefix.size()));

    {
        LinkOwner link(aLink_CreateTCPIP(kLoopback, static_cast<uint16_t>(port)));
        ASSERT_NE(link.get(), 0u);
        uint8_t model = 0, address = 0;
        EXPECT_EQ(aLink_GetModel(link.get(), 4, &model), aErrNone);
        EXPECT_EQ(model, 7);
        EXPECT_EQ(aLink_GetModuleAddress(link.get(), &address), aErrNone);
        EXPECT_EQ(address, 4);
        std::this_thread::sleep_for(200ms); // a few heartbeats, answered by the link
        EXPECT_EQ(aLink_GetPacket(link.get()), nullptr);
    }
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(5000ms), 0) << program.errors();
}

} // namespace
