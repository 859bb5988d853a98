// Corvane::Link: one connection to a module (an engine link from aLink.h) with the specifier
// that says how to reach it, its sharing settings and its packet log, plus the raw packet, UEI,
// store slot and factory data exchanges that run over it.
#pragma once

#include "aDiscovery.h"
#include "aError.h"
#include "aLink.h"
#include "aPacket.h"
#include "aUEI.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <vector>

// 127.0.0.1 in network byte order, as the configuration stores interface addresses.
inline constexpr uint32_t aETHERCONFIG_LOOPBACK =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0x0100007Fu : 0x7F000001u;

// Sharing settings of one Link, passed by value.
struct aEtherConfig {
    // USB connections go through the local sharing server and aEther specifiers are reached as
    // its clients; when false a USB connection is a plain USB link and aEther is refused.
    bool enabled = true;
    // discoverAndConnect over USB or aEther tries the other of the two when the first fails.
    bool fallback = true;
    // Handed to the sharing server when it is created: serve this machine only.
    bool localOnly = true;
    // Port of the sharing server; written by the server when it starts.
    uint16_t assignedPort = 0;
    // IPv4 interface (network byte order) for discovery and a sharing client's server address.
    uint32_t networkInterface = aETHERCONFIG_LOOPBACK;
};

namespace Corvane {

using ::aEtherConfig;
using ::linkSpec;
using ::linkType;
using ::uei;

// The element selector of Link::getStreamKeyElement.
enum STREAM_KEY {
    STREAM_KEY_MODULE_ADDRESS = 0,
    STREAM_KEY_CMD = 1,
    STREAM_KEY_OPTION = 2,
    STREAM_KEY_INDEX = 3,
    STREAM_KEY_SUBINDEX = 4
};

// The kind of a stream packet (data byte 3; BYTES for a packet of a byte-array stream).
enum STREAM_PACKET {
    STREAM_PACKET_UNKNOWN = 0,
    STREAM_PACKET_BYTE = 1,
    STREAM_PACKET_SHORT = 2,
    STREAM_PACKET_INT = 3,
    STREAM_PACKET_BYTES = 4,
    STREAM_PACKET_SUBINDEX_BYTE = 5,
    STREAM_PACKET_SUBINDEX_SHORT = 6,
    STREAM_PACKET_SUBINDEX_INT = 7
};

// One streamed UEI and its latest value (Link::getStreamStatus).
struct StreamStatusEntry {
    uint64_t key;
    uint32_t value;
};

// Called on the Link's callback thread with a copy of a stream packet (valid during the call)
// and the reference given at registration. Its result is not used.
using StreamCallback = std::function<uint8_t(const aPacket* packet, void* reference)>;

// A filter for Link::receiveUEI: non-zero for the awaited reply. It runs under the incoming
// FIFO's lock with the caller's uei* as reference and may fill in the record's value.
using ueiFilter = uint8_t (*)(const aPacket* packet, const void* reference);

// Copying a Link is refused: it owns its engine link use, its packet logger and its stream
// registry, which exactly one object may release. A Module owns its Link; share the Module
// (or connect a second Link through connectThroughLinkModule) instead.
//
// Thread-safety: connects are serialised process-wide; the packet exchanges may run from any
// thread, but two threads running exchanges of the same kind on one link take each other's
// replies, so callers serialise those. Configuration and specifier changes are for one thread.
class CORVANE_API Link {
  public:
    static constexpr uint8_t STREAM_WILDCARD = 0xFF;

    // name: at most 1024 characters are kept (null gives an empty name).
    explicit Link(const char* name);
    Link(linkSpec spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // ---- Discovery and connection ----

    // Calls callback once per module of the type found on networkInterface (see
    // aDiscovery_EnumerateModules). aErrNotFound when none was reported.
    static aErr sDiscover(linkType type, aDiscoveryModuleFoundProc callback, void* reference,
                          uint32_t networkInterface);
    // Appends every module found to *list. aErrParam for a null list.
    static aErr sDiscover(linkType type, std::list<linkSpec>* list, uint32_t networkInterface);

    // Finds the module (by serial number, or with 0 the first of the model, any model with
    // model 0), stores its specifier and connects. Over USB or aEther with fallback set, a
    // failure to find or connect tries the other of the two once. aErrPermission when the
    // module was not found but a USB device of the family could not be opened by this user.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    // Connects by the stored specifier. aErrConfiguration without one, aErrConnection when an
    // engine link exists already (disconnect first).
    aErr connect();
    // Reaches the module through other's engine link (a router module's), by this Link's own
    // stored specifier. aErrInitialization when other has no engine link.
    aErr connectThroughLinkModule(Link& other);
    // Drops this Link's use of its engine link; the specifier is kept for a reconnect.
    aErr disconnect();
    // Stops, reopens and restarts the engine link (aLink_Reset). Always aErrNone.
    aErr reset();

    bool isConnected() const;
    // The engine link's status: LINK_ERROR (8) without one, LINK_INVALID when it is gone.
    linkStatus getStatus() const;

    // Asks the module at the other end of the link for its address: waits up to 1000 ms for
    // an empty packet. *address is 0 on failure; aErrNotReady when not running or no answer.
    aErr getModuleAddress(uint8_t* address);

    // aErrParam for a null config.
    aErr getConfig(aEtherConfig* config) const;
    // aErrMode while the link runs (nothing changes).
    aErr setConfig(aEtherConfig config);
    const char* getName() const;
    // aErrNotFound without a stored specifier; aErrParam for a null spec.
    aErr getLinkSpecifier(linkSpec* spec) const;
    // aErrBusy while the link runs.
    aErr setLinkSpecifier(linkSpec spec);

    // ---- Raw packets ----

    // Sends a packet of command then length bytes of data (length at most 27) to address.
    // aErrConnection not running, aErrParam too long or null data with a length, aErrPacket
    // for address 0 or odd.
    aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    // Waits up to 1000 ms for the first incoming packet whose first *length data bytes equal
    // match (*length 0 takes any packet; the packet's address is not compared). data receives
    // all its data bytes (room for 28), *length its length. aErrTimeout without one.
    aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data);

