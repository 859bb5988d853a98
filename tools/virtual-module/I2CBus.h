// The emulated I2C bus behind a virtual router: the modules on it, each a whole simulated module
// (identity, request/reply model, upgrade protocol) reached at its bus address.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ModelFaults.h"
#include "RequestReplyModel.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"

namespace Corvane::Tools {

// Bus addresses a router scans: the even ones from 2 to 252.
inline constexpr uint8_t kFirstBusAddress = 2;
inline constexpr uint8_t kLastBusAddress = 252;

struct BusModuleConfig {
    ModuleIdentity identity;    // its address is the bus address
    uint32_t build = 0;         // of the running firmware; 0 keeps the model's
    uint32_t packedVersion = 0; // of the running firmware; 0 keeps the model's
    uint16_t chunkSize = 1024;  // announced by the upgrade protocol's PREPARE
    UpgradeFaults upgradeFaults;
};

// One module on the bus. It has no link of its own: the router hands it the packets addressed
// to it, and its answers go back over the host connection they came on.
class BusModule {
  public:
    explicit BusModule(const BusModuleConfig& config);
    BusModule(const BusModule&) = delete;
    BusModule& operator=(const BusModule&) = delete;

    const ModuleIdentity& identity() const { return identity_; }
    RequestReplyModel& model() { return model_; }
    UpgradeModel& upgrade() { return upgrade_; }

    void serve(ModuleConnection& host, const WirePacket& packet);

  private:
    ModuleIdentity identity_;
    VirtualModule handlers_; // never started: keeps the handlers the models install
    RequestReplyModel model_;
    UpgradeModel upgrade_;
};

class I2CBus {
  public:
    // False with the reason in *error when the address is odd, outside the bus or taken.
    bool attach(const BusModuleConfig& config, std::string* error);
    // The module at a bus address; null when none is there.
    BusModule* at(uint8_t address) const;
    // A transfer to a bus address: true when a module is there to acknowledge it, or at every
    // address of a bus that says present everywhere. Every addressed transfer is recorded, in
    // order.
    bool acknowledges(uint8_t address);
    std::vector<uint8_t> probed() const;
    // A fault: every address acknowledges, though only the modules attached answer packets.
    // Only before serving.
    void setPresentEverywhere(bool everywhere) { presentEverywhere_ = everywhere; }

  private:
    std::map<uint8_t, std::unique_ptr<BusModule>> modules_; // fixed once serving
    bool presentEverywhere_ = false;
    mutable std::mutex mutex_; // guards probed_
    std::vector<uint8_t> probed_;
};

} // namespace Corvane::Tools
