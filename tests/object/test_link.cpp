// Corvane::Link against the virtual module: connect paths and their refusals, configuration,
// raw packets, the address query and the packet log.
#include "ObjectPeer.h"

#include "ScopedTempDir.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

using namespace objecttest;
using Corvane::Link;

namespace {

class LinkTest : public ConnectedModule {};

TEST(LinkRefusals, ConnectNeedsAUsableSpecifier) {
    Link link("Link");
    EXPECT_EQ(link.connect(), aErrConfiguration);
    EXPECT_EQ(link.getStatus(), LINK_ERROR);
    linkSpec spec{};
    EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNotFound);

    spec.type = AETHER;
    aEtherConfig config;
    config.enabled = false;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(link.connect(), aErrConfiguration);

    spec.type = static_cast<linkType>(9);
    ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(link.connect(), aErrMode);
    EXPECT_EQ(link.getStatus(), LINK_ERROR);
}

// A connect that cannot reach anything says so and leaves no link behind that looks alive.
TEST(LinkRefusals, SharingServerThatIsGoneIsNoConnection) {
    // A port that was just free: nothing listens on it.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(probe);
    const struct {
        uint32_t port;
        aErr expected;
    } cases[] = {{ntohs(address.sin_port), aErrConnection}, {0, aErrParam}};
    for (const auto& c : cases) {
        linkSpec spec{};
        spec.type = AETHER;
        spec.ipAddress = htonl(INADDR_LOOPBACK);
        spec.port = c.port;
        Link link(spec, "gone");
        EXPECT_EQ(link.connect(), c.expected) << c.port;
        EXPECT_FALSE(link.isConnected()) << c.port;
        uint8_t data[28];
        EXPECT_EQ(link.sendPacket(2, 23, 0, data), aErrConnection) << c.port;
    }
}

TEST(LinkRefusals, NothingIsSentWithoutARunningLink) {
    Link link("idle");
    const uint8_t data[] = {1};
    uint8_t length = 0, reply[28];
    uint8_t address = 9;
    EXPECT_EQ(link.sendPacket(2, 23, 1, data), aErrConnection);
    EXPECT_EQ(link.receivePacket(2, data, &length, reply), aErrConnection);
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
    EXPECT_EQ(link.enablePacketLog("/dev/null"), aErrConfiguration);
    EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
    EXPECT_EQ(link.enablePooledPackets(true), aErrParam);
    uei request{};
    request.module = 2;
    EXPECT_EQ(link.sendUEI(request), aErrConnection);
}

TEST_F(LinkTest, ConnectedLinkRefusesChangesAndASecondConnect) {
    EXPECT_TRUE(link->isConnected());
    EXPECT_EQ(link->connect(), aErrConnection);
    EXPECT_TRUE(link->isConnected());

    aEtherConfig changed;
    changed.fallback = false;
    EXPECT_EQ(link->setConfig(changed), aErrMode);
    aEtherConfig now;
    ASSERT_EQ(link->getConfig(&now), aErrNone);
    EXPECT_TRUE(now.fallback);
    EXPECT_EQ(now.networkInterface, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(link->setLinkSpecifier(linkSpec{}), aErrBusy);
    EXPECT_EQ(link->getConfig(nullptr), aErrParam);

    ASSERT_EQ(module->disconnect(), aErrNone);
    EXPECT_EQ(link->getStatus(), LINK_ERROR);
    EXPECT_EQ(link->setConfig(changed), aErrNone);
    ASSERT_EQ(module->reconnect(), aErrNone);
    EXPECT_TRUE(module->isConnected());
}

TEST_F(LinkTest, ALinkThatTookOverAnotherDropsNoUseOfIt) {
    Link borrower("borrower"); // no specifier: its connect step fails after the take-over
    EXPECT_EQ(borrower.connectThroughLinkModule(*link), aErrConfiguration);
    borrower.disconnect();
    EXPECT_TRUE(link->isConnected());

    Link empty("empty");
    EXPECT_EQ(borrower.connectThroughLinkModule(empty), aErrInitialization);
}

TEST_F(LinkTest, SendPacketChecksLengthAndAddress) {
    uint8_t data[28] = {};
    EXPECT_EQ(link->sendPacket(2, 23, 28, data), aErrParam);
    EXPECT_EQ(link->sendPacket(3, 23, 1, data), aErrPacket);
    EXPECT_EQ(link->sendPacket(0, 23, 1, data), aErrPacket);
    uint8_t length = 0;
    EXPECT_EQ(link->receivePacket(3, data, &length, data), aErrPacket);

    // 27 bytes after the command is the longest packet; the module echoes it back.
    for (uint8_t i = 0; i < 27; ++i)
        data[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(link->sendPacket(2, 23, 27, data), aErrNone);
    const uint8_t match[] = {23, 0xA0};
    uint8_t reply[28] = {};
    length = sizeof match;
    ASSERT_EQ(link->receivePacket(2, match, &length, reply), aErrNone);
    EXPECT_EQ(length, 28);
    EXPECT_EQ(reply[27], 0xA0 + 26);
    const auto sent = peer->received(23);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].length, 28);

    // Nothing more arrives: a second wait times out.
    length = sizeof match;
    EXPECT_EQ(link->receivePacket(2, match, &length, reply), aErrTimeout);
}

