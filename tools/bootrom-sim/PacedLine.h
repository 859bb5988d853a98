// A pseudo-terminal that behaves like a serial line at a chosen rate: bytes reach the boot ROM
// and the host no faster than the wire would carry them. A pseudo-terminal carries bytes at any
// rate; when asked to, the line reads the rate the host set on its end and garbles what crosses
// at a rate the chip's UART is not at, as a real line does.
#pragma once

#include "BootRom.h"

#include <cstdint>
#include <deque>
#include <string>

class PacedLine : public RomLine {
  public:
    // Opens the pseudo-terminal pair; throws std::runtime_error when it cannot. checkRate: bytes
    // crossing at a rate other than the chip's are garbled, and the pace follows the chip's rate.
    PacedLine(uint32_t baudRate, bool checkRate);
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
    uint32_t hostRate() const override { return deliveringRate_; }
    void setRate(uint32_t baud) override;

    // What a UART at one rate makes of a byte sent at another: never the byte itself, never
    // plain ASCII, the same every time.
    static uint8_t garbled(uint8_t byte);

  private:
    struct Pending {
        int64_t dueUs; // when the last byte has crossed the line
        std::string bytes;
        uint32_t rate; // of the end that sent them; 0: not known
    };
    void flushDue(int64_t now);
    uint32_t hostRateNow() const; // the rate the host's end of the terminal is set to

    int master_ = -1;
    int slave_ = -1; // held open so the line never hangs up between host sessions
    std::string devicePath_;
    bool checkRate_;
    uint32_t romRate_ = 0;        // the chip's UART; 0: measuring the host's (autobaud)
    uint32_t deliveringRate_ = 0; // the host's rate for the bytes being handed to the ROM
    int64_t byteUs_;              // one byte: start, 8 data and stop bit
    int64_t txClockUs_ = 0;       // when the last byte queued for the host has left
    int64_t rxClockUs_ = 0;       // when the last byte read from the host has arrived
    int64_t busyUntilUs_ = 0;
    std::deque<Pending> out_;
    uint64_t received_ = 0;
    uint64_t sent_ = 0;
    uint64_t busyMs_ = 0;
};

// Microseconds of a monotonic clock.
int64_t monotonicMicros();
