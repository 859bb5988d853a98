// Module discovery: the link specifier's byte layout and constructors, the TCP/IP reply
// layout, the USB module list, address texts and the USB emulation list.
#include "aDiscoveryInternal.h"
#include "aUSBEmulation.h"
#include "corvane/aDiscovery.h"
#include "corvane/aMulticast.h"
#include "corvane/aUSB.h"

#include "NetworkNamespace.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

namespace {

TEST(LinkSpec, CreateCopyDestroyAndLayout) {
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    spec->serialNumber = 0x11223344;
    spec->ipAddress = 0x0100007F;
    spec->port = 8016;
    // Little-endian 32-bit words at their fixed offsets; everything else stays zero.
    uint8_t bytes[128];
    std::memcpy(bytes, spec, sizeof bytes);
    uint8_t expected[128] = {2, 0, 0, 0, 0x44, 0x33, 0x22, 0x11};
    const uint8_t tail[] = {0x7F, 0, 0, 1, 0x50, 0x1F, 0, 0};
    std::memcpy(expected + 24, tail, sizeof tail);
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));

    linkSpec* copy = aLinkSpec_Copy(*spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(0, std::memcmp(copy, spec, sizeof(linkSpec)));
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

TEST(DiscoveryReply, ThePartsExampleAndWrongSizes) {
    uint8_t reply[16] = {0, 4, 0x50, 0x1F, 0x44, 0x33, 0x22, 0x11};
    reply[12] = 9;
    linkSpec spec{};
    ASSERT_TRUE(corvane::discovery::parseReply(reply, sizeof reply, 0x0200000A, spec));
    EXPECT_EQ(spec.type, static_cast<uint32_t>(TCPIP));
    EXPECT_EQ(spec.module, 4u);
    EXPECT_EQ(spec.router, 4u);
    EXPECT_EQ(spec.port, 8016u);
    EXPECT_EQ(spec.serialNumber, 0x11223344u);
    EXPECT_EQ(spec.routerSerialNumber, 0x11223344u);
    EXPECT_EQ(spec.model, 9u);
    EXPECT_EQ(spec.ipAddress, 0x0200000Au);

    uint8_t built[16];
    corvane::discovery::buildReply(4, 8016, 0x11223344, 9, built);
    EXPECT_EQ(0, std::memcmp(built, reply, sizeof reply));

    EXPECT_FALSE(corvane::discovery::parseReply(reply, 15, 0x0200000A, spec));
    EXPECT_FALSE(corvane::discovery::parseReply(reply, 17, 0x0200000A, spec));
}

// A reply is the only word on where its module is: a sender that names many hosts or none, or a
// port no connection can go to, is no module.
TEST(DiscoveryReply, RefusesSendersNoModuleCanBeReachedAt) {
    const struct {
        const char* from;
        uint16_t port;
        bool taken;
    } cases[] = {
        {"10.9.0.1", 8016, true},         {"127.0.0.1", 8016, true},
        {"223.255.255.254", 1, true},     {"127.255.255.254", 8016, true},
        {"10.9.0.1", 0, false},           {"0.0.0.0", 8016, false},
        {"0.1.2.3", 8016, false},         {"127.255.255.255", 8016, false},
        {"224.0.0.1", 8016, false},       {"232.2.2.2", 8016, false},
        {"239.255.255.255", 8016, false}, {"240.0.0.1", 8016, false},
        {"255.255.255.255", 8016, false}, {"10.9.0.255", 8016, false}, // this host's subnet
        {"10.9.1.255", 8016, true},
    };
    const std::vector<uint32_t> subnetBroadcasts{inet_addr("10.9.0.255")};
    for (const auto& c : cases) {
        uint8_t reply[16];
        corvane::discovery::buildReply(2, c.port, 0x11223344, 9, reply);
        linkSpec spec{};
        EXPECT_EQ(corvane::discovery::parseReply(reply, sizeof reply, inet_addr(c.from), spec,
                                                 subnetBroadcasts),
                  c.taken)
            << c.from << ":" << c.port;
    }
}

// TCP/IP enumeration's listening against a made-up clock: what arrives when, and when listening
// ends. Each step comes afterMs after the one before.
struct HeardStep {
    uint32_t afterMs;
    corvane::discovery::Heard heard;
};

struct ListenCase {
    const char* name;
    std::vector<HeardStep> steps;
    int replies;        // taken before listening ended
    uint64_t endedAtMs; // from the requests
};

class DiscoveryListening : public ::testing::TestWithParam<ListenCase> {};

TEST_P(DiscoveryListening, EndsAfterQuietOrAtTheCap) {
    using corvane::discovery::Heard;
    uint64_t clock = 5000;
    std::vector<HeardStep> pending = GetParam().steps;
    size_t next = 0;
    int replies = 0;
    corvane::discovery::listenForReplies(
        {2000, 10000}, [&] { return clock; },
        [&](uint32_t waitMs) {
            if (next == pending.size() || pending[next].afterMs > waitMs) {
                if (next < pending.size())
                    pending[next].afterMs -= waitMs;
                clock += waitMs;
                return Heard::nothing;
            }
            clock += pending[next].afterMs;
            const Heard heard = pending[next++].heard;
            replies += heard == Heard::reply;
            return heard;
        });
    EXPECT_EQ(replies, GetParam().replies);
    EXPECT_EQ(clock - 5000, GetParam().endedAtMs);
}

constexpr auto kReply = corvane::discovery::Heard::reply;
constexpr auto kJunk = corvane::discovery::Heard::other;

std::vector<HeardStep> every(uint32_t ms, corvane::discovery::Heard heard, size_t count) {
    return std::vector<HeardStep>(count, HeardStep{ms, heard});
}

INSTANTIATE_TEST_SUITE_P(
    Arrivals, DiscoveryListening,
    ::testing::Values(
        ListenCase{"Silence", {}, 0, 2000},
        // Each reply within 2000 ms of the one before: the last comes 4.5 s after the requests.
        ListenCase{"LateRepliesKeepItListening", every(1500, kReply, 3), 3, 6500},
        ListenCase{"LoneReplyAfterTwoSecondsOfSilence", {{2100, kReply}}, 0, 2000},
        ListenCase{"ReplyAt1900ThenOneAt3800", {{1900, kReply}, {1900, kReply}}, 2, 5800},
        // A module that never stops answering is cut off at the cap.
        ListenCase{"FloodOfReplies", every(1000, kReply, 50), 10, 10000},
        // Datagrams that are no reply do not keep it listening.
        ListenCase{"JunkDoesNotExtend", every(500, kJunk, 50), 0, 2000},
        ListenCase{"CallerStops", {{100, kReply}, {100, corvane::discovery::Heard::stop}}, 1, 200}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DiscoveryUsbList, RepeatedSerialKeepsItsPlaceAndTakesTheLaterModel) {
    std::vector<std::pair<uint32_t, uint8_t>> modules;
    corvane::discovery::addUsbModule(modules, 0x10, 1);
    corvane::discovery::addUsbModule(modules, 0x20, 2);
    corvane::discovery::addUsbModule(modules, 0x10, 3);
    EXPECT_EQ(modules, (std::vector<std::pair<uint32_t, uint8_t>>{{0x10, 3}, {0x20, 2}}));
    for (uint32_t serial = 0x100; serial < 0x200; ++serial)
        corvane::discovery::addUsbModule(modules, serial, 1);
    EXPECT_EQ(modules.size(), 128u);
}

TEST(DiscoveryAddresses, DottedTextNeedsRoomFor22Bytes) {
    char text[22];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0x0109000A, text, 21), 0u);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0x0109000A, nullptr, 22), 0u);
    ASSERT_EQ(aDiscovery_ConvertIPv4Interface(0x0109000A, text, sizeof text), 8u);
    EXPECT_STREQ(text, "10.0.9.1");

    uint32_t addresses[64];
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 64), 0u);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 0), 0u);
    const uint32_t n = aDiscovery_GetIPv4Interfaces(addresses, 64);
    EXPECT_GT(n, 0u); // loopback at least
}