    // ---- Store slots (command 4) and factory data (command 94); address is not checked ----

    aErr loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data,
                       uint32_t length);
    // aErrOverrun when the slot holds more than bufferLength bytes (the buffer holds the
    // first ones); *unloadedLength is min(bufferLength, slot size).
    aErr unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer,
                         uint32_t bufferLength, uint32_t* unloadedLength);
    aErr storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, uint32_t* size);
    aErr storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, uint32_t* capacity);
    // aErrOverrun when the block does not fit the buffer.
    aErr getFactoryData(uint8_t address, uint8_t index, uint8_t* buffer, uint32_t bufferLength,
                        uint32_t* unloadedLength);
    aErr setFactoryData(uint8_t address, uint8_t index, const uint8_t* data, uint32_t length);

    // ---- Packet log and pooling ----

    // Records every packet sent and received into fileName, one line each, from a logger
    // thread. aErrConfiguration without an engine link.
    aErr enablePacketLog(const char* fileName);
    aErr disablePacketLog();
    // With pooling on, queued packets leave in batches of up to 4096 bytes, one stream write
    // each. It works on every link, a link to a shared module included: the sharing client
    // sends each packet of a batch to the server as a frame of its own, as the server takes
    // them. aErrParam when the engine link cannot be looked up.
    aErr enablePooledPackets(bool enable);

    // ---- UEIs ----

    // Sends a request. aErrConnection not running, aErrPacket bad module address, aErrParam
    // for a type without a packet form (nothing is sent) or typeBytes without bytes.
    aErr sendUEI(uei request);
    // The same with a subindex byte before the value (not for typeBytes).
    aErr sendUEI(uei request, uint8_t subindex);
    // Waits for the reply matching module, command, option (operation bits included) and
    // index, and decodes it into *reply (an error reply sets specifier bit 7 and byteVal to
    // the code). The wait is 1000 ms, 4000 ms when *reply is typeBytes above 1000 bytes.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                    ueiFilter filter);
    // Removes every incoming packet the default reply filter accepts for these values.
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // ---- Streaming ----

    // Stream keys: module << 24 | command << 16 | option << 8 | index | subindex << 32; an
    // element of STREAM_WILDCARD in a registered key matches every value of that element.
    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);

    // Registers (enable) or removes (disable, with every registration it covers) the stream of
    // module, command, option and index (any of the last three may be STREAM_WILDCARD), and
    // tells the module with command 93. callback, when not empty, receives every stream packet
    // the registration covers on the callback thread. A failure (aErrParam for an odd module
    // address, the module's error reply, no link) removes what the call registered.
    aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                bool enable, StreamCallback callback, void* reference);
    aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    // Asks the module whether it streams: *status is its answer.
    aErr isLinkStreaming(uint8_t module, uint8_t* status);

    // The stream cache's latest value of a UEI: aErrNotFound when the UEI is not streaming
    // (the value must then be asked from the module), aErrStreamStale when no new sample
    // arrived since the last read (*value holds the last one).
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        uint8_t subindex, uint32_t* value);
    // Key and latest value of every streamed UEI the five elements match (STREAM_WILDCARD
    // matches all), registrations left out. aErrSize when more than count match (count are
    // written); *unloadedCount the number written.
    aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                         uint8_t subindex, StreamStatusEntry* entries, size_t count,
                         size_t* unloadedCount);
    // Keys of the registry entries the five elements match. lock false: the caller holds the
    // registry (from inside the stream machinery only).
    std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                 uint8_t index, uint8_t subindex, bool lock);
    // Stream packets handed to the callback queue but dropped because it was full: callbacks
    // that do not keep up with the stream.
    uint64_t getStreamCallbackDrops() const;

    // The stream filter the engine runs on its reader thread (reference: the Link's state).
    static bool linkStreamFilter(const aPacket* packet, void* reference);

    // A UEI packet from the module with option operation 0 and specifier bit 6, longer than 4.
    static bool isStreamPacket(const aPacket* packet);
    // false (and *kind STREAM_PACKET_UNKNOWN) for anything but a stream packet.
    static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind);
    static bool isSubindexType(STREAM_PACKET kind);
    // A stream packet of a single value whose length fits its kind.
    static bool isStreamSample(const aPacket* packet);
    // aErrPacket for anything but a valid sample, aErrSize for a byte-array stream packet. Null
    // outputs are skipped; *subindex is 0 for kinds without one.
    static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value,
                                uint8_t* subindex);
    // Bits 32-63 and 0-31 of a timestamp; null outputs are skipped.
    static aErr getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower);

  private:
    friend class EntityClass; // takes byte-array replies as runs
    struct Impl;
    Impl* impl_;
};

} // namespace Corvane
