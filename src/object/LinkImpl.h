// The private state behind a Corvane::Link and the helpers its exchanges share.
#pragma once

#include "corvane/Link.h"
#include "corvane/aLogger.h"

#include "StreamCallbacks.h"
#include "StreamRegistry.h"
#include "aLinkInternal.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace Corvane {

// Hidden: the Link class is exported, and its nested state would be exported with it.
struct __attribute__((visibility("hidden"))) Link::Impl {
    Impl(Link& owner, const char* name);

    // The engine link exists and runs in step with its module.
    bool running() const;
    // Takes a run of replies from module with a run filter, waiting up to timeoutMs for the
    // first: aErrConnection unless running, aErrPacket for a bad module address, aErrTimeout
    // when no packet was taken.
    aErr receiveRun(uint8_t module, aPacketRunFilter filter, void* reference,
                    uint32_t timeoutMs) const;
    // Creates the engine link from the stored specifier and waits for it to run.
    aErr connectStep();
    // One discover-and-connect attempt over one link type.
    aErr discoverAndConnectOnce(linkType type, uint32_t serialNumber, uint8_t model);

    Link& owner;
    aLinkRef linkId = 0; // 0 while no engine link exists
    // Whether this Link holds a use of linkId, to drop on disconnect: not when it took over a
    // router's link that no creation call counted for it.
    bool ownsUse = false;
    aLogger* packetLogger = nullptr;
    aLinkRef packetLoggerLink = 0; // the engine link packetLogger reads
    std::string packetLogFile;     // of the first enable
    bool packetLogWanted = false;  // enabled and not disabled since: resumed on every connect
    // Enables the engine's packet debug log and the logger that writes it to fileName.
    aErr startPacketLog(const char* fileName);
    void resumePacketLog();
    aEtherConfig config;
    StreamRegistry streams;
    // Streaming's filter and callback thread exist while the registry is not empty; changes
    // to them are serialised by streamControl, taken before the engine's filter lock.
    StreamCallbackThread callbacks;
    std::mutex streamControl;
    // The engine link the stream filter was added to, 0 while it is on none; guarded by
    // streamControl.
    aLinkRef streamFilterLink = 0;
    // Installs or removes the stream filter and the callback thread as the registry requires.
    aErr updateStreamFilter();
    // The engine has taken apart what one read brought: the callbacks queued may run.
    static void streamBurstEnd(void* reference);
    void stopStreaming();
    std::string name;
    std::optional<linkSpec> spec;
};

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
// A packet taken from a FIFO, freed with aPacket_Destroy.
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// Puts one packet of address, length and data on the engine link's outgoing FIFO.
// aErrResource when the packet cannot be built, aErrParam when the link cannot be looked up.
aErr putPacket(aLinkRef link, uint8_t address, uint8_t length, const uint8_t* data);

// Waits up to timeoutMs for the first incoming packet the filter accepts and frees it.
// aErrTimeout without one.
aErr awaitAndDrop(aLinkRef link, aPacketFilter filter, void* reference, uint32_t timeoutMs);

} // namespace Corvane
