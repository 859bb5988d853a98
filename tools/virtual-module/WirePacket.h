// Link packets as the simulators see them on the wire (address, length, data), the parser that
// cuts a received byte stream into them, and the UEI wire constants the simulators answer with.
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

// The UEI header: command, then operation and option, then the index with its request,
// stream and error flags.
inline constexpr uint8_t kOpMask = 0xC0;
inline constexpr uint8_t kOpGet = 0x40;
inline constexpr uint8_t kOpSet = 0x80;
inline constexpr uint8_t kOpAck = 0xC0; // the operation bits of the reply to a set
inline constexpr uint8_t kOptionMask = 0x3F;
inline constexpr uint8_t kIndexMask = 0x1F;
inline constexpr uint8_t kSpecRequest = 0x20;
inline constexpr uint8_t kSpecStream = 0x40;
inline constexpr uint8_t kSpecError = 0x80;

// The control byte that ends each packet of a UEI byte array, and what one packet carries.
inline constexpr uint8_t kMore = 0x80;
inline constexpr uint8_t kSequenceMask = 0x7F;
inline constexpr uint8_t kBytesPerPacket = 24;

// The commands the simulators answer.
inline constexpr uint8_t kCmdHeartbeat = 0;
inline constexpr uint8_t kCmdSystem = 3;
inline constexpr uint8_t kCmdStoreSlot = 4;
inline constexpr uint8_t kCmdI2C = 8;
inline constexpr uint8_t kCmdDebug = 23;
inline constexpr uint8_t kCmdModuleQuery = 73;
inline constexpr uint8_t kCmdStream = 93;
inline constexpr uint8_t kCmdFactoryData = 94;
inline constexpr uint8_t kCmdUpgrade = 0x5F;

// Options of the system entity (command 3).
inline constexpr uint8_t kOptModule = 1;
inline constexpr uint8_t kOptVersion = 7;
inline constexpr uint8_t kOptModel = 8;
inline constexpr uint8_t kOptSerialNumber = 9;
inline constexpr uint8_t kOptReset = 11;
inline constexpr uint8_t kOptIdentifier = 39;
inline constexpr uint8_t kOptBuild = 43;

struct WirePacket {
    uint8_t address = 0;
    uint8_t length = 0;
    std::array<uint8_t, kWireMaxData> data{};

    WirePacket() = default;
    // Data beyond kWireMaxData bytes is cut off.
    WirePacket(uint8_t addr, std::initializer_list<uint8_t> bytes);

    // Adds bytes to the data; what goes beyond kWireMaxData bytes is cut off.
    void append(const uint8_t* bytes, std::size_t count);
    void append(uint8_t byte) { append(&byte, 1); }

    // Appends address, length and data to out.
    void appendTo(std::vector<uint8_t>& out) const;
    std::vector<uint8_t> bytes() const;

    bool operator==(const WirePacket& other) const;

    // True when the data carry a UEI, by the link library's list of the commands that do not.
    bool carriesUEI() const;
};

// A get or set request carrying a UEI. A packet of another protocol, unknown to the module, is
// none and goes unanswered.
bool isUeiRequest(const WirePacket& packet);

// The error reply to a UEI request: the request's command and option (with the set bits for a
// set), its index with the error bit, then code.
WirePacket ueiErrorReply(uint8_t address, const WirePacket& request, uint8_t code);

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
