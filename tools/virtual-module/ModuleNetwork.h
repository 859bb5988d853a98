// A module network: a virtual router and the modules behind it on an emulated I2C bus. The
// router answers I2C transfers on its bus (command 8), so a host can probe bus addresses, and
// passes every packet addressed to a module on the bus to that module, whose answers go back to
// the host over the router's link.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "I2CBus.h"
#include "VirtualModule.h"

namespace Corvane::Tools {

class ModuleNetwork {
  public:
    // routerAddress: the router's own module address, which is also its bus address.
    ModuleNetwork(VirtualModule& router, uint8_t routerAddress);
    ModuleNetwork(const ModuleNetwork&) = delete;
    ModuleNetwork& operator=(const ModuleNetwork&) = delete;

    // Puts a module on the bus at its identity's address, reached through this router. False
    // with the reason in *error for an address that is odd, outside the bus, taken or the
    // router's own. Only before install().
    bool attach(BusModuleConfig config, std::string* error = nullptr);

    // A bus that says present at every address: each probe is acknowledged, but only the
    // modules attached answer. Only before install().
    void setPresentEverywhere(bool everywhere) { bus_.setPresentEverywhere(everywhere); }

    // Installs the router's side after its own models, whose packet filter keeps working, and
    // before the router starts. The network must outlive the router's serving.
    void install();

    BusModule* module(uint8_t busAddress) const { return bus_.at(busAddress); }
    // Bus addresses the host's transfers went to, in order.
    std::vector<uint8_t> probed() const { return bus_.probed(); }
    // Packets passed on to modules on the bus.
    uint64_t forwarded() const { return forwarded_; }

  private:
    bool take(ModuleConnection& host, const WirePacket& packet);
    void i2c(ModuleConnection& host, const WirePacket& packet);

    VirtualModule& router_;
    const uint8_t routerAddress_;
    I2CBus bus_;
    std::function<bool(ModuleConnection&, const WirePacket&)> earlierFilter_;
    std::atomic<uint64_t> forwarded_{0};
};

} // namespace Corvane::Tools
