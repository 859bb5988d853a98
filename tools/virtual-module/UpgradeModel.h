// The virtual module's side of the link upgrade protocol (command 0x5F): a running firmware that
// takes a boot loader, a boot loader that takes firmware chunk by chunk, and a reboot into the
// new firmware, with faults on demand.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "RequestReplyModel.h"
#include "VirtualModule.h"

namespace Corvane::Tools {

// An image tells the virtual module what it is: the tag "CVFW" followed by the build and the
// packed version, each 4 bytes big-endian, anywhere in the firmware bytes.
inline constexpr uint8_t kFirmwareTag[4] = {'C', 'V', 'F', 'W'};

struct UpgradeStats {
    uint64_t dataPackets = 0;
    uint64_t dataBytes = 0;
    uint64_t ueiDataRuns = 0;
    uint64_t writes = 0;
    uint64_t loads = 0;
    uint64_t reboots = 0;
    uint64_t prepares = 0;
};

class UpgradeModel {
  public:
    // chunkSize: announced by PREPARE; model: serves the new build and version after a reboot.
    UpgradeModel(RequestReplyModel& model, uint16_t chunkSize = 1024, UpgradeFaults faults = {});
    ~UpgradeModel();
    UpgradeModel(const UpgradeModel&) = delete;
    UpgradeModel& operator=(const UpgradeModel&) = delete;

    // Installs the handler of command 0x5F and the filter for the loader's late LOAD answer.
    void install(VirtualModule& module);

    void setFaults(const UpgradeFaults& faults);
    UpgradeStats stats() const;
    bool inBootLoader() const;
    // The committed firmware bytes by block address, and the last loader image received.
    std::map<uint32_t, std::vector<uint8_t>> firmware() const;
    std::vector<uint8_t> loader() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace Corvane::Tools
