// The peer of the object layer tests: a virtual module with its request/reply model on loopback,
// a record of every packet it received, and a Module connected to it over TCP/IP.
#pragma once

#include "LinkTestSupport.h"
#include "RequestReplyModel.h"
#include "VirtualModule.h"

#include "corvane/EntityClass.h"
#include "corvane/Module.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace objecttest {

using Corvane::Tools::WirePacket;

struct PeerOptions {
    uint8_t address = 2;
    // Handlers that replace the model's for some commands, to script exact replies.
    std::map<uint8_t, Corvane::Tools::PacketHandler> handlers;
    // Sees every packet first, whatever its address; true takes it.
    std::function<bool(Corvane::Tools::ModuleConnection&, const WirePacket&)> filter;
};

class ModulePeer {
  public:
    explicit ModulePeer(PeerOptions options = {})
        : module_(config(options)), model_(module_config_.identity) {
        model_.install(module_);
        for (auto& [command, handler] : options.handlers)
            module_.setHandler(command, handler);
        if (options.filter)
            module_.setPacketFilter(options.filter);
        module_.setPacketObserver([this](const WirePacket& packet) {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(packet);
        });
        std::string error;
        if (!module_.start(&error))
            ADD_FAILURE() << "virtual module: " << error;
    }
    // The module's thread calls the model and the observer: it ends before they go.
    ~ModulePeer() { module_.stop(); }

    linkSpec spec() const {
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serialNumber = module_config_.identity.serialNumber;
        spec.ipAddress = htonl(INADDR_LOOPBACK);
        spec.port = module_.port();
        return spec;
    }

    Corvane::Tools::VirtualModule& module() { return module_; }
    Corvane::Tools::RequestReplyModel& model() { return model_; }

    // Packets received so far whose first data byte is command.
    std::vector<WirePacket> received(uint8_t command) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<WirePacket> out;
        for (const WirePacket& p : seen_)
            if (p.length > 0 && p.data[0] == command && p.address < 0xAD)
                out.push_back(p);
        return out;
    }

    // Waits for the module to have received count packets of command.
    bool awaitReceived(uint8_t command, std::size_t count) const {
        return waitUntil([&] { return received(command).size() >= count; },
                         std::chrono::seconds(5));
    }

  private:
    Corvane::Tools::VirtualModuleConfig config(const PeerOptions& options) {
        module_config_.heartbeatMs = 0;
        module_config_.identity.address = options.address;
        return module_config_;
    }

    Corvane::Tools::VirtualModuleConfig module_config_;
    Corvane::Tools::VirtualModule module_;
    Corvane::Tools::RequestReplyModel model_;
    mutable std::mutex mutex_;
    std::vector<WirePacket> seen_; // guarded by mutex_
};

// An entity of any class, with the protected helpers opened for tests.
class TestEntity : public Corvane::EntityClass {
  public:
    TestEntity(Corvane::Module* module, uint8_t command, uint8_t index = 0) {
        init(module, command, index);
    }
    using EntityClass::awaitUEI32Val;
    using EntityClass::getUEI;
    using EntityClass::receivePacket;
    using EntityClass::sendPacket;
    using EntityClass::setUEI;
};

// A Module connected over TCP/IP to a fresh peer; options come from peerOptions().
class ConnectedModule : public ::testing::Test {
  protected:
    virtual PeerOptions peerOptions() { return {}; }

    void SetUp() override {
        peer = std::make_unique<ModulePeer>(peerOptions());
        module = std::make_unique<Corvane::Module>(2);
        ASSERT_EQ(module->connectFromSpec(peer->spec()), aErrNone);
        link = module->getLink();
    }

    std::unique_ptr<ModulePeer> peer;
    std::unique_ptr<Corvane::Module> module;
    Corvane::Link* link = nullptr;
};

} // namespace objecttest
