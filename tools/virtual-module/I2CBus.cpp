// The modules behind a virtual router and the bus they answer on.
#include "I2CBus.h"

#include "corvane/aError.h"

namespace Corvane::Tools {

namespace {

// The module's side of the host connection: its own identity, the router's wire. A module that
// restarts (into its boot loader, or into new firmware) leaves the router's link up.
class BusConnection final : public ModuleConnection {
  public:
    BusConnection(ModuleConnection& host, const ModuleIdentity& identity)
        : host_(host), identity_(identity) {}
    const ModuleIdentity& identity() const override { return identity_; }
    void send(const WirePacket& packet) override { host_.send(packet); }
    void close() override {}
    // A bus transfer that breaks off loses this packet's answer; the router's link stays.
    void abort() override {}
    uint64_t id() const override { return host_.id(); }

  private:
    ModuleConnection& host_;
    const ModuleIdentity& identity_;
};

} // namespace

BusModule::BusModule(const BusModuleConfig& config)
    : identity_(config.identity), handlers_(VirtualModuleConfig{}), model_(identity_),
      upgrade_(model_, config.chunkSize, config.upgradeFaults) {
    model_.install(handlers_);
    model_.setFirmware(config.build, config.packedVersion);
    upgrade_.install(handlers_);
}

void BusModule::serve(ModuleConnection& host, const WirePacket& packet) {
    BusConnection connection(host, identity_);
    if (packet.length == 0)
        return;
    if (const PacketHandler handler = handlers_.handler(packet.data[0])) {
        handler(connection, packet);
    } else if (isUeiRequest(packet)) {
        connection.send(
            ueiErrorReply(identity_.address, packet, static_cast<uint8_t>(aErrInvalidEntity)));
    }
}

bool I2CBus::attach(const BusModuleConfig& config, std::string* error) {
    const uint8_t address = config.identity.address;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (address % 2 != 0 || address < kFirstBusAddress || address > kLastBusAddress)
        return fail("bus address " + std::to_string(address) + " is not even and within 2 to 252");
    if (modules_.count(address) != 0)
        return fail("bus address " + std::to_string(address) + " is taken");
    modules_.emplace(address, std::make_unique<BusModule>(config));
    return true;
}

BusModule* I2CBus::at(uint8_t address) const {
    const auto found = modules_.find(address);
    return found == modules_.end() ? nullptr : found->second.get();
}

bool I2CBus::acknowledges(uint8_t address) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        probed_.push_back(address);
    }
    return presentEverywhere_ || at(address) != nullptr;
}

std::vector<uint8_t> I2CBus::probed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return probed_;
}

} // namespace Corvane::Tools
