// The upgrade protocol as a module runs it: INIT, PREPARE, DATA (or one UEI byte array), SUM and
// WRITE into the image, LOAD into the boot loader (which re-enumerates) and REBOOT into the new
// firmware, which then reports the build and version its image carries.
#include "UpgradeModel.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <utility>

#include "corvane/aError.h"

namespace Corvane::Tools {

namespace {

constexpr uint8_t kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6,
                  kStatus = 7, kDataUei = 10;
constexpr uint32_t kLoadBase = 0x20000000;
// The most one byte array on option 10 may carry, as a chunk size announced by PREPARE.
constexpr std::size_t kMaxUeiRun = 65535;

uint8_t byteOf(uint32_t value, int shift) {
    return static_cast<uint8_t>(value >> shift);
}

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

} // namespace

struct UpgradeModel::Impl {
    Impl(RequestReplyModel& m, uint16_t chunk, UpgradeFaults f)
        : model(m), chunkSize(chunk), faults(f) {}

    void handle(ModuleConnection& c, const WirePacket& packet);
    bool filter(ModuleConnection& c, const WirePacket& packet);
    void accept(const uint8_t* bytes, std::size_t count);
    void dataUei(ModuleConnection& c, const WirePacket& packet);
    void reboot();
    void status(ModuleConnection& c, std::initializer_list<uint8_t> rest);

    RequestReplyModel& model;
    const uint16_t chunkSize;
    VirtualModule* host = nullptr; // the module whose link this is; set by install

