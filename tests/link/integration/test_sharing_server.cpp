// The sharing server over an engine link to the virtual module, with client links in this
// process: replies reach the client that asked, UEIBytes runs are pooled, stream batches fan out
// to subscribers, force-route requests are blocked, and clients survive silence and loss.
#include "aLinkInternal.h"
#include "aServerRecord.h"
#include "aServer_Internal.h"
#include "aStream_Internal.h"
#include "corvane/aLink.h"
#include "corvane/aServer.h"

#include "LinkTestSupport.h"
#include "VirtualModule.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Corvane::Tools::ModuleConnection;
using Corvane::Tools::VirtualModule;
using Corvane::Tools::VirtualModuleConfig;
using Corvane::Tools::WirePacket;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr uint8_t kModule = 2;
constexpr uint8_t kCmdSilent = 0x20;   // the module never answers it
constexpr uint8_t kCmdShort = 0x21;    // answered with one data byte
constexpr uint8_t kCmdBytes = 0x22;    // UEIBytes runs, acknowledged once at their end
constexpr uint8_t kCmdStream = 93;     // stream enable; answered, then stream packets follow
constexpr uint8_t kCmdStreamed = 0x23; // the entity whose values are streamed
constexpr int kStreamPackets = 5;

std::vector<uint8_t> packetBytes(uint8_t address, std::vector<uint8_t> data) {
    data.insert(data.begin(), {address, static_cast<uint8_t>(data.size())});
    return data;
}

aErr put(aLinkRef link, uint8_t address, const std::vector<uint8_t>& data) {
    aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                             data.empty() ? nullptr : data.data());
    const aErr result = aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    return result;
}

// The next incoming packet as wire bytes; empty after the wait.
std::vector<uint8_t> await(aLinkRef link, uint32_t timeoutMs = 3000) {
    aPacket* packet = aLink_AwaitPacket(link, timeoutMs);
    if (packet == nullptr)
        return {};
    std::vector<uint8_t> bytes(packet->data, packet->data + packet->length);
    bytes.insert(bytes.begin(), {packet->address, packet->length});
    aPacket_Destroy(&packet);
    return bytes;
}

// A virtual module, an engine link to it, a local-only server on that link and the client
// links of the test. Every packet the module receives is recorded in order.
class SharedModule : public ::testing::Test {
  protected:
    void SetUp() override {
        VirtualModuleConfig config;
        config.heartbeatMs = 25; // heartbeats flush the server's stream batches
        module_ = std::make_unique<VirtualModule>(config);
        module_->setPacketObserver([this](const WirePacket& p) {
            std::lock_guard<std::mutex> lock(seenLock_);
            seen_.push_back(p.bytes());
        });
        module_->setHandler(kCmdSilent, [](ModuleConnection&, const WirePacket&) {});
        module_->setHandler(kCmdShort, [](ModuleConnection& c, const WirePacket&) {
            c.send(WirePacket(kModule, {kCmdShort}));
        });
        module_->setHandler(kCmdBytes, [](ModuleConnection& c, const WirePacket& p) {
            if ((p.data[p.length - 1] & 0x80) == 0)
                c.send(WirePacket(kModule, {kCmdBytes, 0xC0 | 10, 0x20}));
        });
        module_->setHandler(kCmdStream, [](ModuleConnection& c, const WirePacket&) {
            c.send(WirePacket(kModule, {kCmdStream, 0xC1, 0x20}));
            for (uint8_t i = 0; i < kStreamPackets; ++i)
                c.send(WirePacket(kModule, {kCmdStreamed, 0x05, 0x40, 0, 0, 0, i}));
        });
        std::string error;
        ASSERT_TRUE(module_->start(&error)) << error;
        moduleLink_.reset(aLink_CreateTCPIP(kLoopback, module_->port()));
        ASSERT_NE(moduleLink_.get(), 0u);
        server_ = aServer_Create(moduleLink_.get(), 0, true);
        ASSERT_NE(server_, nullptr);
        ASSERT_TRUE(aServer_Start(server_));
        aServer_SetModule(server_, 0x1A2B3C4D, 0x13);
        EXPECT_EQ(aServer_GetInterface(server_), kLoopback);
    }

