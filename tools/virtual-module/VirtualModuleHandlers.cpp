// The virtual module's built-in answers: synchronisation, routing, heartbeat answers and the
// system entity, and the dispatch of every other packet to the handlers the models installed.
#include "VirtualModuleImpl.h"

#include "corvane/aError.h"

namespace Corvane::Tools {

void VirtualModule::Impl::installBuiltInHandlers() {
    // Command 0 from the host is the answer to a heartbeat.
    handlers[kCmdHeartbeat] = [this](ModuleConnection& mc, const WirePacket& packet) {
        auto& c = static_cast<Connection&>(mc);
        if (c.pendingHeartbeats > 0 && packet.length == 2 && packet.data[1] == c.heartbeatAnswer) {
            --c.pendingHeartbeats;
            ++counters.heartbeatAnswers;
        } else {
            ++counters.badHeartbeatAnswers;
            trace("unexpected heartbeat answer (length %u)", packet.length);
        }
    };
    handlers[kCmdSystem] = [this](ModuleConnection& c, const WirePacket& request) {
        const ModuleIdentity& id = c.identity();
        if (!isUeiRequest(request)) {
            ++counters.unhandledPackets;
            return;
        }
        const uint8_t option = request.data[1] & kOptionMask;
        if ((request.data[2] & kIndexMask) != 0) {
            c.send(ueiErrorReply(id.address, request, aErrIndexRange));
            return;
        }
        if ((request.data[1] & kOpMask) != kOpGet) {
            c.send(ueiErrorReply(id.address, request, aErrInvalidOption));
            return;
        }
        switch (option) {
        case kOptModule: c.send(WirePacket(id.address, {kCmdSystem, option, 0, id.address})); break;
        case kOptModel:
            ++counters.modelQueries;
            c.send(modelReply(id));
            break;
        case kOptSerialNumber: {
            const uint32_t s = id.serialNumber;
            c.send(WirePacket(id.address, {kCmdSystem, option, 0, static_cast<uint8_t>(s >> 24),
                                           static_cast<uint8_t>(s >> 16),
                                           static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s)}));
            break;
        }
        default: c.send(ueiErrorReply(id.address, request, aErrInvalidOption));
        }
    };
}

void VirtualModule::Impl::handle(Connection& c, const WirePacket& packet) {
    ++counters.packetsReceived;
    ++c.packets;
    if (observer)
        observer(packet);
    const ModuleIdentity& id = config.identity;
    if (c.draining) {
        // A module on its way out takes nothing more in.
    } else if (filter && filter(c, packet)) {
    } else if (packet.address == kSyncAddress && packet.length == 0) {
        // Two empty packets per request, as a module answers: the host sends six requests at a
        // start and must find its step in a stream of answers; a single request (the host asking
        // for the address) gets two as well, and the second answers nothing.
        ++counters.syncRequests;
        queue(c, WirePacket(id.address, {}));
        queue(c, WirePacket(id.address, {}));
    } else if (packet.address == kRoutingAddress && packet.length == 1 && packet.data[0] <= 1) {
        ++(packet.data[0] ? counters.routingOn : counters.routingOff);
    } else if (packet.address == id.address && packet.length >= 1 && handlers[packet.data[0]]) {
        handlers[packet.data[0]](c, packet);
    } else if (packet.address == id.address && isUeiRequest(packet)) {
        queue(c, ueiErrorReply(id.address, packet, aErrInvalidEntity));
    } else {
        ++counters.unhandledPackets;
        trace("unhandled packet to 0x%02X, length %u", packet.address, packet.length);
    }
    if (current.dropAfter != 0 && c.packets >= current.dropAfter) {
        trace("dropping the connection after %llu packets",
              static_cast<unsigned long long>(c.packets));
        ++counters.droppedConnections;
        c.closing = true;
        c.reset = true;
    }
}

} // namespace Corvane::Tools
