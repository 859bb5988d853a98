// The virtual module's request/reply engine: decodes each request, looks the entity and option
// up in the model's table, keeps the values hosts set, and answers as a module does, error
// replies and faults included. Store slots and factory data have files of their own.
#include "RequestReplyModel.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <utility>

#include "FactoryDataModel.h"
#include "ModelTable.h"
#include "StoreSlotModel.h"
#include "corvane/aError.h"

namespace Corvane::Tools {

namespace {

// Endless byte runs kept at once; the oldest connection's is dropped for a newer one.
constexpr std::size_t kMaxEndlessRuns = 64;

using Clock = std::chrono::steady_clock;

uint32_t valueKey(uint8_t command, uint8_t index, uint8_t option, uint8_t parameter) {
    return (uint32_t{command} << 24) | (uint32_t{index} << 16) | (uint32_t{option} << 8) |
           parameter;
}

uint8_t valueWidth(ValueKind kind) {
    switch (kind) {
    case ValueKind::Byte: return 1;
    case ValueKind::Short: return 2;
    case ValueKind::Int: return 4;
    case ValueKind::Call:
    case ValueKind::Bytes: return 0;
    }
    return 0;
}

uint32_t readBig(const uint8_t* bytes, uint8_t width) {
    uint32_t value = 0;
    for (uint8_t i = 0; i < width; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

WirePacket packetOf(uint8_t address, const std::vector<uint8_t>& data) {
    WirePacket packet;
    packet.address = address;
    packet.length = static_cast<uint8_t>(std::min(data.size(), kWireMaxData));
    std::copy_n(data.begin(), packet.length, packet.data.begin());
    return packet;
}

const EntityDef* findEntity(const ModelDef& def, uint8_t command) {
    for (const EntityDef& entity : def.entities)
        if (entity.command == command)
            return &entity;
    return nullptr;
}

const OptionDef* findOption(const EntityDef& entity, uint8_t option) {
    for (const OptionDef& def : entity.options)
        if (def.option == option)
            return &def;
    return nullptr;
}

} // namespace

struct RequestReplyModel::Impl {
    // A UEIBytes set arriving packet by packet, per host connection and UEI.
    struct Incoming {
        uint8_t expected = 0;
        bool failed = false;
        std::vector<uint8_t> bytes;
    };
    // A byte array reply that never ends (the endlessBytes fault), per host connection.
    struct EndlessRun {
        std::vector<uint8_t> header; // command, option, index
        std::vector<uint8_t> fill;   // the array's bytes, sent over and over
        std::size_t position = 0;
        uint8_t sequence = 0;
        Clock::time_point next;
    };

    Impl(const ModuleIdentity& id, const ModelFaults& f)
        : identity(id), def(modelDefinition(id.model)), faults(f), slots(def), factory(def) {}

    void handleUei(ModuleConnection& c, const WirePacket& request);
    void handleGet(ModuleConnection& c, const WirePacket& request, const OptionDef& option);
    void handleSet(ModuleConnection& c, const WirePacket& request, const OptionDef& option);
    void handleBytesSet(ModuleConnection& c, const WirePacket& request, const OptionDef& option);
    void sendBytes(ModuleConnection& c, uint8_t command, uint8_t option, uint8_t index,
                   const std::vector<uint8_t>& bytes);
    void handleQuery(ModuleConnection& c, const WirePacket& request);
    void startEndless(ModuleConnection& c, uint8_t command, uint8_t option, uint8_t index,
                      const std::vector<uint8_t>& bytes);
    void sendEndless(ModuleConnection& c, EndlessRun& run);
    Clock::time_point produce(ModuleConnection& c, Clock::time_point now);

    uint32_t scalar(const OptionDef& option, uint32_t key) const;
    const std::vector<uint8_t>& array(const OptionDef& option, uint32_t key);
    void ueiError(ModuleConnection& c, const WirePacket& request, aErr code) const;

    const ModuleIdentity identity;
    const ModelDef& def;
    uint32_t build = def.build;                    // the running firmware's, guarded by mutex
    uint32_t serialNumber = identity.serialNumber; // what the firmware reports, guarded by mutex

    mutable std::mutex mutex; // guards everything below against the module thread
    ModelFaults faults;
    std::map<uint32_t, uint32_t> scalars;
    std::map<uint32_t, std::vector<uint8_t>> arrays;
    std::map<std::pair<const ModuleConnection*, uint32_t>, Incoming> incoming;
    StoreSlotModel slots;
    FactoryDataModel factory;
    std::map<uint64_t, EndlessRun> endless; // by connection id
};

void RequestReplyModel::Impl::ueiError(ModuleConnection& c, const WirePacket& request,
                                       aErr code) const {
    c.send(ueiErrorReply(c.identity().address, request, static_cast<uint8_t>(code)));
}

uint32_t RequestReplyModel::Impl::scalar(const OptionDef& option, uint32_t key) const {
    switch (option.source) {
    case ValueSource::ModuleAddress: return identity.address;
    case ValueSource::Model: return identity.model;
    case ValueSource::SerialNumber: return serialNumber;
    case ValueSource::Build: return build;
    case ValueSource::Stored:
    case ValueSource::RouterAddress: break;
    }
    const auto stored = scalars.find(key);
    if (stored != scalars.end())
        return stored->second;
    return option.source == ValueSource::RouterAddress ? identity.router : option.initial;
}

const std::vector<uint8_t>& RequestReplyModel::Impl::array(const OptionDef& option, uint32_t key) {
    auto stored = arrays.find(key);
    if (stored == arrays.end())
        stored = arrays
                     .emplace(key, std::vector<uint8_t>(option.initialBytes.begin(),
                                                        option.initialBytes.end()))
                     .first;
    return stored->second;
}

void RequestReplyModel::Impl::handleUei(ModuleConnection& c, const WirePacket& request) {
    if (request.length < 3 || (request.data[2] & kSpecRequest) == 0)
        return;
    const uint8_t operation = request.data[1] & kOpMask;
    if (operation != kOpGet && operation != kOpSet)
        return;
    const uint8_t command = request.data[0];
    const uint8_t option = request.data[1] & kOptionMask;
    std::lock_guard<std::mutex> lock(mutex);
    if (faults.silentUei.matches(command, option))
        return;
    const EntityDef* entity = findEntity(def, command);
    if (!entity)
        return ueiError(c, request, aErrInvalidEntity);
    if ((request.data[2] & kIndexMask) >= entity->count)
        return ueiError(c, request, aErrIndexRange);
    const OptionDef* optionDef = findOption(*entity, option);
    if (!optionDef)
        return ueiError(c, request, aErrInvalidOption);
    if (operation == kOpSet && optionDef->kind == ValueKind::Bytes)
        return handleBytesSet(c, request, *optionDef);
    if (faults.errorUei.matches(command, option))
        return ueiError(c, request, static_cast<aErr>(faults.errorCode));
    if (operation == kOpGet)
        handleGet(c, request, *optionDef);
    else
        handleSet(c, request, *optionDef);
}

void RequestReplyModel::Impl::handleGet(ModuleConnection& c, const WirePacket& request,
                                        const OptionDef& option) {
    if ((option.access & kAccessGet) == 0 || option.kind == ValueKind::Call)
        return ueiError(c, request, aErrInvalidOption);
    uint8_t parameter = 0;
    if (option.parameter) {
        if (request.length != 4)
            return ueiError(c, request, aErrParam);
        parameter = request.data[3];
    }
    const uint8_t command = request.data[0];
    const uint8_t index = request.data[2] & kIndexMask;
    const uint32_t key = valueKey(command, index, option.option, parameter);
    if (option.kind == ValueKind::Bytes && faults.endlessBytes.matches(command, option.option))
        return startEndless(c, command, option.option, index, array(option, key));
    if (option.kind == ValueKind::Bytes)
        return sendBytes(c, command, option.option, index, array(option, key));
    std::vector<uint8_t> reply{command, option.option, index};
    const uint8_t width = valueWidth(option.kind);
    const uint32_t value = scalar(option, key);
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        reply.push_back(static_cast<uint8_t>(value >> shift));
    c.send(packetOf(c.identity().address, reply));
}

void RequestReplyModel::Impl::handleSet(ModuleConnection& c, const WirePacket& request,
                                        const OptionDef& option) {
    const bool storable =
        option.source == ValueSource::Stored || option.source == ValueSource::RouterAddress;
    if ((option.access & kAccessSet) == 0 || !storable)
        return ueiError(c, request, aErrInvalidOption);
    const uint8_t width = valueWidth(option.kind);
    const uint8_t before = option.parameter ? 4 : 3; // header, then the subindex if any
    if (request.length != before + width)
        return ueiError(c, request, aErrSize);
    const uint8_t command = request.data[0];
    const uint8_t index = request.data[2] & kIndexMask;
    if (option.kind != ValueKind::Call) {
        const uint8_t subindex = option.parameter ? request.data[3] : 0;
        scalars[valueKey(command, index, option.option, subindex)] =
            readBig(request.data.data() + before, width);
    }
    c.send(WirePacket(c.identity().address,
                      {command, static_cast<uint8_t>(option.option | kOpAck), index}));
}

void RequestReplyModel::Impl::handleBytesSet(ModuleConnection& c, const WirePacket& request,
                                             const OptionDef& option) {
    if (request.length < 4)
        return ueiError(c, request, aErrSize);
    const uint8_t command = request.data[0];
    const uint8_t index = request.data[2] & kIndexMask;
    const uint32_t key = valueKey(command, index, option.option, 0);
    const uint8_t control = request.data[request.length - 1];
    const bool more = (control & kMore) != 0;
    const uint8_t sequence = control & kSequenceMask;
    auto slot = std::make_pair(static_cast<const ModuleConnection*>(&c), key);
    Incoming& run = incoming[slot];
    // Sequence 0 where another number was due starts a new run (the host gave up the last
    // one); where 0 is due it is the first packet, or the wrap after packet 127.
    if (sequence == 0 && run.expected != 0 && !run.failed)
        run = Incoming{};
    // One error reply per run: later packets of a failed run are taken in silently.
    auto fail = [&](aErr code) {
        if (!run.failed)
            ueiError(c, request, code);
        run.failed = true;
    };
    if ((option.access & kAccessSet) == 0)
        fail(aErrInvalidOption);
    else if (sequence != run.expected)
        fail(aErrPacket);
    else if (run.bytes.size() + (request.length - 4u) > option.maxBytes)
        fail(aErrOverrun);
    if (!run.failed) {
        run.bytes.insert(run.bytes.end(), request.data.begin() + 3,
                         request.data.begin() + request.length - 1);
        run.expected = (run.expected + 1) & kSequenceMask; // the sender wraps after 127
    }
    if (more)
        return;
    if (!run.failed) {
        if (faults.errorUei.matches(command, option.option)) {
            ueiError(c, request, static_cast<aErr>(faults.errorCode));
        } else {
            arrays[key] = std::move(run.bytes);
            c.send(WirePacket(c.identity().address,
                              {command, static_cast<uint8_t>(option.option | kOpAck), index}));
        }
    }
    incoming.erase(slot);
}

void RequestReplyModel::Impl::sendBytes(ModuleConnection& c, uint8_t command, uint8_t option,
                                        uint8_t index, const std::vector<uint8_t>& bytes) {
    std::size_t sent = 0;
    uint8_t sequence = 0;
    const bool disorder = std::exchange(faults.bytesOutOfSequence, false);
    const std::size_t packets =
        bytes.empty() ? 1 : (bytes.size() + kBytesPerPacket - 1) / kBytesPerPacket;
    const std::size_t disordered = packets > 1 ? 1 : 0; // the second packet, or the only one
    for (std::size_t n = 0; n < packets; ++n) {
        const std::size_t count = std::min<std::size_t>(bytes.size() - sent, kBytesPerPacket);
        std::vector<uint8_t> data{command, option, index};
        data.insert(data.end(), bytes.begin() + sent, bytes.begin() + sent + count);
        sent += count;
        uint8_t wireSequence = sequence;
        if (disorder && n == disordered)
            wireSequence = (sequence + 5) & kSequenceMask;
        data.push_back(static_cast<uint8_t>((sent < bytes.size() ? kMore : 0) | wireSequence));
        c.send(packetOf(c.identity().address, data));
        sequence = (sequence + 1) & kSequenceMask;
    }
}

void RequestReplyModel::Impl::startEndless(ModuleConnection& c, uint8_t command, uint8_t option,
                                           uint8_t index, const std::vector<uint8_t>& bytes) {
    if (endless.size() >= kMaxEndlessRuns && endless.count(c.id()) == 0)
        endless.erase(endless.begin());
    EndlessRun& run = endless[c.id()];
    run = EndlessRun{};
    run.header = {command, option, index};
    run.fill = bytes.empty() ? std::vector<uint8_t>{'x'} : bytes;
    sendEndless(c, run);
    run.next = Clock::now() + std::chrono::milliseconds(faults.endlessIntervalMs);
}

void RequestReplyModel::Impl::sendEndless(ModuleConnection& c, EndlessRun& run) {
    std::vector<uint8_t> data = run.header;
    for (uint8_t i = 0; i < kBytesPerPacket; ++i) {
        data.push_back(run.fill[run.position]);
        run.position = (run.position + 1) % run.fill.size();
    }
    data.push_back(static_cast<uint8_t>(kMore | run.sequence));
    run.sequence = (run.sequence + 1) & kSequenceMask;
    c.send(packetOf(c.identity().address, data));
}

Clock::time_point RequestReplyModel::Impl::produce(ModuleConnection& c, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = endless.find(c.id());
    if (found == endless.end())
        return Clock::time_point::max();
    EndlessRun& run = found->second;
    if (now >= run.next) {
        sendEndless(c, run);
        run.next = now + std::chrono::milliseconds(faults.endlessIntervalMs);
    }
    return run.next;
}

void RequestReplyModel::Impl::handleQuery(ModuleConnection& c, const WirePacket& request) {
    if (request.length < 2)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    const uint8_t kind = request.data[1];
    if (faults.silentUei.matches(kCmdModuleQuery, kind))
        return;
    const uint8_t address = c.identity().address;
    const uint8_t* args = request.data.data() + 2;
    auto entityOf = [&](uint8_t command) { return findEntity(def, command); };
    switch (kind) {
    case 0xFF:
        if (request.length == 2)
            c.send(
                WirePacket(address, {kCmdModuleQuery, kind, uint8_t(build >> 24),
                                     uint8_t(build >> 16), uint8_t(build >> 8), uint8_t(build)}));
        return;
    case 1: { // has UEI: command, option, index, operation
        if (request.length != 6)
            return;
        const EntityDef* entity = entityOf(args[0]);
        const OptionDef* option = entity ? findOption(*entity, args[1]) : nullptr;
        const uint8_t operation = args[3];
        aErr answer = aErrNone;
        if (!entity)
            answer = aErrInvalidEntity;
        else if (args[2] >= entity->count)
            answer = aErrIndexRange;
        else if (!option)
            answer = aErrInvalidOption;
        else if ((operation == kOpGet && (option->access & kAccessGet) == 0) ||
                 (operation == kOpSet && (option->access & kAccessSet) == 0))
            answer = aErrInvalidOption;
        c.send(WirePacket(address, {kCmdModuleQuery, kind, args[0], args[1], args[2],
                                    static_cast<uint8_t>(answer)}));
        return;
    }
    case 4: { // class quantity
        if (request.length != 3)
            return;
        const EntityDef* entity = entityOf(args[0]);
        c.send(WirePacket(address,
                          {kCmdModuleQuery, kind, args[0], uint8_t(entity ? entity->count : 0)}));
        return;
    }
    case 5:   // subclass quantity
    case 6: { // entity group
        if (request.length != 4)
            return;
        const EntityDef* entity = entityOf(args[0]);
        const bool known = entity && args[1] < entity->count;
        const uint8_t answer = !known ? 0 : kind == 5 ? entity->subClasses : entity->group;
        c.send(WirePacket(address, {kCmdModuleQuery, kind, args[0], args[1], answer}));
        return;
    }
    default: return;
    }
}

RequestReplyModel::RequestReplyModel(const ModuleIdentity& identity, const ModelFaults& faults)
    : impl_(std::make_unique<Impl>(identity, faults)) {}

RequestReplyModel::~RequestReplyModel() = default;

void RequestReplyModel::install(VirtualModule& module) {
    Impl* impl = impl_.get();
    for (const EntityDef& entity : impl->def.entities)
        module.setHandler(entity.command, [impl](ModuleConnection& c, const WirePacket& p) {
            impl->handleUei(c, p);
        });
    module.setHandler(kCmdModuleQuery, [impl](ModuleConnection& c, const WirePacket& p) {
        impl->handleQuery(c, p);
    });
    module.setHandler(kCmdDebug, [impl](ModuleConnection& c, const WirePacket& p) {
        std::lock_guard<std::mutex> lock(impl->mutex);
        if (!impl->faults.silentUei.matches(kCmdDebug, UeiName::kAnyOption))
            c.send(p);
    });
    module.setHandler(kCmdStoreSlot, [impl](ModuleConnection& c, const WirePacket& p) {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->slots.handle(c, p, impl->faults);
    });
    module.setHandler(kCmdFactoryData, [impl](ModuleConnection& c, const WirePacket& p) {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->factory.handle(c, p, impl->faults);
    });
    module.addPeriodicSource(
        [impl](ModuleConnection& c, Clock::time_point now) { return impl->produce(c, now); });
}

void RequestReplyModel::setFaults(const ModelFaults& faults) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults = faults;
}

ModelFaults RequestReplyModel::faults() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->faults;
}

std::optional<std::vector<uint8_t>> RequestReplyModel::slot(uint8_t store, uint8_t slot) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->slots.contents(store, slot);
}