    void TearDown() override {
        clients_.clear();
        aServer_Destroy(&server_);
    }

    aLinkRef client() {
        clients_.push_back(std::make_unique<LinkOwner>(
            aLink_CreateClient(kLoopback, aServer_GetPort(server_), 0)));
        return clients_.back()->get();
    }

    std::vector<std::vector<uint8_t>> seen() {
        std::lock_guard<std::mutex> lock(seenLock_);
        return seen_;
    }

    // Declared first: the module's thread records into them until the module is gone.
    std::mutex seenLock_;
    std::vector<std::vector<uint8_t>> seen_;
    std::unique_ptr<VirtualModule> module_;
    LinkOwner moduleLink_;
    aServer* server_ = nullptr;
    std::vector<std::unique_ptr<LinkOwner>> clients_;
};

TEST_F(SharedModule, EachClientGetsTheRepliesToItsOwnRequests) {
    const aLinkRef a = client(), b = client();
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b) << "client links are never shared";
    EXPECT_EQ(aLink_CreateClient(0, 0, a), a);
    EXPECT_EQ(aLink_CreateClient(0, 0, 999), 0u);

    auto ask = [](aLinkRef link, int trips, int* failures) {
        for (int i = 0; i < trips; ++i) {
            uint8_t model = 0, address = 0;
            if (aLink_GetModel(link, kModule, &model) != aErrNone || model != 0x13 ||
                aLink_GetModuleAddress(link, &address) != aErrNone || address != kModule)
                ++*failures;
        }
    };
    int failuresA = 0, failuresB = 0;
    std::thread other(ask, b, 50, &failuresB);
    ask(a, 50, &failuresA);
    other.join();
    EXPECT_EQ(failuresA, 0);
    EXPECT_EQ(failuresB, 0);
    // A module answers the address request twice; the second packet of a client's own last
    // request may still be on its way. Nothing else is left, least of all another's reply.
    for (const aLinkRef link : {a, b}) {
        while (aPacket* left = aLink_GetPacket(link)) {
            EXPECT_TRUE(left->address == kModule && left->length == 0)
                << "a reply meant for another client";
            aPacket_Destroy(&left);
        }
    }

    // A reset client link opens its stream anew and is served as before.
    ASSERT_EQ(aLink_Reset(a), aErrNone);
    uint8_t model = 0;
    EXPECT_EQ(aLink_GetModel(a, kModule, &model), aErrNone);
}

TEST_F(SharedModule, ForceRouteRequestsFromClientsNeverReachTheModule) {
    const aLinkRef a = client();
    ASSERT_NE(a, 0u);
    // The client link queued routing on at its start; send routing off and on explicitly too.
    ASSERT_EQ(put(a, 175, {0}), aErrNone);
    ASSERT_EQ(put(a, 175, {1}), aErrNone);
    uint8_t model = 0;
    ASSERT_EQ(aLink_GetModel(a, kModule, &model), aErrNone); // behind them in the same queue
    const auto stats = module_->stats();
    EXPECT_EQ(stats.routingOn, 1u) << "only the server's own module link turned routing on";
    EXPECT_EQ(stats.routingOff, 0u);
}

TEST_F(SharedModule, OneDataByteReplyReachesItsClient) {
    const aLinkRef a = client();
    ASSERT_NE(a, 0u);
    ASSERT_EQ(put(a, kModule, {kCmdShort, 0x41, 0x20}), aErrNone);
    EXPECT_EQ(await(a), packetBytes(kModule, {kCmdShort}));
}

