// -D -t TCP against hosts that answer discovery badly, inside a private network namespace: each
// module is listed once, replies that name no single host are refused, a module that answers
// nothing or never ends its name still gets its row, and a run stops at its limits and says so.
#include "DiscoveryResponder.h"
#include "NetworkNamespace.h"
#include "RecordingDisplay.h"
#include "RequestReplyModel.h"
#include "ScopedTempDir.h"
#include "UpdaterCommands.h"
#include "VirtualModule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace Corvane::Tools;

namespace {

const char* const kHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)  "
    " [IP address]       Device Name";

std::string row(uint32_t serial, const char* name = "Virtual module") {
    char text[160];
    snprintf(text, sizeof text,
             "    %08X  02       00      RouterBridge   2.11.4 (     10801)        [10.9.0.1]    "
             "     %s",
             serial, name);
    return text;
}

std::string errorRow(uint32_t serial, aErr error) {
    char text[160];
    snprintf(text, sizeof text,
             "    %08X  [Error (%d): Is someone else connected to this device?]  [10.9.0.1]",
             serial, static_cast<int>(error));
    return text;
}

// One module on the namespace's interface, with what it does wrong, and the row it must get
// (none when its replies must be refused).
struct Peer {
    uint32_t serial;
    DiscoveryFaults discovery{};
    ModelFaults model{};
    bool mute = false;
    std::string row{};
};

class DiscoveryPeer {
  public:
    explicit DiscoveryPeer(const Peer& peer) {
        VirtualModuleConfig config;
        config.bindAddress = testsupport::kNamespaceAddressText;
        config.heartbeatMs = 0;
        config.identity.serialNumber = peer.serial;
        config.faults.mute = peer.mute;
        model_ = std::make_unique<RequestReplyModel>(config.identity, peer.model);
        module_ = std::make_unique<VirtualModule>(config);
        model_->install(*module_);
        std::string error;
        EXPECT_TRUE(module_->start(&error)) << error;
        EXPECT_TRUE(responder_.start(testsupport::kNamespaceAddressText, config.identity,
                                     module_->port(), &error, peer.discovery))
            << error;
    }

  private:
    std::unique_ptr<RequestReplyModel> model_; // outlives the module's serving
    std::unique_ptr<VirtualModule> module_;
    DiscoveryResponder responder_;
};

DiscoveryLimits spendingClock(std::chrono::seconds perLook) {
    DiscoveryLimits limits;
    auto looks = std::make_shared<int>(0);
    limits.now = [looks, perLook] {
        return std::chrono::steady_clock::time_point{} + perLook * (*looks)++;
    };
    return limits;
}

TEST(HostileDiscovery, EachModuleOnceWithinTheRunsLimits) {
    if (!testsupport::enterNetworkNamespace())
        return;
    ModelFaults endlessName;
    endlessName.endlessBytes = UeiName{true, 3, 32};
    endlessName.endlessIntervalMs = 200;
    DiscoveryLimits twoModules;
    twoModules.maxModules = 2;
    const auto three = [](uint32_t first) {
        return std::vector<Peer>{{.serial = first, .row = row(first)},
                                 {.serial = first + 1, .row = row(first + 1)},
                                 {.serial = first + 2, .row = row(first + 2)}};
    };
    const struct {
        const char* what;
        std::vector<Peer> peers;
        DiscoveryLimits limits;
        size_t rows;
        std::vector<std::string> errors;
    } cases[] = {
        {"a module heard twenty times among junk, and replies naming no single host",
         {{.serial = 0x0A0A0A0A, .discovery = {20, 40, ""}, .row = row(0x0A0A0A0A)},
          {.serial = 0x0B0B0B0B, .discovery = {1, 0, "255.255.255.255"}},
          {.serial = 0x0C0C0C0C, .discovery = {1, 0, "127.255.255.255"}},
          {.serial = 0x0D0D0D0D, .discovery = {3, 0, "224.0.0.1"}}},
         {},
         1,
         {}},
        {"a module that answers nothing and one whose name never ends, which is cut",
         {{.serial = 0x11111111, .mute = true, .row = errorRow(0x11111111, aErrNotReady)},
          {.serial = 0x22222222,
           .model = endlessName,
           .row = row(0x22222222, "Virtual moduleVirtual moduleVirt...")}},
         {},
         2,
         {}},
        {"more modules than a run reads",
         three(0x30000000),
         twoModules,
         2,
         {"More than 2 modules answered; only the first 2 were read"}},
        {"reading that outlasts the budget",
         three(0x40000000),
         spendingClock(std::chrono::seconds(20)),
         1,
         {"Reading the modules took longer than 30 s; 2 more found were not read"}},
    };
    ScopedTempDir home;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::unique_ptr<DiscoveryPeer>> peers;
        std::vector<std::string> allowed;
        for (const Peer& peer : c.peers) {
            peers.push_back(std::make_unique<DiscoveryPeer>(peer));
            if (!peer.row.empty())
                allowed.push_back(peer.row);
        }
        RecordingDisplay display;
        UpdaterContext context("http://127.0.0.1:1/cgi/u", home.path(), display);
        EXPECT_EQ(discoverCommand(context, {.transport = TCPIP, .limits = c.limits}),
                  CommandStatus::Succeeded);
        std::vector<std::string> lines = display.messages();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[1], "Discovered Devices: (TCPIP)");
        EXPECT_EQ(lines[2], kHeader);
        lines.erase(lines.begin(), lines.begin() + 3);
        EXPECT_EQ(lines.size(), c.rows) << ::testing::PrintToString(lines);
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end()) << "listed twice";
        for (const std::string& line : lines)
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), line), allowed.end()) << line;
        EXPECT_EQ(display.errors(), c.errors);
    }
}

} // namespace