std::optional<std::vector<uint8_t>> RequestReplyModel::factoryBlock(uint8_t index) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->factory.block(index);
}

std::optional<std::vector<uint8_t>> RequestReplyModel::bytes(uint8_t command, uint8_t index,
                                                             uint8_t option) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const EntityDef* entity = findEntity(impl_->def, command);
    const OptionDef* def = entity ? findOption(*entity, option) : nullptr;
    if (!def || def->kind != ValueKind::Bytes || index >= entity->count)
        return std::nullopt;
    return impl_->array(*def, valueKey(command, index, option, 0));
}

std::optional<uint32_t> RequestReplyModel::value(uint8_t command, uint8_t index, uint8_t option,
                                                 uint8_t parameter) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const EntityDef* entity = findEntity(impl_->def, command);
    const OptionDef* def = entity ? findOption(*entity, option) : nullptr;
    if (!def || valueWidth(def->kind) == 0 || index >= entity->count)
        return std::nullopt;
    return impl_->scalar(*def, valueKey(command, index, option, parameter));
}

void RequestReplyModel::setFirmware(uint32_t build, uint32_t version) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (build != 0)
        impl_->build = build;
    if (version != 0)
        impl_->scalars[valueKey(kCmdSystem, 0, kOptVersion, 0)] = version;
}

void RequestReplyModel::setSerialNumber(uint32_t serialNumber) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->serialNumber = serialNumber;
}

bool RequestReplyModel::setValue(uint8_t command, uint8_t index, uint8_t option, uint8_t parameter,
                                 uint32_t value) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const EntityDef* entity = findEntity(impl_->def, command);
    const OptionDef* def = entity ? findOption(*entity, option) : nullptr;
    if (!def || valueWidth(def->kind) == 0 || index >= entity->count ||
        def->source != ValueSource::Stored)
        return false;
    impl_->scalars[valueKey(command, index, option, def->parameter ? parameter : 0)] = value;
    return true;
}

bool RequestReplyModel::setBytes(uint8_t command, uint8_t index, uint8_t option,
                                 const std::string& bytes) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const EntityDef* entity = findEntity(impl_->def, command);
    const OptionDef* def = entity ? findOption(*entity, option) : nullptr;
    if (!def || def->kind != ValueKind::Bytes || index >= entity->count ||
        bytes.size() > def->maxBytes)
        return false;
    impl_->arrays[valueKey(command, index, option, 0)].assign(bytes.begin(), bytes.end());
    return true;
}

} // namespace Corvane::Tools
