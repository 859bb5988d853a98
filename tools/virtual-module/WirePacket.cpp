// Wire packet helpers, UEI requests and error replies, and the byte-stream parser of the
// simulators.
#include "WirePacket.h"

#include "corvane/aUEI.h"

#include <algorithm>
#include <cstring>

namespace Corvane::Tools {

WirePacket::WirePacket(uint8_t addr, std::initializer_list<uint8_t> bytes) : address(addr) {
    length = static_cast<uint8_t>(std::min(bytes.size(), kWireMaxData));
    std::copy_n(bytes.begin(), length, data.begin());
}

void WirePacket::append(const uint8_t* bytes, std::size_t count) {
    const std::size_t n = std::min<std::size_t>(count, kWireMaxData - length);
    std::copy_n(bytes, n, data.begin() + length);
    length = static_cast<uint8_t>(length + n);
}

void WirePacket::appendTo(std::vector<uint8_t>& out) const {
    const std::size_t at = out.size();
    const uint8_t n = static_cast<uint8_t>(std::min<std::size_t>(length, kWireMaxData));
    out.resize(at + 2 + n);
    out[at] = address;
    out[at + 1] = n;
    std::memcpy(out.data() + at + 2, data.data(), n);
}

bool WirePacket::carriesUEI() const {
    aPacket packet{};
    packet.check = aPACKET_CHECK;
    packet.address = address;
    packet.length = static_cast<uint8_t>(std::min<std::size_t>(length, kWireMaxData));
    packet.count = static_cast<uint8_t>(packet.length + 2);
    std::memcpy(packet.data, data.data(), packet.length);
    return packet.length > 0 && aUEI_isUEIPayload(&packet);
}

bool isUeiRequest(const WirePacket& packet) {
    if (packet.length < 3 || !packet.carriesUEI())
        return false;
    const uint8_t op = packet.data[1] & kOpMask;
    return (op == kOpGet || op == kOpSet) && (packet.data[2] & kSpecRequest) != 0;
}

WirePacket ueiErrorReply(uint8_t address, const WirePacket& request, uint8_t code) {
    const uint8_t option = request.data[1] & kOptionMask;
    const uint8_t replyOption =
        (request.data[1] & kOpMask) == kOpSet ? static_cast<uint8_t>(option | kOpAck) : option;
    return WirePacket(address,
                      {request.data[0], replyOption,
                       static_cast<uint8_t>((request.data[2] & kIndexMask) | kSpecError), code});
}

std::vector<uint8_t> WirePacket::bytes() const {
    std::vector<uint8_t> out;
    appendTo(out);
    return out;
}

bool WirePacket::operator==(const WirePacket& other) const {
    return address == other.address && length == other.length &&
           std::equal(data.begin(), data.begin() + length, other.data.begin());
}

std::size_t FrameParser::feed(const uint8_t* bytes, std::size_t count,
                              std::vector<WirePacket>& out) {
    held_.insert(held_.end(), bytes, bytes + count);
    std::size_t dropped = 0;
    std::size_t pos = 0;
    while (held_.size() - pos >= 2) {
        const uint8_t length = held_[pos + 1];
        if (length > kWireMaxData) {
            ++pos;
            ++dropped;
            continue;
        }
        if (held_.size() - pos < 2u + length)
            break;
        WirePacket packet;
        packet.address = held_[pos];
        packet.length = length;
        std::memcpy(packet.data.data(), &held_[pos + 2], length);
        out.push_back(packet);
        pos += 2u + length;
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(pos));
    return dropped;
}

} // namespace Corvane::Tools
