// The i.MX boot ROM's USB HID interface as a hidraw node: output reports 1 (command) and 2
// (data) go to `bootrom-sim --chip imx --hid` on its serial line without their report id; the ROM's
// answers come back as input report 3 (security mode) and report 4 (status), the first word
// after each command being the security mode. A report takes as long to reach the ROM as the
// line needs to carry it.
#pragma once

#include "DeviceNode.h"
#include "Testbed.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace usbtestbed {

class RomDevice : public NodeHandler {
  public:
    static constexpr uint16_t kVendorId = 0x1FC9;
    static constexpr uint16_t kProductId = 0x0130;

    using Report = std::function<void(const std::string&)>;
    // Opens the ROM's line and plugs the device; a line that cannot be opened is reported and
    // nothing is plugged.
    // The line runs at baud (8N1), the rate the ROM listens at.
    RomDevice(Testbed& testbed, const std::string& line, uint32_t baud, Report report);
    static bool supportedRate(uint32_t baud);
    ~RomDevice() override;

    bool ioctl(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg) override;
    bool read(UMockdevIoctlClient* client, UMockdevIoctlData* buffer) override;
    bool write(UMockdevIoctlClient* client, UMockdevIoctlData* buffer) override;
    void vanished(UMockdevIoctlClient* client) override;

  private:
    struct Delivery {
        UMockdevIoctlClient* client;
        long count;
        std::chrono::steady_clock::time_point due;
    };
    void run();
    void fromRom(const uint8_t* bytes, size_t count);
    void serveReads();

    Testbed& testbed_;
    Report report_;
    const std::chrono::microseconds byteTime_; // start, 8 data and stop bit
    int line_ = -1;
    int wake_[2] = {-1, -1};
    bool stop_ = false;
    std::mutex mutex_;
    ReadinessNode node_;
    PluggedDevice plugged_;
    bool pluggedIn_ = false;
    std::chrono::steady_clock::time_point lineFree_;
    std::deque<Delivery> writes_; // completed when the line has carried them
    std::deque<std::vector<uint8_t>> reports_;
    std::deque<std::pair<UMockdevIoctlClient*, UMockdevIoctlData*>> reads_; // waiting
    std::vector<uint8_t> word_;
    bool expectSecurity_ = true;
    std::thread thread_;
};

} // namespace usbtestbed