TEST_F(SharedModule, ReplyThatNeverComesTimesOutAndTheNextRequestIsServed) {
    const aLinkRef a = client();
    ASSERT_NE(a, 0u);
    ASSERT_EQ(put(a, kModule, {kCmdSilent, 0x41, 0x20}), aErrNone);
    EXPECT_EQ(await(a, 1000), std::vector<uint8_t>{}) << "the client's own wait times out";
    // Served once the server gave up on the silent request: the answer is this request's.
    ASSERT_EQ(put(a, kModule, {kCmdShort, 0x41, 0x20}), aErrNone);
    EXPECT_EQ(await(a, 5000), packetBytes(kModule, {kCmdShort}));
    EXPECT_EQ(aLink_GetPacket(a), nullptr);
}

TEST_F(SharedModule, UEIBytesRunReachesTheModuleWholeWithOneAcknowledgement) {
    const aLinkRef a = client(), b = client();
    ASSERT_NE(b, 0u);
    auto run = [](uint8_t control, int dataBytes) {
        std::vector<uint8_t> data{kCmdBytes, 0x80 | 10, 0x20};
        for (int i = 0; i < dataBytes; ++i)
            data.push_back(static_cast<uint8_t>(i));
        data.push_back(control);
        return data;
    };
    const std::vector<std::vector<uint8_t>> packets{run(0x80, 24), run(0x81, 24), run(0x02, 12)};
    ASSERT_EQ(put(a, kModule, packets[0]), aErrNone);
    ASSERT_EQ(put(a, kModule, packets[1]), aErrNone);
    // Another client is served meanwhile; the unfinished run has not reached the module.
    uint8_t model = 0;
    ASSERT_EQ(aLink_GetModel(b, kModule, &model), aErrNone);
    for (const auto& p : seen())
        EXPECT_NE(p.size() > 2 ? p[2] : 0, kCmdBytes);

    ASSERT_EQ(put(a, kModule, packets[2]), aErrNone);
    EXPECT_EQ(await(a), packetBytes(kModule, {kCmdBytes, 0xC0 | 10, 0x20}));
    EXPECT_EQ(await(a, 300), std::vector<uint8_t>{}) << "one acknowledgement only";

    std::vector<std::vector<uint8_t>> run3;
    for (const auto& p : seen())
        if (p.size() > 2 && p[2] == kCmdBytes)
            run3.push_back(p);
    ASSERT_EQ(run3.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(run3[i], packetBytes(kModule, packets[i]));
}

TEST_F(SharedModule, PacketThatIsNeverAnsweredOwesItsClientNothing) {
    const aLinkRef a = client(), b = client();
    ASSERT_NE(b, 0u);
    // A full UEI packet with more to come that starts no pooled run: the module stays silent.
    std::vector<uint8_t> middle(27, 0x11);
    middle[0] = kCmdBytes;
    middle[26] = 0x85;
    ASSERT_EQ(put(a, kModule, middle), aErrNone);
    uint8_t model = 0;
    EXPECT_EQ(aLink_GetModel(b, kModule, &model), aErrNone) << "the next reply is b's own";
    EXPECT_EQ(aLink_GetPacket(a), nullptr);
}

TEST_F(SharedModule, StreamEnableFansBatchesOutToSubscribersOnly) {
    const aLinkRef subscriber = client(), bystander = client();
    ASSERT_NE(bystander, 0u);
    ASSERT_EQ(put(subscriber, kModule, {kCmdStream, 0x81, 0x20, 0, 0, 0, 1}), aErrNone);
    EXPECT_EQ(await(subscriber), packetBytes(kModule, {kCmdStream, 0xC1, 0x20}));
    for (uint8_t i = 0; i < kStreamPackets; ++i)
        EXPECT_EQ(await(subscriber), packetBytes(kModule, {kCmdStreamed, 0x05, 0x40, 0, 0, 0, i}));
    // The bystander's own request is answered, and no stream packet came with it.
    uint8_t model = 0;
    EXPECT_EQ(aLink_GetModel(bystander, kModule, &model), aErrNone);
    EXPECT_EQ(aLink_GetPacket(bystander), nullptr);
    EXPECT_EQ(aLink_GetPacket(moduleLink_.get()), nullptr) << "stream packets are the server's";
}

TEST_F(SharedModule, ClientOfAStoppedServerTimesOutAndEndsPromptly) {
    const aLinkRef a = client();
    ASSERT_NE(a, 0u);
    uint8_t model = 0;
    ASSERT_EQ(aLink_GetModel(a, kModule, &model), aErrNone);
    ASSERT_EQ(aServer_Destroy(&server_), aErrNone);
    EXPECT_EQ(server_, nullptr);
    EXPECT_EQ(aLink_GetModel(a, kModule, &model), aErrTimeout);
    clients_.clear(); // destroying the client link does not wait for the absent server
}

// The client's stream is waited on like any other and hands out a frame's bytes in one read,
// so the link's reader never sits in a read of its own while the link is to stop.
TEST_F(SharedModule, ClientStreamIsWaitedOnAndReadInWholeFrames) {
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateClient(kLoopback, aServer_GetPort(server_), &stream), aErrNone);
    const std::vector<uint8_t> query = packetBytes(kModule, {kCmdShort});
    ASSERT_EQ(aStream_Write(stream, query.data(), query.size()), aErrNone);
    aErr waited = aErrNotReady;
    for (int i = 0; i < 100 && waited == aErrNotReady; ++i)
        waited = aStream_Wait(stream, 50);
    ASSERT_EQ(waited, aErrNone);
    uint8_t bytes[64] = {};
    size_t got = 0;
    ASSERT_EQ(aStream_ReadAvailable(stream, bytes, sizeof bytes, &got), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + got), packetBytes(kModule, {kCmdShort}));
    EXPECT_EQ(aStream_ReadAvailable(stream, bytes, sizeof bytes, &got), aErrNotReady);
    EXPECT_EQ(aStream_Wait(stream, 0), aErrNotReady);
    aStream_Destroy(&stream);
}

