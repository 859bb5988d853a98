// The sharing server in front of a module written from the wire tables (it answers the address
// request with two packets and sends values unasked), and in front of clients that misbehave:
// every answer reaches the client that asked, unasked values reach who waits for them, the
// served link still answers its own user, pooled writes work through the server, a client that
// floods a mute address delays only itself and an oversized frame costs its sender the
// connection.
#include "aLinkInternal.h"
#include "corvane/aLink.h"
#include "corvane/aServer.h"

#include "LinkTestSupport.h"
#include "WirePeer.h"

#include <czmq.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::getValue;
using testsupport::WirePeer;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr uint8_t kMute = 0x10; // no module answers at this address

aErr put(aLinkRef link, uint8_t address, const std::vector<uint8_t>& data) {
    aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                             data.empty() ? nullptr : data.data());
    const aErr result = aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    return result;
}

// Packets left on a link that are more than the rest of an address answer.
int strays(aLinkRef link) {
    int count = 0;
    while (aPacket* p = aLink_GetPacket(link)) {
        count += p->length != 0;
        aPacket_Destroy(&p);
    }
    return count;
}

class SharedPeer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(peer_.port(), 0);
        served_.reset(aLink_CreateTCPIP(kLoopback, peer_.port()));
        ASSERT_NE(served_.get(), 0u);
        server_ = aServer_Create(served_.get(), 0, true);
        ASSERT_TRUE(server_ != nullptr && aServer_Start(server_));
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

    WirePeer peer_;
    LinkOwner served_;
    aServer* server_ = nullptr;
    std::vector<std::unique_ptr<LinkOwner>> clients_;
};

TEST_F(SharedPeer, EveryAnswerReachesItsAskerWhileTwoClientsInterleave) {
    const aLinkRef a = client(), b = client();
    ASSERT_TRUE(a != 0 && b != 0);
    int wrongB = 0;
    std::thread other([&] { wrongB = testsupport::askRounds(b, 2); });
    EXPECT_EQ(testsupport::askRounds(a, 1), 0);
    other.join();
    EXPECT_EQ(wrongB, 0);
    EXPECT_EQ(strays(a), 0);
    EXPECT_EQ(strays(b), 0);
}

TEST_F(SharedPeer, AValueSentUnaskedReachesTheClientThatWaitsForIt) {
    const aLinkRef caller = client(), bystander = client();
    uint8_t model = 0;
    ASSERT_EQ(aLink_GetModel(bystander, WirePeer::kAddress, &model), aErrNone);
    ASSERT_EQ(put(caller, WirePeer::kAddress, {WirePeer::kAppCommand, 0x81, 0x20}), aErrNone);
    aPacket* ack = testsupport::awaitUEI(caller, WirePeer::kAppCommand, 0xC1, 0);
    EXPECT_NE(ack, nullptr);
    aPacket_Destroy(&ack);
    aPacket* result = testsupport::awaitUEI(caller, WirePeer::kAppCommand, 0x02, 0);
    ASSERT_NE(result, nullptr) << "the result the call sent unasked";
    EXPECT_EQ(result->data[6], WirePeer::kResult);
    aPacket_Destroy(&result);
    ASSERT_EQ(aLink_GetModel(bystander, WirePeer::kAddress, &model), aErrNone);
    EXPECT_EQ(strays(bystander), 0) << "it never talked to the app command";
}

TEST_F(SharedPeer, TheServedLinkStillAnswersItsOwnUser) {
    const aLinkRef shared = client();
    for (int i = 0; i < 10; ++i) {
        uint8_t own = 0, viaServer = 0;
        EXPECT_EQ(aLink_GetModel(served_.get(), WirePeer::kAddress, &own), aErrNone);
        EXPECT_EQ(aLink_GetModel(shared, WirePeer::kAddress, &viaServer), aErrNone);
        EXPECT_EQ(own, WirePeer::kModel);
        EXPECT_EQ(viaServer, WirePeer::kModel);
    }
    uint32_t value = 0;
    EXPECT_EQ(getValue(served_.get(), 0x21, 3, 4, &value), aErrNone);
    EXPECT_EQ(value, WirePeer::valueOf(0x21, 3, 4));
}

TEST_F(SharedPeer, APooledRunThroughTheServerIsAcknowledged) {
    const aLinkRef pooled = client();
    ASSERT_EQ(aLink_EnablePooledPackets(pooled, true), aErrNone);
    std::vector<aPacket> run;
    for (const uint8_t control : {0x80, 0x81, 0x02}) {
        std::vector<uint8_t> data{0x22, 0x80 | 10, 0x20};
        data.resize(control == 0x02 ? 15 : 27, 0x5A);
        data.push_back(control);
        aPacket* p = aPacket_CreateWithData(WirePeer::kAddress, static_cast<uint8_t>(data.size()),
                                            data.data());
        run.push_back(*p);
        aPacket_Destroy(&p);
    }
    ASSERT_EQ(aLink_PutPackets(pooled, run.data(), run.size(), 1000), aErrNone);
    aPacket* ack = testsupport::awaitUEI(pooled, 0x22, 0xC0 | 10, 0);
    EXPECT_NE(ack, nullptr);
    aPacket_Destroy(&ack);
}

TEST_F(SharedPeer, AClientFloodingAMuteAddressDelaysOnlyItself) {
    const aLinkRef flood = client(), polite = client();
    for (uint8_t i = 0; i < 30; ++i)
        ASSERT_EQ(put(flood, kMute, {0x20, 0x41, static_cast<uint8_t>(0x20 | i)}), aErrNone);
    // Each waits for the module for the whole reply wait, one after another; the polite
    // client's requests go beside them, each answered within its own wait.
    int answered = 0;
    for (int i = 0; i < 20; ++i) {
        uint8_t model = 0;
        answered += aLink_GetModel(polite, WirePeer::kAddress, &model) == aErrNone;
    }
    EXPECT_EQ(answered, 20);
}

TEST_F(SharedPeer, AFrameLargerThanAnyRequestCostsItsSenderTheConnection) {
    zsock_t* dealer = zsock_new(ZMQ_DEALER);
    const std::string events = "inproc://oversized-" + std::to_string(aServer_GetPort(server_));
    ASSERT_EQ(zmq_socket_monitor(zsock_resolve(dealer), events.c_str(), ZMQ_EVENT_DISCONNECTED), 0);
    zsock_t* monitor = zsock_new(ZMQ_PAIR);
    ASSERT_EQ(zsock_connect(monitor, "%s", events.c_str()), 0);
    ASSERT_EQ(zsock_connect(dealer, "tcp://127.0.0.1:%u", unsigned{aServer_GetPort(server_)}), 0);
    const std::vector<uint8_t> big(1 << 16, 0x02);
    ASSERT_EQ(zmq_send(zsock_resolve(dealer), big.data(), big.size(), 0),
              static_cast<int>(big.size()));
    // The server reads no such frame: it drops the connection at the frame's header.
    zsock_set_rcvtimeo(monitor, 20000);
    zmsg_t* event = zmsg_recv(monitor);
    EXPECT_NE(event, nullptr) << "no disconnection";
    zmsg_destroy(&event);
    zsock_destroy(&dealer);
    zsock_destroy(&monitor);
    uint8_t model = 0;
    EXPECT_EQ(aLink_GetModel(client(), WirePeer::kAddress, &model), aErrNone);
}

} // namespace
