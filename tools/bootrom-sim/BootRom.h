// What a simulated boot ROM sees of the line: bytes arriving, and a way to answer or to be busy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The line as a boot ROM drives it. Bytes sent leave after the ones before them, paced at the
// line's rate; busy(ms) holds everything sent afterwards back by ms, as a chip erasing flash does.
class RomLine {
  public:
    virtual void send(const std::string& bytes) = 0;
    virtual void busy(uint32_t ms) = 0;
    // The rate the host's port was set to when the bytes now being received were sent.
    virtual uint32_t hostRate() const = 0;
    // The rate the chip's UART runs at from now on (bytes already sent keep theirs); 0 while it
    // is waiting to measure the host's rate. Where the line checks rates, bytes that cross at any
    // other rate arrive garbled, in both directions.
    virtual void setRate(uint32_t baud) = 0;

  protected:
    ~RomLine() = default;
};

class BootRom {
  public:
    virtual ~BootRom() = default;
    // Bytes that arrived, in order.
    virtual void receive(const uint8_t* bytes, size_t count, RomLine& line) = 0;
    // The line has been quiet for a while (a frame in progress may be abandoned).
    virtual void quiet() {}
    // Called at least every 100 ms, whatever the line does: for what happens off the line.
    virtual void poll(RomLine&) {}
    // The simulator stops: write whatever dumps were asked for.
    virtual void finish() {}
};
