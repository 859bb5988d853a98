// Corvane::EntityClass: gets, sets and calls of one entity's options as UEIs, byte arrays in
// UEIBytes runs, and waits for values the module sends unasked.
#include "corvane/EntityClass.h"

#include "LinkImpl.h"
#include "UEIReplies.h"
#include "UEIWire.h"

#include "corvane/aTime.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace Corvane {

namespace {

// Longest run of packets a too-small getUEIBytes still takes off the link (64 KiB of data);
// a module that goes on beyond it is not waited for.
constexpr uint32_t kMaxDiscardPackets = 65536 / aUEI_BYTES_PER_PACKET;

uei makeRecord(ueiType type) {
    uei record{};
    record.type = type;
    return record;
}

} // namespace

aRunVerdict takeBytesRun(const aPacket* packet, void* reference) {
    auto* run = static_cast<BytesRun*>(reference);
    BytesTransfer& transfer = *run->transfer;
    if (!EntityClass::sUEIBytesFilter(packet, &transfer))
        return aRunVerdict::skip;
    ++run->taken;
    if (transfer.errorReply || !transfer.more || run->taken >= run->maxPackets)
        return aRunVerdict::takeLast;
    transfer.expected = (transfer.expected + 1) & aUEI_BYTES_SEQUENCE_MASK;
    return aRunVerdict::take;
}

struct EntityClass::Impl {
    Module* module = nullptr; // not owned
    uint8_t command = 0;
    uint8_t index = 0;

    // The module and its Link, or null when the entity cannot talk.
    Link* link() const { return module ? module->getLink() : nullptr; }
    uint8_t address() const { return module->getModuleAddress(); }
    uei request(uint8_t option, uint8_t operation, uei value) const {
        value.module = address();
        value.command = command;
        value.option = static_cast<uint8_t>((option & aUEI_OPTION_MASK) | operation);
        value.specifier = static_cast<uint8_t>((index & aUEI_INDEX_MASK) | aUEI_SPEC_REQUEST);
        return value;
    }
    // A set (a call without value), with a subindex before the value when one is given; waits
    // for the acknowledgement.
    aErr set(uint8_t option, const uint8_t* subindex, uei* record) const {
        Link* to = link();
        if (!to)
            return aErrResource;
        if (!record)
            return aErrParam;
        const uei sent = request(option, aUEI_OP_SET, *record);
        const aErr err = subindex ? to->sendUEI(sent, *subindex) : to->sendUEI(sent);
        return err != aErrNone ? err : awaitReply(option, aUEI_OP_ACK, record);
    }
    // Waits for the reply to a request of this option and operation and returns the module's
    // code for an error reply.
    aErr awaitReply(uint8_t option, uint8_t replyOperation, uei* reply) const {
        const aErr err = link()->receiveUEI(
            address(), command, static_cast<uint8_t>((option & aUEI_OPTION_MASK) | replyOperation),
            index & aUEI_INDEX_MASK, reply);
        if (err != aErrNone)
            return err;
        return (reply->specifier & aUEI_SPEC_ERROR) ? static_cast<aErr>(reply->value.byteVal)
                                                    : aErrNone;
    }
};

EntityClass::EntityClass() : impl_(new Impl) {}

EntityClass::EntityClass(const EntityClass& other) : impl_(new Impl(*other.impl_)) {}

EntityClass& EntityClass::operator=(const EntityClass& other) {
    *impl_ = *other.impl_;
    return *this;
}

EntityClass::~EntityClass() {
    delete impl_;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    impl_->module = module;
    impl_->command = command;
    impl_->index = index;
}

uint8_t EntityClass::getIndex() const {
    return impl_->index;
}

Module* EntityClass::getModule() const {
    return impl_->module;
}

uint8_t EntityClass::getCommand() const {
    return impl_->command;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    Link* link = impl_->link();
    return link ? link->sendPacket(impl_->address(), command, length, data) : aErrResource;
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data) {
    Link* link = impl_->link();
    return link ? link->receivePacket(impl_->address(), match, length, data) : aErrResource;
}

