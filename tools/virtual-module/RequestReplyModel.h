// The virtual module's request/reply model: entity UEIs (get, set, call, UEIBytes in both
// directions), module queries, the debug echo, store slots and factory data, served from the
// model's table (ModelTable.h) through the module's per-command handlers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ModelFaults.h"
#include "VirtualModule.h"

namespace Corvane::Tools {

class RequestReplyModel {
  public:
    // Serves the table of identity.model. Values start as the table says.
    explicit RequestReplyModel(const ModuleIdentity& identity, const ModelFaults& faults = {});
    ~RequestReplyModel();
    RequestReplyModel(const RequestReplyModel&) = delete;
    RequestReplyModel& operator=(const RequestReplyModel&) = delete;

    // Installs the handlers of every command the model answers; before module.start(). The
    // model must outlive the module's serving.
    void install(VirtualModule& module);

    // The firmware the module runs from now on: its build and packed version (0 keeps each).
    void setFirmware(uint32_t build, uint32_t version);
    // The serial number the module reports from now on, as firmware built for another module
    // would.
    void setSerialNumber(uint32_t serialNumber);
    // Sets a stored scalar value (a get-only one too), as the module's firmware would. False
    // when the model has no such value.
    bool setValue(uint8_t command, uint8_t index, uint8_t option, uint8_t parameter,
                  uint32_t value);
    // Sets a byte array (the module's name is 3:0:32), as the module's firmware would, up to the
    // longest a host may set. False when the model has no such array or it is longer.
    bool setBytes(uint8_t command, uint8_t index, uint8_t option, const std::string& bytes);

    // Faults take effect with the next request; the one-shot ones clear themselves once used.
    void setFaults(const ModelFaults& faults);
    ModelFaults faults() const;

    // What the module holds now, for checks from outside: a store slot, a factory data block,
    // a byte array of a UEI and a scalar UEI value (by parameter or subindex where it has one).
    std::optional<std::vector<uint8_t>> slot(uint8_t store, uint8_t slot) const;
    std::optional<std::vector<uint8_t>> factoryBlock(uint8_t index) const;
    std::optional<std::vector<uint8_t>> bytes(uint8_t command, uint8_t index, uint8_t option) const;
    std::optional<uint32_t> value(uint8_t command, uint8_t index, uint8_t option,
                                  uint8_t parameter = 0) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace Corvane::Tools
