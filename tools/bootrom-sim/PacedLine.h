// A pseudo-terminal that behaves like a serial line at a chosen rate: bytes reach the boot ROM
// and the host no faster than the wire would carry them.
#pragma once

#include "BootRom.h"

#include <cstdint>
#include <deque>
#include <string>

class PacedLine : public RomLine {
  public:
    // Opens the pseudo-terminal pair; throws std::runtime_error when it cannot.
    explicit PacedLine(uint32_t baudRate);
    ~PacedLine();
    PacedLine(const PacedLine&) = delete;
    PacedLine& operator=(const PacedLine&) = delete;

    // The device a host opens.
    const std::string& devicePath() const { return devicePath_; }

    // Feeds arriving bytes to rom and sends its answers until stop is set (checked at least
    // every 100 ms). quietMs of silence calls rom.quiet().
    void run(BootRom& rom, const volatile int& stop, uint32_t quietMs);

    // What crossed the line and how long the ROM was busy, for comparing a run with wire time.
    uint64_t bytesReceived() const { return received_; }
    uint64_t bytesSent() const { return sent_; }
    uint64_t busyMs() const { return busyMs_; }

    void send(const std::string& bytes) override;
    void busy(uint32_t ms) override;

  private:
    struct Pending {
        int64_t dueUs; // when the last byte has crossed the line
        std::string bytes;
    };
    void flushDue(int64_t now);

    int master_ = -1;
    int slave_ = -1; // held open so the line never hangs up between host sessions
    std::string devicePath_;
    int64_t byteUs_;        // one byte: start, 8 data and stop bit
    int64_t txClockUs_ = 0; // when the last byte queued for the host has left
    int64_t rxClockUs_ = 0; // when the last byte read from the host has arrived
    int64_t busyUntilUs_ = 0;
    std::deque<Pending> out_;
    uint64_t received_ = 0;
    uint64_t sent_ = 0;
    uint64_t busyMs_ = 0;
};

// Microseconds of a monotonic clock.
int64_t monotonicMicros();