aErr EntityClass::getUEI(uint8_t option, uei* request) {
    Link* link = impl_->link();
    if (!link)
        return aErrResource;
    if (!request)
        return aErrParam;
    const uint8_t subindex = request->type == typeByte ? request->value.byteVal : 0;
    uint32_t cached = 0;
    const aErr cache = link->getStreamValue(impl_->address(), impl_->command, option, impl_->index,
                                            subindex, &cached);
    if (cache != aErrNotFound) {
        request->value.intVal = cached;
        return cache;
    }
    if (const aErr err = link->sendUEI(impl_->request(option, aUEI_OP_GET, *request));
        err != aErrNone)
        return err;
    return impl_->awaitReply(option, aUEI_OP_VALUE, request);
}

aErr EntityClass::setUEI(uint8_t option, uei* request) {
    return impl_->set(option, nullptr, request);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* request) {
    return impl_->set(option, &subindex, request);
}

aErr EntityClass::callUEI(uint8_t option) {
    uei record = makeRecord(typeVoid);
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    uei record = makeRecord(typeByte);
    record.value.byteVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    uei record = makeRecord(typeShort);
    record.value.shortVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    uei record = makeRecord(typeInt);
    record.value.intVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    uei record = makeRecord(typeByte);
    record.value.byteVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    uei record = makeRecord(typeShort);
    record.value.shortVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    uei record = makeRecord(typeInt);
    record.value.intVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, uint32_t length) {
    uei record = makeRecord(typeBytes);
    record.value.bytes = const_cast<uint8_t*>(data); // only read when sending
    record.value.bytesLength = length;
    return setUEI(option, &record);
}

namespace {

// The typed getters: the record starts as typeVoid, or typeByte with the parameter byte.
template <typename T, typename Get>
aErr typedGet(T* value, uei record, Get&& get, T(pick)(const uei&)) {
    if (!value)
        return aErrParam;
    const aErr err = get(&record);
    if (err == aErrNone || err == aErrStreamStale)
        *value = pick(record);
    return err;
}

uint8_t pickByte(const uei& r) {
    return r.value.byteVal;
}
uint16_t pickShort(const uei& r) {
    return r.value.shortVal;
}
uint32_t pickInt(const uei& r) {
    return r.value.intVal;
}

uei parameterRecord(uint8_t parameter) {
    uei record = makeRecord(typeByte);
    record.value.byteVal = parameter;
    return record;
}

} // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
    return typedGet(
        value, makeRecord(typeVoid), [&](uei* r) { return getUEI(option, r); }, pickByte);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
    return typedGet(
        value, makeRecord(typeVoid), [&](uei* r) { return getUEI(option, r); }, pickShort);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
    return typedGet(
        value, makeRecord(typeVoid), [&](uei* r) { return getUEI(option, r); }, pickInt);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t parameter, uint8_t* value) {
    return typedGet(
        value, parameterRecord(parameter), [&](uei* r) { return getUEI(option, r); }, pickByte);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t parameter, uint16_t* value) {
    return typedGet(
        value, parameterRecord(parameter), [&](uei* r) { return getUEI(option, r); }, pickShort);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t parameter, uint32_t* value) {
    return typedGet(
        value, parameterRecord(parameter), [&](uei* r) { return getUEI(option, r); }, pickInt);
}

uint8_t EntityClass::sUEIBytesFilter(const aPacket* packet, const void* reference) {
    auto* transfer = static_cast<BytesTransfer*>(const_cast<void*>(reference));
    const uei& want = transfer->reply;
    if (packet->address != want.module || packet->length < 3 || packet->data[0] != want.command ||
        packet->data[1] != want.option || (packet->data[2] & aUEI_INDEX_MASK) != want.specifier)
        return 0;
    if (packet->data[2] & aUEI_SPEC_ERROR) {
        transfer->errorReply = true;
        transfer->errorCode = packet->length > 3 ? packet->data[3] : uint8_t{aErrUnknown};
        return 1;
    }
    if (packet->length < 4)
        return 0; // no control byte: not part of a run
    const uint8_t control = packet->data[packet->length - 1];
    if ((control & aUEI_BYTES_SEQUENCE_MASK) != transfer->expected)
        return 0;
    const uint32_t count = packet->length - 4u;
    if (transfer->failure != aErrNone || count > transfer->bufferLength - *transfer->unloaded) {
        transfer->failure = aErrMemory;
    } else {
        std::memcpy(transfer->buffer + *transfer->unloaded, packet->data + 3, count);
        *transfer->unloaded += count;
    }
    transfer->more = (control & aUEI_BYTES_MORE) != 0;
    return 1;
}