// An emulated USB module whose endpoint accepts connections is there to be found, yet a type
// without enumeration and a null callback still count nothing.
TEST(DiscoveryEnumerate, TypesWithoutEnumerationAndNullCallbacksCountNothing) {
    const int endpoint = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(endpoint, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(endpoint, 8), 0);
    ASSERT_EQ(getsockname(endpoint, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string entry = "0000A001:13@127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    setenv("CORVANE_USB_EMULATION", entry.c_str(), 1);

    int calls = 0;
    const aDiscoveryModuleFoundProc countAll = [](const linkSpec*, bool* found, void* calls) {
        ++*static_cast<int*>(calls);
        *found = true;
        return true;
    };
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, countAll, &calls, 0), 1u);
    EXPECT_EQ(calls, 1);
    const struct {
        linkType type;
        aDiscoveryModuleFoundProc callback;
    } nothing[] = {{SERIAL, countAll}, {USB, nullptr}};
    for (const auto& c : nothing)
        EXPECT_EQ(aDiscovery_EnumerateModules(c.type, c.callback, &calls, 0), 0u) << c.type;
    EXPECT_EQ(calls, 1);
    linkSpec* found = aDiscovery_FindModule(USB, 0xA001, 0);
    EXPECT_NE(found, nullptr);
    aLinkSpec_Destroy(&found);
    EXPECT_EQ(aDiscovery_FindModule(SERIAL, 0xA001, 0), nullptr);
    unsetenv("CORVANE_USB_EMULATION");
    close(endpoint);
}

