// The Serial Download Protocol over a UART: the HID messages without their report id, at
// 115200 baud, 8 data bits, no parity, one stop bit.
#pragma once

#include "SDPLoader_Interface.h"

#include <corvane/aStream.h>

class Serial_SDPLoader : public SDPLoader_Interface {
  public:
    static constexpr uint32_t kBaudRate = 115200;

    explicit Serial_SDPLoader(const std::string& portName);
    ~Serial_SDPLoader() override;

    // Opens the port and then lets the line fall quiet for resyncMs, dropping what arrives: a
    // ROM that took bytes of another protocol (the NXP probe's "?") abandons its half frame.
    bool open() override;
    // Writes bytes[1..]; a port that has not taken them after twice their line time plus a
    // second fails the write.
    std::ptrdiff_t write(const std::vector<uint8_t>& bytes) override;
    // Waits up to timeoutMs for a first byte, then reads until the line is quiet for
    // interByteGapMs.
    std::ptrdiff_t read(std::vector<uint8_t>& bytesOut, int timeoutMs) override;
    bool parseStatus(const std::vector<uint8_t>& bytes, size_t index, uint32_t& valueOut) override;
    uint32_t pendingMs(size_t count) const override;

    const std::string& devicePath() const { return path_; }

    uint32_t resyncMs = 100;
    uint32_t interByteGapMs = 50;

  private:
    // Appends the bytes the port holds now, at most max; the count appended.
    size_t takeAvailable(std::vector<uint8_t>& bytesOut, size_t max);

    std::string portName_;
    std::string path_;
    aStream* stream_ = nullptr;
};
