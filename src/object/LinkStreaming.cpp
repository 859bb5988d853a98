// Link streaming: registrations with the module (command 93), the stream filter on the
// engine's reader thread, the callback thread's life, and the value and status queries.
#include "LinkImpl.h"

#include "corvane/EntityClass.h"

namespace Corvane {

namespace {

constexpr uint8_t kStreamCommand = 93;
constexpr uint8_t kEnableOption = 1;
constexpr uint8_t kDisableOption = 2;
constexpr uint8_t kStatusOption = 1;
constexpr uint8_t kWildcard = Link::STREAM_WILDCARD;

// The set of command 93 that tells the module to start or stop streaming, and its answer.
aErr tellModule(Link& link, uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                bool enable) {
    const uint8_t code = enable ? kEnableOption : kDisableOption;
    uei request{};
    request.module = module;
    request.command = kStreamCommand;
    request.option = static_cast<uint8_t>(aUEI_OP_SET | code);
    request.specifier = aUEI_SPEC_REQUEST;
    request.type = typeInt;
    request.value.intVal =
        uint32_t{module} << 24 | uint32_t{command} << 16 | uint32_t{option} << 8 | index;
    if (const aErr err = link.sendUEI(request); err != aErrNone)
        return err;
    uei reply{};
    if (const aErr err = link.receiveUEI(module, kStreamCommand,
                                         static_cast<uint8_t>(aUEI_OP_ACK | code), 0, &reply);
        err != aErrNone)
        return err;
    return (reply.specifier & aUEI_SPEC_ERROR) ? static_cast<aErr>(reply.value.byteVal) : aErrNone;
}

} // namespace

void Link::Impl::streamBurstEnd(void* reference) {
    static_cast<Link::Impl*>(reference)->callbacks.burstDelivered();
}

aErr Link::Impl::updateStreamFilter() {
    std::lock_guard<std::mutex> control(streamControl);
    // The filter is added beside those of other Links on the same engine link (two Modules for
    // one TCP/IP module, a router and the modules behind it), never in their place: each Link
    // keeps its own values and callbacks, and taking its filter away leaves theirs running.
    if (!streams.empty()) {
        if (streamFilterLink != linkId) {
            if (streamFilterLink != 0)
                aLink_RemovePacketFilter(streamFilterLink, &Link::linkStreamFilter, this);
            streamFilterLink = 0;
            if (const aErr err =
                    aLink_AddPacketFilter(linkId, &Link::linkStreamFilter, this, streamBurstEnd);
                err != aErrNone)
                return err;
            streamFilterLink = linkId;
        }
        callbacks.start();
        return aErrNone;
    }
    if (streamFilterLink != 0)
        aLink_RemovePacketFilter(streamFilterLink, &Link::linkStreamFilter, this);
    streamFilterLink = 0;
    // The filter no longer runs (the engine removes it under the lock it runs under), so the
    // registry and the queue have no other user now.
    streams.clear();
    callbacks.stop();
    return aErrNone;
}

void Link::Impl::stopStreaming() {
    streams.clear();
    updateStreamFilter();
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                  bool enable, StreamCallback callback, void* reference) {
    if (module & 1)
        return aErrParam;
    const uint64_t pattern = makeStreamKey(module, command, option, index, kWildcard);
    if (enable) {
        SharedStreamCallback shared;
        if (callback)
            shared = std::make_shared<const StreamCallback>(std::move(callback));
        impl_->streams.enroll(pattern, std::move(shared), reference);
    } else {
        impl_->streams.removeMatching(pattern);
    }
    aErr err = impl_->updateStreamFilter();
    if (err == aErrNone)
        err = impl_->running() ? tellModule(*this, module, command, option, index, enable)
                               : aErrConnection;
    if (err != aErrNone) {
        impl_->streams.removeMatching(pattern);
        impl_->updateStreamFilter();
    }
    return err;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        bool enable) {
    return registerStreamCallback(module, command, option, index, enable, nullptr, nullptr);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* status) {
    if (!status)
        return aErrParam;
    uei request{};
    request.module = module;
    request.command = kStreamCommand;
    request.option = aUEI_OP_GET | kStatusOption;
    request.specifier = aUEI_SPEC_REQUEST;
    request.type = typeVoid;
    if (const aErr err = sendUEI(request); err != aErrNone)
        return err;
    uei reply{};
    if (const aErr err = receiveUEI(module, kStreamCommand, kStatusOption, 0, &reply);
        err != aErrNone)
        return err;
    if (reply.specifier & aUEI_SPEC_ERROR)
        return static_cast<aErr>(reply.value.byteVal);
    *status = reply.value.byteVal;
    return aErrNone;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                           uint8_t subindex, StreamStatusEntry* entries, size_t count,
                           size_t* unloadedCount) {
    if (!impl_->running())
        return aErrConnection;
    if (!entries || !unloadedCount || count == 0)
        return aErrParam;
    return impl_->streams.status(makeStreamKey(module, command, option, index, subindex), entries,
                                 count, unloadedCount);
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                   uint8_t index, uint8_t subindex, bool lock) {
    return impl_->streams.matchingKeys(makeStreamKey(module, command, option, index, subindex),
                                       lock);
}

uint64_t Link::getStreamCallbackDrops() const {
    return impl_->callbacks.drops();
}

bool Link::linkStreamFilter(const aPacket* packet, void* reference) {
    STREAM_PACKET kind;
    if (!reference || !getStreamPacketType(packet, &kind))
        return false;
    auto* state = static_cast<Link::Impl*>(reference);
    const uint8_t subindex = isSubindexType(kind) ? packet->data[4] : 0;
    const uint64_t key =
        makeStreamKey(packet->address, packet->data[0], packet->data[1] & aUEI_OPTION_MASK,
                      packet->data[2] & aUEI_INDEX_MASK, subindex);
    uint32_t value = 0;
    const bool isSample = isSampleOfKind(packet, kind);
    if (isSample)
        decodeSample(packet, kind, nullptr, &value, nullptr);
    state->streams.dispatch(key, isSample, value,
                            [&](const SharedStreamCallback& callback, void* userReference) {
                                state->callbacks.deliver(callback, userReference, *packet);
                            });
    return true;
}

aErr EntityClass::setStreamEnabled(bool enable) {
    return registerOptionCallback(kWildcard, enable, nullptr, nullptr);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, StreamCallback callback,
                                         void* reference) {
    Module* module = getModule();
    Link* link = module ? module->getLink() : nullptr;
    if (!link)
        return aErrResource;
    return link->registerStreamCallback(module->getModuleAddress(), getCommand(), option,
                                        getIndex(), enable, std::move(callback), reference);
}

aErr EntityClass::getStreamStatus(StreamStatusEntry* entries, size_t count, size_t* unloadedCount) {
    Module* module = getModule();
    Link* link = module ? module->getLink() : nullptr;
    if (!link)
        return aErrResource;
    return link->getStreamStatus(module->getModuleAddress(), getCommand(), kWildcard, getIndex(),
                                 kWildcard, entries, count, unloadedCount);
}

} // namespace Corvane
