// Link packets as the virtual module sees them on the wire (address, length, data) and the
// parser that cuts a received byte stream into them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace Corvane::Tools {

inline constexpr std::size_t kWireMaxData = 28;

// Link-level addresses the host uses for control packets.
inline constexpr uint8_t kSyncAddress = 0xAD;    // synchronisation request, length 0
inline constexpr uint8_t kRoutingAddress = 0xAF; // routing on (data 1) or off (data 0)

struct WirePacket {
    uint8_t address = 0;
    uint8_t length = 0;
    std::array<uint8_t, kWireMaxData> data{};

    WirePacket() = default;
    // Data beyond kWireMaxData bytes is cut off.
    WirePacket(uint8_t addr, std::initializer_list<uint8_t> bytes);

    // Appends address, length and data to out.
    void appendTo(std::vector<uint8_t>& out) const;
    std::vector<uint8_t> bytes() const;

    bool operator==(const WirePacket& other) const;

    // True when the data carry a UEI, by the link library's list of the commands that do not.
    bool carriesUEI() const;
};

// Cuts the host's bytes into packets. A length byte above kWireMaxData cannot start a packet:
// the parser drops the byte it took as the address and looks for a packet one byte later,
// which is how the module falls back into step after noise on the line.
class FrameParser {
  public:
    // Feeds bytes; each complete packet is appended to out. Returns the bytes dropped as noise.
    std::size_t feed(const uint8_t* bytes, std::size_t count, std::vector<WirePacket>& out);
    // Bytes of an incomplete packet held for the next feed.
    std::size_t pending() const { return held_.size(); }
    void clear() { held_.clear(); }

  private:
    std::vector<uint8_t> held_;
};

} // namespace Corvane::Tools
