// HID transport of the serial download protocol: report 1 commands, report 2 data, report 3
// security mode and report 4 status from the device.
#include "HID_SDPLoader.h"

#include "Debug.h"
#include "os/hid.h"

#include <algorithm>
#include <cstdio>

namespace {

class PlatformHidTransport : public HidTransport {
  public:
    ~PlatformHidTransport() override { close(); }
    bool open(uint16_t vendorId, uint16_t productId) override {
        close();
        device_ = corvane::platform::openHidDevice(vendorId, productId);
        return device_ != nullptr;
    }
    int write(const uint8_t* bytes, size_t count) override {
        return corvane::platform::writeHidDevice(device_, bytes, count);
    }
    int read(uint8_t* buffer, size_t size, int timeoutMs) override {
        return corvane::platform::readHidDevice(device_, buffer, size, timeoutMs);
    }
    void close() override {
        corvane::platform::closeHidDevice(device_);
        device_ = nullptr;
    }

  private:
    corvane::platform::HidDevice* device_ = nullptr;
};

constexpr size_t kReportSize = 65;        // report id and 64 bytes
constexpr size_t kSecurityReportSize = 5; // report 3: id and the 4-byte security mode
constexpr size_t kRepliesSize = kSecurityReportSize + kReportSize;
// A device that never stops sending is cut off after this many reports in one read.
constexpr int kMaxReportsPerRead = 64;

} // namespace

std::unique_ptr<HidTransport> makePlatformHidTransport() {
    return std::make_unique<PlatformHidTransport>();
}

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId,
                             std::unique_ptr<HidTransport> transport)
    : transport_(std::move(transport)), vendorId_(vendorId), productId_(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
    if (transport_) {
        transport_->close();
    }
}

bool HID_SDPLoader::open() {
    opened_ = transport_ && transport_->open(vendorId_, productId_);
    Debug_Print(DEBUG_iMXSerial, "handle: %p\n", opened_ ? static_cast<void*>(this) : nullptr);
    if (!opened_) {
        char text[96];
        snprintf(text, sizeof text, "no USB HID device %04X:%04X could be opened", vendorId_,
                 productId_);
        failure_ = text;
    }
    return opened_;
}

std::ptrdiff_t HID_SDPLoader::write(const std::vector<uint8_t>& bytes) {
    if (!opened_ || bytes.empty()) {
        return -1;
    }
    const int written = transport_->write(bytes.data(), bytes.size());
    if (written < 0) {
        failure_ = "writing to the USB HID device failed";
    }
    return written;
}

std::ptrdiff_t HID_SDPLoader::read(std::vector<uint8_t>& bytesOut, int timeoutMs, size_t enough) {
    if (!opened_) {
        return -1;
    }
    std::ptrdiff_t total = 0;
    uint8_t report[kReportSize];
    for (int reports = 0; reports < kMaxReportsPerRead; ++reports) {
        if (enough > 0 && static_cast<size_t>(total) >= enough) {
            break;
        }
        const int got = transport_->read(report, sizeof report, timeoutMs);
        if (got <= 0) {
            break;
        }
        size_t keep = std::min(static_cast<size_t>(got), sizeof report);
        if (report[0] == 3) {
            keep = std::min(keep, kSecurityReportSize);
        }
        bytesOut.insert(bytesOut.end(), report, report + keep);
        total += static_cast<std::ptrdiff_t>(keep);
    }
    return total;
}

size_t HID_SDPLoader::replySize(bool withStatus) const {
    return withStatus ? kRepliesSize : kSecurityReportSize;
}

bool HID_SDPLoader::parseStatus(const std::vector<uint8_t>& bytes, size_t index,
                                uint32_t& valueOut) {
    if (bytes.size() != kRepliesSize || index > 15) {
        return false;
    }
    // Report 3 (5 bytes), then report 4: its id at 5 and the status from byte 6 on.
    const size_t at = 6 + index;
    valueOut |= uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
                uint32_t{bytes[at + 3]} << 24;
    return true;
}