// A group is an address: names, and texts a lenient parser would still turn into one, are
// refused without any resolver being asked. The same call with a group address is taken, so each
// refusal is the text's.
TEST(Multicast, RefusesMisuse) {
    if (!testsupport::enterNetworkNamespace())
        return;
    uint8_t byte = 0;
    EXPECT_EQ(aMulticast_Send(nullptr, &byte, 1), -2);
    EXPECT_EQ(aMulticast_Receive(nullptr, &byte, 1), -2);
    EXPECT_EQ(aMulticast_Destroy(nullptr), -2);
    aMulticast* taken = aMulticast_Create(testsupport::kNamespaceAddress, "232.2.2.2", 9888, true);
    EXPECT_NE(taken, nullptr);
    aMulticast_Destroy(&taken);
    for (const char* group : {"not a group", "localhost", "232.2.2", "0xE8020202", "232.2.2.2 ",
                              "232.2.2.2.", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(aMulticast_Create(testsupport::kNamespaceAddress, group, 9888, true), nullptr)
            << (group != nullptr ? group : "(null)");
}

struct EmulationCase {
    const char* text;
    bool ok;
    size_t count;
};

class UsbEmulationList : public ::testing::TestWithParam<EmulationCase> {};

TEST_P(UsbEmulationList, Parses) {
    std::vector<corvane::usb::EmulatedModule> modules;
    EXPECT_EQ(corvane::usb::parseEmulationList(GetParam().text, modules), GetParam().ok);
    EXPECT_EQ(modules.size(), GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UsbEmulationList,
    ::testing::Values(EmulationCase{"", true, 0},
                      EmulationCase{"1A2B3C4D:13@127.0.0.1:4000", true, 1},
                      EmulationCase{"1:1@127.0.0.1:1,FFFFFFFF:FF@10.0.0.1:65535", true, 2},
                      EmulationCase{"1:1@127.0.0.1:1,,", true, 1},
                      EmulationCase{"1A2B3C4D@127.0.0.1:4000", false, 0},
                      EmulationCase{"1:0@127.0.0.1:4000", false, 0},
                      EmulationCase{"1:1@localhost:4000", false, 0},
                      EmulationCase{"1:1@127.0.0.1:0", false, 0},
                      EmulationCase{"1:1@127.0.0.1:70000", false, 0},
                      EmulationCase{"1:1@127.0.0.1:1,123456789:1@127.0.0.1:1", false, 1}));

// One entry through the public parser: the part named for each malformed one, in the order the
// parts are checked, and a refused entry leaves the caller's module alone.
TEST(UsbEmulationEntry, NamesTheFirstMalformedPart) {
    const std::pair<const char*, aUSBEntryFault> cases[] = {
        {"1A2B3C4D:13@127.0.0.1:4000", aUSBEntryFine},
        {"FFFFFFFF:ff@10.0.0.1:65535", aUSBEntryFine},
        {"1A2B3C4D@127.0.0.1:4000", aUSBEntryShape},
        {"1:1:127.0.0.1@4000", aUSBEntryShape},
        {"", aUSBEntryShape},
        {"123456789:1@127.0.0.1:1", aUSBEntrySerial},
        {"12G4:1@127.0.0.1:1", aUSBEntrySerial},
        {":1@127.0.0.1:1", aUSBEntrySerial},
        {"1:0@127.0.0.1:4000", aUSBEntryModel},
        {"1:100@127.0.0.1:4000", aUSBEntryModel},
        {"1:0@nowhere:x", aUSBEntryModel},
        {"1:1@localhost:4000", aUSBEntryAddress},
        {"1:1@127.0.0.01:4000", aUSBEntryAddress},
        {"1:1@127.0.0.1:0", aUSBEntryPort},
        {"1:1@127.0.0.1:70000", aUSBEntryPort},
        {"1:1@127.0.0.1:", aUSBEntryPort},
        {"1:1@127.0.0.1:+80", aUSBEntryPort},
    };
    for (const auto& [entry, expected] : cases) {
        aUSBEmulatedModule module{0xAA, 0xBB, 0xCC, 0xDD};
        aUSBEntryFault fault = aUSBEntryShape;
        EXPECT_EQ(aUSB_ParseEmulationEntry(entry, &module, &fault),
                  expected == aUSBEntryFine ? aErrNone : aErrParse)
            << entry;
        EXPECT_EQ(fault, expected) << entry;
        if (expected != aUSBEntryFine) {
            EXPECT_EQ(std::tie(module.serialNumber, module.address, module.port, module.model),
                      std::make_tuple(0xAAu, 0xBBu, uint16_t{0xCC}, uint8_t{0xDD}))
                << entry;
        }
    }
    aUSBEmulatedModule module{};
    EXPECT_EQ(aUSB_ParseEmulationEntry("FFFFFFFF:ff@10.0.0.1:65535", &module, nullptr), aErrNone);
    EXPECT_EQ(module.serialNumber, 0xFFFFFFFFu);
    EXPECT_EQ(module.model, 0xFF);
    EXPECT_EQ(module.address, htonl(0x0A000001));
    EXPECT_EQ(module.port, 65535);
    aUSBEntryFault fault = aUSBEntryShape;
    EXPECT_EQ(aUSB_ParseEmulationEntry(nullptr, &module, &fault), aErrParam);
    EXPECT_EQ(fault, aUSBEntryFine);
    EXPECT_EQ(aUSB_ParseEmulationEntry("1:1@127.0.0.1:1", nullptr, nullptr), aErrParam);
}

TEST(UsbEmulationList, EntryFields) {
    std::vector<corvane::usb::EmulatedModule> modules;
    ASSERT_TRUE(corvane::usb::parseEmulationList("1A2B3C4D:13@127.0.0.1:4000", modules));
    ASSERT_EQ(modules.size(), 1u);
    EXPECT_EQ(modules[0].serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(modules[0].model, 0x13);
    EXPECT_EQ(modules[0].address, 0x0100007Fu);
    EXPECT_EQ(modules[0].port, 4000);
    EXPECT_EQ(corvane::usb::emulatedSerialText(0xC0FFEE), "00C0FFEE");
}

} // namespace
