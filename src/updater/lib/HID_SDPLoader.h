// The Serial Download Protocol over USB HID, through the platform layer behind a small seam.
#pragma once

#include "SDPLoader_Interface.h"

#include <memory>

// The few HID calls the loader makes; a test puts a scripted device behind it.
class HidTransport {
  public:
    virtual ~HidTransport() = default;
    // Opens the first device with the ids.
    virtual bool open(uint16_t vendorId, uint16_t productId) = 0;
    // Sends one report, its id first: bytes written, -1 on failure.
    virtual int write(const uint8_t* bytes, size_t count) = 0;
    // One report within timeoutMs (its id first): its length, 0 when none came, -1 on failure.
    virtual int read(uint8_t* buffer, size_t size, int timeoutMs) = 0;
    virtual void close() = 0;
};

// The platform layer's HID devices (hidapi on Linux).
std::unique_ptr<HidTransport> makePlatformHidTransport();

class HID_SDPLoader : public SDPLoader_Interface {
  public:
    HID_SDPLoader(uint16_t vendorId, uint16_t productId,
                  std::unique_ptr<HidTransport> transport = makePlatformHidTransport());
    ~HID_SDPLoader() override;

    bool open() override;
    std::ptrdiff_t write(const std::vector<uint8_t>& bytes) override;
    std::ptrdiff_t read(std::vector<uint8_t>& bytesOut, int timeoutMs, size_t enough = 0) override;
    bool parseStatus(const std::vector<uint8_t>& bytes, size_t index, uint32_t& valueOut) override;
    size_t replySize(bool withStatus) const override;

    uint16_t vendorId() const { return vendorId_; }
    uint16_t productId() const { return productId_; }

  private:
    std::unique_ptr<HidTransport> transport_;
    bool opened_ = false;
    uint16_t vendorId_;
    uint16_t productId_;
};
