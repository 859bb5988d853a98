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

  protected:
    ~RomLine() = default;
};

class BootRom {
  public:
    virtual ~BootRom() = default;
    // Bytes that arrived, in order.
    virtual void receive(const uint8_t* bytes, size_t count, RomLine& line) = 0;
    // The line has been quiet for a while (a frame in progress is abandoned).
    virtual void quiet() {}
    // The simulator stops: write whatever dumps were asked for.
    virtual void finish() {}
};
