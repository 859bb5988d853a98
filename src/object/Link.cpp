// Corvane::Link: connecting by specifier, by discovery or through a router's link, the address
// query, raw packets, the packet log and the sharing configuration.
#include "LinkImpl.h"

#include "UEIWire.h"
#include "aDebugTrace.h"

#include "corvane/aFile.h"
#include "corvane/aTime.h"

#include <algorithm>
#include <cstring>

namespace Corvane {

namespace {

constexpr std::size_t kMaxNameLength = 1024;
// The connect step waits out a starting or synchronising link for up to 200 polls of 10 ms.
constexpr int kRunPolls = 200;
constexpr uint32_t kRunPollMs = 10;
// Packet log entries: at most this many bytes are read per line; an empty log is polled.
constexpr uint8_t kLogEntryMax = 64;
constexpr uint32_t kLogIdleMs = 5;
constexpr uint8_t kLogTagSent = 1;
constexpr uint8_t kLogTagText = 3;

aErr statusToConnectResult(linkStatus status, bool* keepWaiting) {
    *keepWaiting = false;
    switch (status) {
    case LINK_RUNNING: return aErrNone;
    case LINK_STOPPING: return aErrBusy;
    case LINK_INVALID:
    case IO_ERROR:
    case LINK_ERROR: return aErrConnection;
    case LINK_STOPPED:
    case LINK_STARTING:
    case LINK_SYNCING: *keepWaiting = true; return aErrConnection;
    }
    return aErrDuplicate; // 7 and anything above 8
}

bool anyEmptyPacket(const aPacket* packet, void*) {
    return packet->length == 0;
}

struct PacketMatch {
    uint8_t address;
    const uint8_t* bytes;
    uint8_t length;
};

// Only the module asked answers: behind a router, a late reply of another module to the same
// kind of request must not be taken for this one's.
bool leadingBytesMatch(const aPacket* packet, void* reference) {
    const auto* match = static_cast<const PacketMatch*>(reference);
    return packet->address == match->address && packet->length >= match->length &&
           (match->length == 0 || std::memcmp(packet->data, match->bytes, match->length) == 0);
}

// Runs on the packet logger's thread: one log entry becomes one line of the file.
void formatPacketLogEntry(aFile* log, uint32_t link) {
    uint8_t tag = 0;
    uint8_t length = kLogEntryMax;
    uint8_t bytes[kLogEntryMax];
    if (aLink_PacketDebug_Read(link, &tag, &length, bytes) != aErrNone) {
        aTime_MSSleep(kLogIdleMs);
        return;
    }
    aFile_Printf(log, "%d %s ", length, tag == kLogTagSent ? ">" : "<");
    for (uint8_t i = 0; i < length; ++i)
        aFile_Printf(log, tag == kLogTagText ? "%c" : "0x%X ", bytes[i]);
    aFile_Printf(log, "\r\n");
}

} // namespace

aErr putPacket(aLinkRef link, uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t none = 0; // the packet calls want data even for an empty packet
    aPacket* packet = aPacket_CreateWithData(address, length, data ? data : &none);
    if (!packet)
        return aErrResource;
    const aErr err = aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr awaitAndDrop(aLinkRef link, aPacketFilter filter, void* reference, uint32_t timeoutMs) {
    aPacket* packet = aLink_AwaitFirst(link, filter, reference, timeoutMs);
    if (!packet)
        return aErrTimeout;
    aPacket_Destroy(&packet);
    return aErrNone;
}

Link::Impl::Impl(Link& o, const char* n)
    : owner(o), name(n ? std::string(n, strnlen(n, kMaxNameLength)) : std::string()) {}

bool Link::Impl::running() const {
    return linkId != 0 && aLink_GetStatus(linkId) == LINK_RUNNING;
}

aErr Link::Impl::connectStep() {
    if (!spec)
        return aErrConfiguration;
    // Two Links connecting to one module at once meet in the engine's registry, which makes its
    // link once, and a USB module gets one sharing server however many ask at once.
    switch (spec->type) {
    case USB:
        // Shared: a USB link, a sharing server on it and this process's client link to it;
        // the server's port and interface are written back into the configuration. When
        // this process serves the module already (another Module has it), that server is
        // the way in, as it is for every other client: the USB device takes one claim only.
        if (config.enabled) {
            linkId = aLink_CreateServer(spec->serialNumber, &config.assignedPort,
                                        &config.networkInterface, config.localOnly);
        } else {
            linkId = aLink_CreateUSB(spec->serialNumber);
        }
        ownsUse = linkId != 0;
        break;
    case TCPIP:
        if (spec->port > 0xFFFF)
            return aErrParam;
        linkId = aLink_CreateTCPIP(spec->ipAddress, static_cast<uint16_t>(spec->port));
        ownsUse = linkId != 0;
        break;
    case SERIAL: {
        // The port name starts at the port field and runs to the record's end.
        char portName[sizeof(linkSpec) - offsetof(linkSpec, port) + 1] = {};
        std::memcpy(portName, reinterpret_cast<const char*>(&*spec) + offsetof(linkSpec, port),
                    sizeof portName - 1);
        linkId = aLink_CreateSerial(spec->serialNumber, portName, spec->ipAddress);
        ownsUse = linkId != 0;
        break;
    }
    case AETHER: {
        if (!config.enabled)
            return aErrConfiguration;
        // With an engine link already taken over (a router's), that link is used as it is
        // and no use is added for this Link. Without one, port 0 names no server.
        const aLinkRef existing = linkId;
        if (spec->port > 0xFFFF || (existing == 0 && spec->port == 0))
            return aErrParam;
        linkId = aLink_CreateClient(spec->ipAddress, static_cast<uint16_t>(spec->port), existing);
        ownsUse = existing == 0 ? linkId != 0 : ownsUse;
        break;
    }
    default: return aErrMode;
    }
    if (linkId == 0)
        return aErrConnection;
    for (int poll = 0;; ++poll) {
        bool keepWaiting = false;
        const aErr err = statusToConnectResult(aLink_GetStatus(linkId), &keepWaiting);
        if (!keepWaiting || poll == kRunPolls) {
            if (err == aErrNone)
                resumePacketLog();
            return err;
        }
        aTime_MSSleep(kRunPollMs);
    }
}

aErr Link::Impl::startPacketLog(const char* fileName) {
    if (const aErr err = aLink_PacketDebug_Enable(linkId); err != aErrNone)
        return err;
    // The logger reads the engine link it was made for; a new engine link (after a reconnect)
    // needs a new one, which appends to the same file.
    if (packetLogger && packetLoggerLink != linkId) {
        if (const aErr err = aLogger_Destroy(&packetLogger); err != aErrNone)
            return err;
    }
    if (!packetLogger) {
        packetLogger = aLogger_Create(linkId, formatPacketLogEntry, fileName);
        if (!packetLogger)
            return aErrIO;
        packetLogFile = fileName;
        packetLoggerLink = linkId;
    }
    const aErr err = aLogger_Enable(packetLogger);
    if (err != aErrNone)
        return err;
    packetLogWanted = true;
    static const uint8_t start[] = "START";
    return aLink_PacketDebug_Write(linkId, kLogTagText, sizeof start, start);
}

void Link::Impl::resumePacketLog() {
    if (!packetLogWanted)
        return;
    const std::string file = packetLogFile;
    if (const aErr err = startPacketLog(file.c_str()); err != aErrNone)
        corvane::debugTrace("packet log not resumed: %d\n", static_cast<int>(err));
}

Link::Link(const char* name) : impl_(new Impl(*this, name)) {}

Link::Link(linkSpec spec, const char* name) : impl_(new Impl(*this, name)) {
    impl_->spec = spec;
}

Link::~Link() {
    disconnect();
    impl_->spec.reset();
    if (impl_->packetLogger)
        aLogger_Destroy(&impl_->packetLogger);
    delete impl_;
}

aErr Link::connect() {
    if (impl_->linkId != 0)
        return aErrConnection;
    return impl_->connectStep();
}

aErr Link::connectThroughLinkModule(Link& other) {
    if (!other.impl_ || other.impl_->linkId == 0)
        return aErrInitialization;
    disconnect(); // a use of an earlier engine link would otherwise be lost
    impl_->linkId = other.impl_->linkId;
    impl_->ownsUse = false;
    return impl_->connectStep();
}

aErr Link::disconnect() {
    // The stream filter refers to this Link; an engine link shared with others outlives it.
    impl_->stopStreaming();
    // Its logger would only poll a link that is gone; a later connect starts a new one.
    if (impl_->packetLogger)
        aLogger_Disable(impl_->packetLogger);
    if (impl_->linkId != 0 && impl_->ownsUse)
        aLink_Destroy(&impl_->linkId);
    impl_->linkId = 0;
    impl_->ownsUse = false;
    return aErrNone;
}

aErr Link::reset() {
    if (impl_->linkId != 0)
        aLink_Reset(impl_->linkId);
    return aErrNone;
}

bool Link::isConnected() const {
    return impl_->running();
}

linkStatus Link::getStatus() const {
    return impl_->linkId == 0 ? LINK_ERROR : aLink_GetStatus(impl_->linkId);
}

aErr Link::getModuleAddress(uint8_t* address) {
    if (!address)
        return aErrParam;
    *address = 0;
    if (!impl_->running())
        return aErrNotReady;
    corvane::debugTrace("getModuleAddress\n");
    if (putPacket(impl_->linkId, aLINK_SYNC_ADDRESS, 0, nullptr) != aErrNone)
        return aErrNotReady;
    corvane::debugTrace("getModuleAddress wait\n");
    aPacket* reply = aLink_AwaitFirst(impl_->linkId, anyEmptyPacket, nullptr, kReplyTimeoutMs);
    if (!reply)
        return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::getConfig(aEtherConfig* config) const {
    if (!config)
        return aErrParam;
    *config = impl_->config;
    return aErrNone;
}

aErr Link::setConfig(aEtherConfig config) {
    if (impl_->running())
        return aErrMode;
    impl_->config = config;
    return aErrNone;
}

const char* Link::getName() const {
    return impl_->name.c_str();
}

aErr Link::getLinkSpecifier(linkSpec* spec) const {
    if (!spec)
        return aErrParam;
    if (!impl_->spec)
        return aErrNotFound;
    *spec = *impl_->spec;
    return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec) {
    if (impl_->running())
        return aErrBusy;
    impl_->spec = spec;
    return aErrNone;
}

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data) {
    if (!impl_->running())
        return aErrConnection;
    if (length > aPACKET_MAXDATA - 1 || (length > 0 && !data))
        return aErrParam;
    if (!validModuleAddress(address))
        return aErrPacket;
    uint8_t bytes[aPACKET_MAXDATA];
    bytes[0] = command;
    if (length > 0)
        std::memcpy(bytes + 1, data, length);
    return putPacket(impl_->linkId, address, static_cast<uint8_t>(length + 1), bytes);
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data) {
    if (!impl_->running())
        return aErrConnection;
    if (!validModuleAddress(address))
        return aErrPacket;
    if (!length || !data || (*length > 0 && !match) || *length > aPACKET_MAXDATA)
        return aErrParam;
    PacketMatch wanted{address, match, *length};
    aPacket* packet = aLink_AwaitFirst(impl_->linkId, leadingBytesMatch, &wanted, kReplyTimeoutMs);
    if (!packet)
        return aErrTimeout;
    std::memcpy(data, packet->data, packet->length);
    *length = packet->length;
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::enablePacketLog(const char* fileName) {
    if (impl_->linkId == 0)
        return aErrConfiguration;
    // The file of the first enable stays the log's, as the logger made for it does.
    return impl_->startPacketLog(impl_->packetLogger ? impl_->packetLogFile.c_str() : fileName);
}

aErr Link::disablePacketLog() {
    if (impl_->linkId == 0)
        return aErrConfiguration;
    impl_->packetLogWanted = false;
    const aErr err = aLink_PacketDebug_Disable(impl_->linkId);
    return impl_->packetLogger ? aLogger_Disable(impl_->packetLogger) : err;
}

aErr Link::enablePooledPackets(bool enable) {
    return aLink_EnablePooledPackets(impl_->linkId, enable);
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value) {
    return impl_->streams.latestValue(makeStreamKey(module, command, option, index, subindex),
                                      value);
}

} // namespace Corvane