TEST_F(SharedModule, SubscribersThatLeaveAreForgotten) {
    const std::vector<uint8_t> enable = packetBytes(kModule, {kCmdStream, 0x81, 0x20, 0, 0, 0, 1});
    // Subscribes a raw client and takes its acknowledgement and the stream batch behind it.
    auto subscribe = [&](zsock_t* dealer) {
        zsock_set_rcvtimeo(dealer, 5000);
        if (zmq_send(zsock_resolve(dealer), enable.data(), enable.size(), 0) < 0)
            return false;
        std::size_t bytes = 0;
        for (int frames = 0; frames < 1 + kStreamPackets && bytes < 5 + 9u * kStreamPackets;
             ++frames) {
            zframe_t* frame = zframe_recv(dealer);
            if (frame == nullptr)
                return false;
            bytes += zframe_size(frame);
            zframe_destroy(&frame);
        }
        return true;
    };
    auto subscribers = [this] {
        std::lock_guard<std::mutex> lock(server_->turn);
        return server_->dispatch.subscribers().size();
    };
    for (int i = 0; i < 100; ++i) {
        zsock_t* passing = zsock_new_dealer(nullptr);
        ASSERT_EQ(zsock_connect(passing, "tcp://127.0.0.1:%u", unsigned{aServer_GetPort(server_)}),
                  0);
        ASSERT_TRUE(subscribe(passing)) << "cycle " << i;
        zsock_destroy(&passing);
    }
    // The batches of one that stays find the others gone.
    zsock_t* staying = zsock_new_dealer(nullptr);
    ASSERT_EQ(zsock_connect(staying, "tcp://127.0.0.1:%u", unsigned{aServer_GetPort(server_)}), 0);
    bool forgotten = false;
    for (int round = 0; round < 20 && !forgotten; ++round) {
        ASSERT_TRUE(subscribe(staying));
        forgotten = subscribers() <= 2;
    }
    EXPECT_TRUE(forgotten) << subscribers() << " subscribers kept";
    zsock_destroy(&staying);
}

} // namespace
