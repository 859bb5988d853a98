// The virtual module's streaming (see StreamingModel.h).
#include "StreamingModel.h"

#include "ModelTable.h"

#include "corvane/aError.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

namespace Corvane::Tools {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kEnable = 1;
constexpr uint8_t kDisable = 2;
constexpr uint8_t kStatus = 1;
constexpr uint8_t kWildcard = 0xFF;
// Samples one turn of the module's loop sends at most, so a burst never piles up more unsent
// bytes than a connection may hold.
constexpr uint32_t kSamplesPerTurn = 512;
// Timestamps start above 32 bits, so both halves carry something.
constexpr uint64_t kTimestampBase = 0x0000000100000000ull;

struct Registration {
    uint8_t command, option, index; // each may be kWildcard
    bool covers(uint8_t c, uint8_t o, uint8_t i) const {
        return (command == kWildcard || command == c) && (option == kWildcard || option == o) &&
               (index == kWildcard || index == i);
    }
};

struct Streamed {
    uint8_t command, option, index;
    ValueKind kind;
    bool subindex;
};

} // namespace

struct StreamingModel::Impl {
    RequestReplyModel& model;
    const ModelDef& def;
    // What one host connection asked for: each host streams only what it enabled.
    struct PerConnection {
        std::vector<Registration> registrations;
        uint32_t burstLeft = 0;
        Clock::time_point nextRound{};
    };
    mutable std::mutex mutex;
    StreamingSettings settings;                                   // guarded by mutex
    std::map<const ModuleConnection*, PerConnection> connections; // guarded by mutex
    Clock::time_point start = Clock::now();
    std::atomic<uint64_t> sent{0};

    Impl(RequestReplyModel& m, uint8_t modelCode, StreamingSettings s)
        : model(m), def(modelDefinition(modelCode)), settings(s) {}

    void handle(ModuleConnection& c, const WirePacket& request);
    Clock::time_point produce(ModuleConnection& c, Clock::time_point now);
    std::vector<Streamed> streamedValues(const PerConnection& c) const; // under mutex
    WirePacket sample(uint8_t address, const Streamed& s, Clock::time_point now) const;
};

void StreamingModel::Impl::handle(ModuleConnection& c, const WirePacket& request) {
    const uint8_t address = c.identity().address;
    if (request.length < 3)
        return;
    const uint8_t option = request.data[1];
    const uint8_t code = option & kOptionMask;
    auto error = [&](uint8_t err) {
        c.send(WirePacket(address,
                          {kCmdStream, static_cast<uint8_t>(code | kOpAck), kSpecError, err}));
    };
    if ((option & kOpMask) == kOpGet && code == kStatus) {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = connections.find(&c);
        const bool streaming = found != connections.end() && !found->second.registrations.empty();
        c.send(WirePacket(address, {kCmdStream, kStatus, 0, uint8_t{streaming}}));
        return;
    }
    if ((option & kOpMask) != kOpSet || (code != kEnable && code != kDisable))
        return error(aErrInvalidOption);
    if (request.length != 7)
        return error(aErrSize); // the value is one 32-bit key
    const Registration r{request.data[4], request.data[5], request.data[6]};
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (code == kEnable && settings.refuseEnable != 0)
            return error(settings.refuseEnable);
        PerConnection& mine = connections[&c];
        if (code == kEnable) {
            mine.registrations.push_back(r);
            mine.burstLeft += settings.burstAfterEnable;
        } else {
            std::erase_if(mine.registrations, [&](const Registration& have) {
                return (r.command == kWildcard || r.command == have.command) &&
                       (r.option == kWildcard || r.option == have.option) &&
                       (r.index == kWildcard || r.index == have.index);
            });
        }
    }
    c.send(WirePacket(address, {kCmdStream, static_cast<uint8_t>(kOpAck | code), 0}));
}

std::vector<Streamed> StreamingModel::Impl::streamedValues(const PerConnection& c) const {
    std::vector<Streamed> out;
    for (const EntityDef& entity : def.entities)
        for (uint8_t index = 0; index < entity.count; ++index)
            for (const OptionDef& option : entity.options) {
                if (option.kind == ValueKind::Call || option.kind == ValueKind::Bytes ||
                    (option.access & kAccessGet) == 0)
                    continue;
                if (std::any_of(c.registrations.begin(), c.registrations.end(),
                                [&](const Registration& r) {
                                    return r.covers(entity.command, option.option, index);
                                }))
                    out.push_back(
                        {entity.command, option.option, index, option.kind, option.parameter});
            }
    return out;
}

WirePacket StreamingModel::Impl::sample(uint8_t address, const Streamed& s,
                                        Clock::time_point now) const {
    const uint8_t width = s.kind == ValueKind::Byte ? 1 : s.kind == ValueKind::Short ? 2 : 4;
    const uint8_t kind = static_cast<uint8_t>((width == 4 ? 3 : width) + (s.subindex ? 4 : 0));
    const uint32_t value = model.value(s.command, s.index, s.option, 0).value_or(0);
    const uint64_t timestamp =
        kTimestampBase + std::chrono::duration_cast<std::chrono::microseconds>(now - start).count();
    std::vector<uint8_t> bytes{s.command, s.option, static_cast<uint8_t>(s.index | kSpecStream),
                               kind};
    if (s.subindex)
        bytes.push_back(0);
    for (int shift = 56; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(timestamp >> shift));
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    bytes.push_back(0); // control byte: a single sample
    WirePacket packet;
    packet.address = address;
    packet.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), packet.data.begin());
    return packet;
}

Clock::time_point StreamingModel::Impl::produce(ModuleConnection& c, Clock::time_point now) {
    std::vector<Streamed> values;
    uint32_t burst = 0;
    bool roundDue = false;
    Clock::time_point nextRound;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = connections.find(&c);
        if (found == connections.end() || found->second.registrations.empty())
            return now + std::chrono::seconds(1);
        PerConnection& mine = found->second;
        values = streamedValues(mine);
        if (values.empty())
            return now + std::chrono::seconds(1);
        burst = std::min(mine.burstLeft, kSamplesPerTurn);
        mine.burstLeft -= burst;
        roundDue = now >= mine.nextRound;
        if (roundDue)
            mine.nextRound = now + std::chrono::microseconds(settings.intervalUs);
        nextRound = mine.nextRound;
    }
    const uint8_t address = c.identity().address;
    for (uint32_t i = 0; i < burst; ++i)
        c.send(sample(address, values[i % values.size()], now));
    sent += burst;
    if (roundDue) {
        for (const Streamed& s : values)
            c.send(sample(address, s, now));
        sent += values.size();
    }
    return burst > 0 ? now : nextRound;
}

StreamingModel::StreamingModel(RequestReplyModel& model, uint8_t modelCode,
                               StreamingSettings settings)
    : impl_(std::make_unique<Impl>(model, modelCode, settings)) {}

StreamingModel::~StreamingModel() = default;

void StreamingModel::install(VirtualModule& module) {
    module.setHandler(kCmdStream, [this](ModuleConnection& c, const WirePacket& request) {
        impl_->handle(c, request);
    });
    module.addPeriodicSource(
        [this](ModuleConnection& c, Clock::time_point now) { return impl_->produce(c, now); });
}

void StreamingModel::setSettings(const StreamingSettings& settings) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->settings = settings;
}

uint64_t StreamingModel::samplesSent() const {
    return impl_->sent.load();
}

std::size_t StreamingModel::enabledCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::size_t count = 0;
    for (const auto& [connection, state] : impl_->connections)
        count += state.registrations.size();
    return count;
}

} // namespace Corvane::Tools
