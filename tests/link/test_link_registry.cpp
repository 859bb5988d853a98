// The link registry: identifiers, shared use counts, creation by kind (serial over a
// pseudo-terminal), teardown and reset.
#include "aLinkInternal.h"
#include "corvane/aLink.h"
#include "platform/socket.h"

#include "LinkTestSupport.h"
#include "ScriptedLinkStream.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstddef>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

TEST(LinkRegistry, UnknownIdentifiers) {
    EXPECT_EQ(aLink_GetStatus(999), LINK_INVALID);
    EXPECT_EQ(aLink_GetStatus(0), LINK_INVALID);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    aLinkRef unknown = 999;
    EXPECT_EQ(aLink_Destroy(&unknown), aErrParam);
    EXPECT_EQ(unknown, 0u);
    EXPECT_EQ(aLink_Reset(999), aErrParam);
    EXPECT_EQ(aLink_Create(nullptr), 0u);
    // Memory that is no stream: refused, instead of a link whose every read and write fails.
    alignas(std::max_align_t) unsigned char junk[512] = {};
    EXPECT_EQ(aLink_Create(reinterpret_cast<aStream*>(junk)), 0u);
}

TEST(LinkRegistry, CallersStreamsAreNeverShared) {
    ScriptedLinkStream first, second;
    LinkOwner a(aLink_Create(first.stream()));
    LinkOwner b(aLink_Create(second.stream()));
    ASSERT_NE(a.get(), 0u);
    ASSERT_NE(b.get(), 0u);
    EXPECT_NE(a.get(), b.get());
    EXPECT_GT(b.get(), a.get()); // identifiers only grow
}

TEST(LinkRegistry, DestroyStopsTheLinkAndFreesItsStreamOnce) {
    ScriptedLinkStream fake;
    aLinkRef link = aLink_Create(fake.stream());
    ASSERT_NE(link, 0u);
    const aLinkRef id = link;
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_EQ(link, 0u);
    EXPECT_EQ(fake.deletes(), 1);
    EXPECT_EQ(aLink_GetStatus(id), LINK_INVALID);
    EXPECT_EQ(fake.written(), (std::vector<uint8_t>{0xAF, 1, 1, 0xAF, 1, 0}));
}

TEST(LinkRegistry, ResetOfACallersStreamIsRefusedAndChangesNothing) {
    ScriptedLinkStream fake;
    LinkOwner link(aLink_Create(fake.stream()));
    EXPECT_EQ(aLink_Reset(link.get()), aErrParam);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
    EXPECT_EQ(fake.deletes(), 0);
}

TEST(LinkRegistry, StopAndStartAgain) {
    ScriptedLinkStream fake;
    LinkOwner link(aLink_Create(fake.stream()));
    ASSERT_EQ(aLink_Stop(link.get()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_STOPPED);
    EXPECT_EQ(aLink_Stop(link.get()), aErrNone);
    ASSERT_EQ(aLink_Start(link.get()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
    ASSERT_TRUE(fake.waitForWritten(9, 1000ms));
    EXPECT_EQ(fake.written(), (std::vector<uint8_t>{0xAF, 1, 1, 0xAF, 1, 0, 0xAF, 1, 1}));
}

struct ServerProbe {
    aLinkRef link = 0;
    int destroyed = 0;
    linkStatus statusSeen = LINK_RUNNING;
};

void destroyServer(void* server) {
    auto* probe = static_cast<ServerProbe*>(server);
    ++probe->destroyed;
    probe->statusSeen = aLink_GetStatus(probe->link); // the entry is gone by now
}

TEST(LinkRegistry, LastUseEndsTheServerAndDropsThePartner) {
    ScriptedLinkStream usbSide, clientSide;
    aLinkRef usb = aLink_Create(usbSide.stream());
    aLinkRef client = aLink_Create(clientSide.stream());
    ASSERT_NE(usb, 0u);
    ASSERT_NE(client, 0u);
    ServerProbe probe{usb};
    ASSERT_EQ(aLink_AttachServer(usb, &probe, destroyServer), aErrNone);
    ASSERT_EQ(aLink_SetPartner(client, usb), aErrNone);
    EXPECT_EQ(aLink_SetPartner(999, usb), aErrParam);

    EXPECT_EQ(aLink_Destroy(&client), aErrNone);
    EXPECT_EQ(aLink_GetStatus(usb), LINK_INVALID);
    EXPECT_EQ(probe.destroyed, 1);
    EXPECT_EQ(probe.statusSeen, LINK_INVALID);
    EXPECT_EQ(usbSide.deletes(), 1);
    EXPECT_EQ(clientSide.deletes(), 1);
}

TEST(LinkRegistry, MissingUsbModuleFailsCleanly) {
    EXPECT_EQ(aLink_CreateUSB(0x7E57F00D), 0u);
}

TEST(LinkRegistry, TcpWithNobodyListeningFailsWithoutWaiting) {
    // A port that was free a moment ago: bind, read its number, close.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t length = sizeof addr;
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &length);
    close(probe);
    const uint16_t port = ntohs(addr.sin_port);

    // Every wait the engine could spend on the failed creation lasts two minutes here, and so
    // does the connect beneath given that long: only waiting for one of them takes a minute.
    ScopedLinkTiming slow([](aLinkTiming& t) {
        t.startWaitMs = t.syncWaitMs = t.replyWaitMs = t.reopenPauseMs = 120000;
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), port), 0u);
    corvane::platform::SocketHandle socket = corvane::platform::invalidSocket;
    EXPECT_EQ(corvane::platform::connectTcp(htonl(INADDR_LOOPBACK), port, 120000, socket),
              aErrConnection);
    EXPECT_EQ(socket, corvane::platform::invalidSocket);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 60s) << "the refusal was waited out";
}

class SerialLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    void TearDown() override {
        close(master);
        close(slave);
    }
    // Collects what the link sent until it holds count bytes or a second passed.
    std::vector<uint8_t> readModuleSide(size_t count) {
        auto deadline = std::chrono::steady_clock::now() + 1s;
        while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
            uint8_t buffer[256];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0)
                received.insert(received.end(), buffer, buffer + n);
            else
                std::this_thread::sleep_for(1ms);
        }
        return received;
    }
    int master = -1;
    int slave = -1;
    char name[128] = {};
    std::vector<uint8_t> received;
};

TEST_F(SerialLink, UnsupportedRateLeavesNothingBehind) {
    EXPECT_EQ(aLink_CreateSerial(0x1234, name, 12345), 0u);
    EXPECT_EQ(aLink_CreateSerial(0x1234, nullptr, 115200), 0u);
    LinkOwner link(aLink_CreateSerial(0x1234, name, 115200));
    ASSERT_NE(link.get(), 0u);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
    EXPECT_EQ(readModuleSide(3), (std::vector<uint8_t>{0xAF, 1, 1}));

    // Working both ways: a heartbeat from the module is answered on the line.
    const uint8_t heartbeat[] = {4, 2, 0, 0};
    ASSERT_EQ(write(master, heartbeat, sizeof heartbeat), 4);
    EXPECT_EQ(readModuleSide(7), (std::vector<uint8_t>{0xAF, 1, 1, 4, 2, 0, 2}));
}

TEST_F(SerialLink, SameKeyTwiceSharesOneLinkUntilTheSecondDestroy) {
    aLinkRef first = aLink_CreateSerial(0x1234, name, 9600);
    ASSERT_NE(first, 0u);
    aLinkRef second = aLink_CreateSerial(0x1234, name, 9600);
    EXPECT_EQ(second, first);
    const aLinkRef id = first;

    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_INVALID);
    EXPECT_EQ(readModuleSide(6), (std::vector<uint8_t>{0xAF, 1, 1, 0xAF, 1, 0}));
}

TEST_F(SerialLink, OtherKeyOnAnotherPortIsAnotherLink) {
    int master2 = -1, slave2 = -1;
    char name2[128] = {};
    ASSERT_EQ(openpty(&master2, &slave2, name2, nullptr, nullptr), 0);
    {
        LinkOwner a(aLink_CreateSerial(0x1234, name, 9600));
        LinkOwner b(aLink_CreateSerial(0x5678, name2, 9600));
        ASSERT_NE(a.get(), 0u);
        ASSERT_NE(b.get(), 0u);
        EXPECT_NE(a.get(), b.get());
    }
    close(master2);
    close(slave2);
}

bool consumeCommand66(const aPacket* packet, void*) {
    return packet->length > 0 && packet->data[0] == 0x66;
}

TEST_F(SerialLink, ResetReopensThePortAndKeepsTheCallersSettings) {
    LinkOwner link(aLink_CreateSerial(0x1234, name, 115200));
    ASSERT_NE(link.get(), 0u);
    ASSERT_EQ(readModuleSide(3), (std::vector<uint8_t>{0xAF, 1, 1})); // before the log exists
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.get(), consumeCommand66, nullptr), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(link.get()), aErrNone);
    ASSERT_EQ(aLink_Reset(link.get()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.get()), LINK_RUNNING);
    EXPECT_EQ(readModuleSide(9), (std::vector<uint8_t>{0xAF, 1, 1, 0xAF, 1, 0, 0xAF, 1, 1}));

    const uint8_t packets[] = {4, 1, 0x66, 4, 1, 0x5A};
    ASSERT_EQ(write(master, packets, sizeof packets), 6);
    aPacket* got = aLink_AwaitPacket(link.get(), 1000);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 0x5A) << "the filter still takes its packets";
    aPacket_Destroy(&got);
    // The log outlived the reset: its first entry is the routing off sent while stopping.
    uint8_t tag = 0, length = 8, buffer[8] = {};
    ASSERT_EQ(aLink_PacketDebug_Read(link.get(), &tag, &length, buffer), aErrNone);
    EXPECT_EQ(tag, 1);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), (std::vector<uint8_t>{0xAF, 1, 0}));
}

} // namespace