    mutable std::mutex mutex; // everything below; the module thread and checks from outside
    UpgradeFaults faults;
    UpgradeStats stats;
    bool bootLoader = false;
    uint32_t blockAddress = 0;
    uint32_t blockOffset = 0;           // bytes of the prepared block committed so far
    uint32_t sum = 0;                   // of the bytes since the last SUM, WRITE or PREPARE
    std::vector<uint8_t> staged;        // received, not yet written
    std::vector<uint8_t> loaderPending; // loader blocks received since INIT
    std::vector<uint8_t> loaderImage;   // what the last LOAD started
    std::map<uint32_t, std::vector<uint8_t>> image;
    std::vector<uint8_t> ueiRun; // a byte array arriving packet by packet
    uint8_t ueiExpected = 0;
    uint8_t ueiFailure = 0; // the error code of a run gone wrong, 0 while it goes well
    std::optional<uint64_t> lateLoadAfter; // connection that LOAD came on, answered on a later one
};

void UpgradeModel::Impl::status(ModuleConnection& c, std::initializer_list<uint8_t> rest) {
    WirePacket reply(c.identity().address, {kCmdUpgrade, kStatus});
    for (uint8_t b : rest)
        reply.data[reply.length++] = b;
    c.send(reply);
}

void UpgradeModel::Impl::accept(const uint8_t* bytes, std::size_t count) {
    staged.insert(staged.end(), bytes, bytes + count);
    for (std::size_t i = 0; i < count; ++i)
        sum += bytes[i];
    stats.dataBytes += count;
}

void UpgradeModel::Impl::reboot() {
    ++stats.reboots;
    bootLoader = false;
    if (faults.rebootSerial != 0)
        model.setSerialNumber(faults.rebootSerial);
    if (faults.rebootKeepsFirmware)
        return;
    for (const auto& [address, bytes] : image) {
        const auto tag = std::search(bytes.begin(), bytes.end(), std::begin(kFirmwareTag),
                                     std::end(kFirmwareTag));
        if (bytes.end() - tag >= 12) {
            const uint8_t* fields = &*tag + 4;
            model.setFirmware(bigEndian32(fields), bigEndian32(fields + 4));
            return;
        }
    }
}

void UpgradeModel::Impl::dataUei(ModuleConnection& c, const WirePacket& packet) {
    const uint8_t address = c.identity().address;
    const uint8_t index = packet.data[2] & kIndexMask;
    if (packet.length < 4)
        return;
    const uint8_t control = packet.data[packet.length - 1];
    const uint8_t sequence = control & kSequenceMask;
    if (sequence == 0 && ueiExpected != 0)
        ueiRun.clear(), ueiExpected = 0, ueiFailure = 0;
    const std::size_t bytes = packet.length - 4u;
    if (ueiFailure == 0 && sequence != ueiExpected)
        ueiFailure = aErrPacket;
    else if (ueiFailure == 0 && ueiRun.size() + bytes > kMaxUeiRun)
        ueiFailure = aErrOverrun;
    if (ueiFailure == 0) {
        ueiRun.insert(ueiRun.end(), packet.data.begin() + 3,
                      packet.data.begin() + packet.length - 1);
        ueiExpected = (ueiExpected + 1) & kSequenceMask;
    }
    if (control & kMore)
        return;
    if (ueiFailure != 0) {
        c.send(WirePacket(address, {kCmdUpgrade, static_cast<uint8_t>(kDataUei | kOpAck),
                                    static_cast<uint8_t>(index | kSpecError), ueiFailure}));
    } else {
        ++stats.ueiDataRuns;
        accept(ueiRun.data(), ueiRun.size());
        c.send(WirePacket(address, {kCmdUpgrade, static_cast<uint8_t>(kDataUei | kOpAck), index}));
    }
    ueiRun.clear();
    ueiExpected = 0;
    ueiFailure = 0;
}

void UpgradeModel::Impl::handle(ModuleConnection& c, const WirePacket& packet) {
    std::lock_guard<std::mutex> lock(mutex);
    const uint8_t address = c.identity().address;
    if (packet.length < 2)
        return;
    const bool ueiData = (packet.data[1] & ~kOptionMask) == kOpSet &&
                         (packet.data[1] & kOptionMask) == kDataUei && packet.length >= 3 &&
                         (packet.data[2] & kSpecRequest);
    if ((ueiData || packet.data[1] == kData) && bootLoader && faults.beforeFirmwareData)
        std::exchange(faults.beforeFirmwareData, nullptr)();
    if (ueiData) {
        if (faults.dropInData != 0 && --faults.dropInData == 0)
            return c.abort();
        return dataUei(c, packet);
    }
    switch (packet.data[1]) {
    case kInit:
        loaderPending.clear();
        c.send(
            WirePacket(address, {kCmdUpgrade, kInit, byteOf(kLoadBase, 24), byteOf(kLoadBase, 16),
                                 byteOf(kLoadBase, 8), byteOf(kLoadBase, 0)}));
        return;
    case kPrepare: {
        ++stats.prepares;
        if (packet.length < 7 || faults.refusePrepare)
            return status(c, {1, 0, 0});
        if (!bootLoader) // a loader block ends where the next one is prepared
            loaderPending.insert(loaderPending.end(), staged.begin(), staged.end());
        blockAddress = bigEndian32(packet.data.data() + 3);
        blockOffset = 0;
        sum = 0;
        staged.clear();
        const uint16_t chunk = faults.zeroChunk ? 0 : chunkSize;
        return status(c, {0, byteOf(chunk, 8), byteOf(chunk, 0)});
    }
    case kData: {
        ++stats.dataPackets;
        if (faults.dropInData != 0 && --faults.dropInData == 0)
            return c.abort();
        const uint8_t count = static_cast<uint8_t>(packet.length - 2);
        if (faults.zeroCountAlways || std::exchange(faults.zeroCountOnce, false)) {
            c.send(WirePacket(address, {kCmdUpgrade, kData, 0}));
            return;
        }
        accept(packet.data.data() + 2, count);
        c.send(WirePacket(address, {kCmdUpgrade, kData, count}));
        return;
    }
    case kSum: {
        const uint32_t reported = sum + (std::exchange(faults.wrongSumOnce, false) ? 1 : 0);
        sum = 0;
        return status(c, {0, byteOf(reported, 24), byteOf(reported, 16), byteOf(reported, 8),
                          byteOf(reported, 0)});
    }
    case kWrite: {
        const uint32_t count =
            packet.length >= 4 ? (uint32_t{packet.data[2]} << 8 | packet.data[3]) : 0;
        if (packet.length < 4 || count > staged.size() || faults.refuseWrite)
            return status(c, {1});
        auto& block = image[blockAddress];
        block.resize(std::max<std::size_t>(block.size(), blockOffset + count));
        std::copy_n(staged.begin(), count, block.begin() + blockOffset);
        blockOffset += count;
        staged.erase(staged.begin(), staged.begin() + count);
        sum = 0;
        ++stats.writes;
        return status(c, {0});
    }
    case kLoad:
        ++stats.loads;
        loaderPending.insert(loaderPending.end(), staged.begin(), staged.end());
        loaderImage = std::exchange(loaderPending, {});
        staged.clear();
        bootLoader = true;
        if (faults.loadAfterReconnect) {
            faults.loadAfterReconnect = false;
            lateLoadAfter = c.id();
        } else {
            c.send(WirePacket(address, {kCmdUpgrade, kLoad}));
        }
        // The boot loader starts and enumerates anew: this connection ends.
        c.close();
        return;
    case kReboot:
        if (faults.rebootKeepsLink)
            return;
        reboot();
        if (faults.goneAfterReboot && host)
            host->unplug();
        if (faults.rebootDropMs != 0)
            c.closeAfter(std::chrono::milliseconds(faults.rebootDropMs));
        else
            c.close();
        return;
    default: return;
    }
}

bool UpgradeModel::Impl::filter(ModuleConnection& c, const WirePacket& packet) {
    (void)packet;
    std::lock_guard<std::mutex> lock(mutex);
    if (!lateLoadAfter || c.id() <= *lateLoadAfter)
        return false;
    // The boot loader's answer waits on the new link until a host opens it, and goes out once,
    // ahead of whatever the host asks first. A host still synchronising its link then loses it,
    // as it would lose a real module's: answering after every synchronisation request instead
    // would keep such a host from ever synchronising.
    lateLoadAfter.reset();
    c.send(WirePacket(c.identity().address, {kCmdUpgrade, kLoad}));
    return false;
}

UpgradeModel::UpgradeModel(RequestReplyModel& model, uint16_t chunkSize, UpgradeFaults faults)
    : impl_(std::make_unique<Impl>(model, chunkSize, faults)) {}

UpgradeModel::~UpgradeModel() = default;

void UpgradeModel::install(VirtualModule& module) {
    impl_->host = &module;
    module.setHandler(kCmdUpgrade, [this](ModuleConnection& c, const WirePacket& packet) {
        impl_->handle(c, packet);
    });
    module.setPacketFilter(
        [this](ModuleConnection& c, const WirePacket& packet) { return impl_->filter(c, packet); });
}

void UpgradeModel::setFaults(const UpgradeFaults& faults) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults = faults;
}

UpgradeStats UpgradeModel::stats() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->stats;
}

bool UpgradeModel::inBootLoader() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->bootLoader;
}

std::map<uint32_t, std::vector<uint8_t>> UpgradeModel::firmware() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->image;
}

std::vector<uint8_t> UpgradeModel::loader() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->loaderImage;
}

} // namespace Corvane::Tools
