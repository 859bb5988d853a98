// The virtual module's public face: installing handlers and sources, starting and stopping
// the connection loop, faults and counters.
#include "VirtualModuleImpl.h"

namespace Corvane::Tools {

VirtualModule::VirtualModule(VirtualModuleConfig config)
    : impl_(std::make_unique<Impl>(std::move(config))) {}

VirtualModule::~VirtualModule() {
    stop();
}

void VirtualModule::setHandler(uint8_t command, PacketHandler handler) {
    impl_->handlers[command] = std::move(handler);
}

void VirtualModule::setPacketFilter(
    std::function<bool(ModuleConnection&, const WirePacket&)> filter) {
    impl_->filter = std::move(filter);
}

PacketHandler VirtualModule::handler(uint8_t command) const {
    return impl_->handlers[command];
}

std::function<bool(ModuleConnection&, const WirePacket&)> VirtualModule::packetFilter() const {
    return impl_->filter;
}

void VirtualModule::addPeriodicSource(PeriodicSource source) {
    impl_->periodic.push_back(std::move(source));
}

void VirtualModule::setPacketObserver(std::function<void(const WirePacket&)> observer) {
    impl_->observer = std::move(observer);
}

bool VirtualModule::start(std::string* error) {
    if (impl_->thread.joinable()) {
        if (error)
            *error = "already running";
        return false;
    }
    if (!impl_->open(error))
        return false;
    impl_->stopping = false;
    impl_->thread = std::thread([this] { impl_->run(); });
    return true;
}

void VirtualModule::stop() {
    if (!impl_->thread.joinable())
        return;
    impl_->stopping = true;
    os::raiseWake(impl_->loopWake);
    impl_->thread.join();
    os::closeSocket(impl_->listenFd);
    impl_->listenFd = os::kNoSocket;
    os::closeWake(impl_->loopWake);
}

void VirtualModule::unplug() {
    impl_->unplugged = true;
    if (impl_->loopWake.writeEnd >= 0)
        os::raiseWake(impl_->loopWake);
}

uint16_t VirtualModule::port() const {
    return impl_->boundPort;
}

std::string VirtualModule::endpoint() const {
    return impl_->config.bindAddress + ":" + std::to_string(impl_->boundPort);
}

void VirtualModule::setFaults(const FaultSettings& faults) {
    {
        std::lock_guard<std::mutex> lock(impl_->faultsMutex);
        impl_->faults = faults;
    }
    if (impl_->loopWake.writeEnd >= 0)
        os::raiseWake(impl_->loopWake);
}

FaultSettings VirtualModule::faults() const {
    std::lock_guard<std::mutex> lock(impl_->faultsMutex);
    return impl_->faults;
}

VirtualModuleStats VirtualModule::stats() const {
    const Impl::Counters& k = impl_->counters;
    VirtualModuleStats s;
    s.connections = k.connections;
    s.packetsReceived = k.packetsReceived;
    s.noiseBytes = k.noiseBytes;
    s.syncRequests = k.syncRequests;
    s.routingOn = k.routingOn;
    s.routingOff = k.routingOff;
    s.heartbeatsSent = k.heartbeatsSent;
    s.heartbeatAnswers = k.heartbeatAnswers;
    s.badHeartbeatAnswers = k.badHeartbeatAnswers;
    s.missedHeartbeats = k.missedHeartbeats;
    s.modelQueries = k.modelQueries;
    s.unhandledPackets = k.unhandledPackets;
    s.droppedConnections = k.droppedConnections;
    return s;
}

WirePacket VirtualModule::modelReply(const ModuleIdentity& identity) {
    return WirePacket(identity.address, {kCmdSystem, kOptModel, 0, identity.model});
}

} // namespace Corvane::Tools