uint8_t EntityClass::getUEIBytesContinue(const aPacket* packet) {
    return aUEI_getBytesContinue(packet);
}

aErr EntityClass::getUEIBytesCheck(uint32_t* length, uint32_t unitSize) {
    if (!length || unitSize == 0)
        return aErrParam;
    if (*length % unitSize != 0)
        return aErrMemory;
    *length /= unitSize;
    return aErrNone;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, uint32_t bufferLength,
                              uint32_t* unloadedLength) {
    if (!buffer || !unloadedLength || bufferLength == 0)
        return aErrParam;
    *unloadedLength = 0;
    Link* link = impl_->link();
    if (!link)
        return aErrResource;
    if (const aErr err = link->sendUEI(impl_->request(option, aUEI_OP_GET, makeRecord(typeVoid)));
        err != aErrNone)
        return err;
    BytesTransfer transfer{
        makeRecord(typeVoid), buffer, bufferLength, unloadedLength, 0, false, aErrNone, false, 0};
    transfer.reply.module = impl_->address();
    transfer.reply.command = impl_->command;
    transfer.reply.option = option & aUEI_OPTION_MASK;
    transfer.reply.specifier = impl_->index & aUEI_INDEX_MASK;
    // Every packet but the last carries 24 bytes, so a run that fits has at most this many.
    const uint32_t fitting = bufferLength / aUEI_BYTES_PER_PACKET + 2;
    BytesRun run{&transfer, fitting + kMaxDiscardPackets, 0};
    // A module that sends one packet just inside each reply time-out and never ends the run
    // would hold the caller for every packet the run may take: the whole run gets the time the
    // packets that fit would take at the slowest.
    const uint64_t budgetMs = uint64_t{fitting} * kReplyTimeoutMs;
    const uint32_t started = aTime_GetMSTicks();
    // Each wait is for the next packet of the run; the packets already there are taken with
    // it, in one pass over the incoming FIFO.
    for (;;) {
        const uint32_t spentMs = aTime_GetMSTicks() - started;
        if (spentMs >= budgetMs)
            return transfer.failure != aErrNone ? transfer.failure : aErrTimeout;
        const uint32_t waitMs =
            static_cast<uint32_t>(std::min<uint64_t>(kReplyTimeoutMs, budgetMs - spentMs));
        const aErr err = link->impl_->receiveRun(transfer.reply.module, takeBytesRun, &run, waitMs);
        if (transfer.errorReply)
            return static_cast<aErr>(transfer.errorCode);
        if (err != aErrNone)
            return transfer.failure != aErrNone ? transfer.failure : err;
        if (!transfer.more)
            return transfer.failure;
        if (run.taken >= run.maxPackets)
            return transfer.failure != aErrNone ? transfer.failure : aErrIO;
    }
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t timeoutMs) {
    (void)timeoutMs;
    if (!value)
        return aErrParam;
    if (!impl_->link())
        return aErrResource;
    uei reply = makeRecord(typeVoid);
    const aErr err = impl_->awaitReply(option, aUEI_OP_VALUE, &reply);
    if (err == aErrNone)
        *value = reply.value.intVal;
    return err;
}

aErr EntityClass::drainUEI(uint8_t option) {
    Link* link = impl_->link();
    if (!link)
        return aErrResource;
    return link->dropMatchingUEIPackets(impl_->address(), impl_->command, option & aUEI_OPTION_MASK,
                                        impl_->index & aUEI_INDEX_MASK);
}

} // namespace Corvane
