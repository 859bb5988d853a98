// Corvane::Module: one module on a link. It owns its Link, knows the module's address on the
// module network and its model, chooses how to connect, and asks the module about itself.
#pragma once

#include "Link.h"

#include <cstdint>

namespace Corvane {

// Copying a Module is refused: it owns its Link (see Link.h). Entity objects refer to a Module
// by pointer and never own it, so it must outlive them.
class CORVANE_API Module {
  public:
    // Networking on: each successful connect asks the module for its address and adopts it.
    // model 0 accepts any model when connecting by discovery.
    explicit Module(uint8_t address, uint8_t model = 0);
    Module(uint8_t address, bool networking, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Finds the module by serial number (not 0: aErrParam) and connects; aErrPermission as
    // Link::discoverAndConnect says.
    aErr connect(linkType type, uint32_t serialNumber);
    // The same; serial number 0 takes the first module of this Module's model.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // Connects by the given specifier. aErrBusy while the link runs, aErrConnection while an
    // engine link exists.
    aErr connectFromSpec(linkSpec spec);
    // Reaches this module through a router module's link: over its sharing server when the
    // router's configuration has sharing enabled, else over its engine link. The module keeps
    // its address (networking is turned off). aErrNone at once when already running.
    aErr connectThroughLinkModule(Module* router);
    // Connects again by the stored specifier after a disconnect.
    aErr reconnect();
    aErr disconnect();
    bool isConnected() const;
    linkStatus getStatus() const;

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    void setNetworkingMode(bool networking);
    Link* getLink() const;

    aErr getLinkSpecifier(linkSpec* spec) const;
    aErr getConfig(aEtherConfig* config) const;
    aErr setConfig(aEtherConfig config);
    aErr enablePacketLog(const char* fileName);
    aErr disablePacketLog();

    // ---- Module queries (command 73) and debug echo (command 23) ----

    // The firmware build. aErrSize for a reply of another length.
    aErr getBuild(uint32_t* build);
    // aErrNone when the module has the UEI for the operation (0x00 any, 0x40 get, 0x80 set),
    // else the module's answer. aErrParam for another operation byte; nothing is sent then.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t operation);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);
    // Sends the bytes (up to 27) and expects them back. aErrIO when the echo differs.
    aErr debug(const uint8_t* data, uint8_t length);

  private:
    aErr _autoNetwork();

    struct Impl;
    Impl* impl_;
};

} // namespace Corvane