TEST_F(LinkTest, AddressQueryAnswersTheModulesAddress) {
    uint8_t address = 0;
    ASSERT_EQ(link->getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 2);
    EXPECT_EQ(link->getModuleAddress(nullptr), aErrParam);
}

TEST_F(LinkTest, PacketLogWritesOneLinePerPacketAndGoesOnAfterAReconnect) {
    ScopedTempDir dir;
    const std::string path = dir.path() + "/packets.log";
    ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
    const uint8_t data[] = {0x11, 0x22};
    ASSERT_EQ(link->sendPacket(2, 23, sizeof data, data), aErrNone);
    auto contents = [&] {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    auto awaitLine = [&](const std::string& line) {
        return waitUntil([&] { return contents().find(line) != std::string::npos; },
                         std::chrono::seconds(5));
    };
    // Sent entries hold address, length and data; received ones the same with "<".
    const std::string sent = "5 > 0x2 0x3 0x17 0x11 0x22 \r\n";
    const std::string echoed = "5 < 0x2 0x3 0x17 0x11 0x22 \r\n";
    EXPECT_TRUE(awaitLine(echoed)) << contents();
    std::string text = contents();
    EXPECT_EQ(text.rfind("6 < START", 0), 0u) << text;
    EXPECT_NE(text.find(sent), std::string::npos) << text;

    // A new engine link after the reconnect: the same file goes on with its packets.
    ASSERT_EQ(module->disconnect(), aErrNone);
    ASSERT_EQ(module->reconnect(), aErrNone);
    const uint8_t later[] = {0x33};
    ASSERT_EQ(link->sendPacket(2, 23, sizeof later, later), aErrNone);
    EXPECT_TRUE(awaitLine("4 < 0x2 0x2 0x17 0x33 \r\n")) << contents();
    text = contents();
    EXPECT_NE(text.find("6 < START", text.find(echoed)), std::string::npos) << text;
    EXPECT_EQ(link->disablePacketLog(), aErrNone);
}

TEST(LinkSerial, ConnectsToThePortNamedInTheSpecifier) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    ASSERT_EQ(fcntl(master, F_SETFL, O_NONBLOCK), 0);
    const std::string portName = ptsname(master);
    linkSpec spec{};
    spec.type = SERIAL;
    spec.serialNumber = 0x5E51A1;
    spec.ipAddress = 115200;
    // The port name runs from the port field into the rest of the record.
    ASSERT_LT(portName.size(), sizeof spec - offsetof(linkSpec, port));
    std::memcpy(reinterpret_cast<char*>(&spec) + offsetof(linkSpec, port), portName.c_str(),
                portName.size());
    Link link(spec, "serial");
    ASSERT_EQ(link.connect(), aErrNone);
    EXPECT_EQ(link.getStatus(), LINK_RUNNING);
    // The engine's first packet, routing on, comes out of the other end of that port.
    uint8_t bytes[3] = {};
    std::size_t got = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            const ssize_t n = read(master, bytes + got, sizeof bytes - got);
            got += n > 0 ? static_cast<std::size_t>(n) : 0;
            return got == sizeof bytes;
        },
        std::chrono::seconds(5)));
    EXPECT_EQ(bytes[0], 0xAF);
    EXPECT_EQ(bytes[2], 1);
    link.disconnect();
    close(master);

    spec.ipAddress = 12345; // no such baud rate
    Link refused(spec, "serial");
    EXPECT_EQ(refused.connect(), aErrConnection);
}

TEST(LinkNames, NameIsKeptUpTo1024Characters) {
    const std::string longName(1500, 'n');
    Link link(longName.c_str());
    EXPECT_EQ(std::string(link.getName()).size(), 1024u);
    Link unnamed(nullptr);
    EXPECT_STREQ(unnamed.getName(), "");
}

} // namespace
