// The test programs' send guard (tests/support/SendGuard.cpp): discovery and beacons from a test
// outside its own network namespace are refused and fail it; inside one they go out.
#include "NetworkNamespace.h"
#include "ProcessRunner.h"
#include "platform/beacon.h"
#include "platform/udp.h"

#include "corvane/aDiscovery.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace corvane::platform;

constexpr const char* kCaseVariable = "CORVANE_SEND_GUARD_CASE";
constexpr uint16_t kBeaconPort = 8585;

// Sends what the case names and says whether the sending call succeeded.
bool sendAsTold(const std::string& what) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    if (what == "discovery") {
        aDiscovery_EnumerateModules(
            TCPIP, [](const linkSpec*, bool*, void*) { return true; }, nullptr, 0);
        return true; // the enumeration reports no send failure of its own
    }
    SocketHandle socket = invalidSocket;
    bool sent = false;
    if (what == "beacon") {
        sent = openLoopbackBeaconSocket(kBeaconPort, socket) == aErrNone &&
               sendLoopbackBeacon(socket, kBeaconPort, bytes, sizeof bytes) == aErrNone;
    } else {
        UdpSetup setup;
        setup.bind = true;
        setup.bindAddress = htonl(INADDR_LOOPBACK);
        const uint32_t to =
            what == "limited broadcast" ? htonl(INADDR_BROADCAST) : htonl(INADDR_LOOPBACK);
        sent = openUdp(setup, socket) == aErrNone &&
               sendDatagram(socket, to, kBeaconPort, bytes, sizeof bytes) == aErrNone;
    }
    if (socket != invalidSocket)
        close(socket);
    return sent;
}

// Run by the test below as a program of its own, inside that test's namespace but without its
// mark, so the guard takes it for a test outside any namespace.
TEST(SendGuard, DISABLED_SendsAsTold) {
    const char* what = std::getenv(kCaseVariable);
    ASSERT_NE(what, nullptr);
    std::printf("%s: %s\n", what, sendAsTold(what) ? "sent" : "not sent");
}

TEST(SendGuard, RefusesDatagramsForManyHostsOutsideANamespace) {
    if (!testsupport::enterNetworkNamespace())
        return;
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    // Loopback delivers before the sending call returns: what a listener lacks once the sender
    // has ended never went out.
    SocketHandle listener = invalidSocket;
    ASSERT_EQ(openLoopbackBeaconSocket(kBeaconPort, listener), aErrNone);
    uint8_t heard[16];
    size_t got = 0;
    uint32_t sender = 0;
    const struct {
        const char* what;
        const char* refused; // the guard's words for the datagram, "" when it may go
    } cases[] = {
        {"discovery", "a datagram to 232.2.2.2:9888 would reach other hosts"},
        {"beacon", "a datagram to 127.255.255.255:8585 would reach other hosts"},
        {"limited broadcast", "a datagram to 255.255.255.255:8585 would reach other hosts"},
        {"unicast", ""},
    };
    for (const auto& c : cases) {
        testsupport::ProcessOptions options;
        options.environment[testsupport::kNamespaceMark] = std::nullopt;
        options.environment[kCaseVariable] = c.what;
        const auto r = testsupport::runProcess(
            self,
            {"--gtest_also_run_disabled_tests", "--gtest_filter=SendGuard.DISABLED_SendsAsTold"},
            options);
        const bool goes = *c.refused == '\0';
        EXPECT_EQ(r.exitStatus, goes ? 0 : 1) << c.what << "\n" << r.out << r.err;
        if (!goes) {
            EXPECT_NE(r.out.find(c.refused), std::string::npos) << c.what << "\n" << r.out;
        }
        EXPECT_EQ(receiveBeacon(listener, heard, sizeof heard, got, sender),
                  goes ? SocketOutcome::done : SocketOutcome::wouldBlock)
            << c.what;
    }
    // Inside its namespace a test beacons as it likes.
    EXPECT_TRUE(sendAsTold("beacon"));
    EXPECT_EQ(receiveBeacon(listener, heard, sizeof heard, got, sender), SocketOutcome::done);
    EXPECT_EQ(got, 4u);
    close(listener);
}

} // namespace
