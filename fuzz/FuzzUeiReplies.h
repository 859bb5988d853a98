// Fuzz entry for the object layer's reply decoding: arbitrary packets from a module as UEI
// replies, as the packets of a UEIBytes run and as stream packets.
#pragma once

#include "UEIReplies.h"
#include "corvane/Link.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fuzzuei {

// What the decoders made of one packet, compared between two copies of it.
struct Decoded {
    uint8_t accepted = 0;
    uei record{};
    bool streamPacket = false;
    bool streamType = false;
    Corvane::STREAM_PACKET kind = Corvane::STREAM_PACKET_UNKNOWN;
    bool sample = false;
    aErr sampleErr = aErrNone;
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0;

    bool operator==(const Decoded& other) const {
        const uei& a = record;
        const uei& b = other.record;
        return accepted == other.accepted && a.module == b.module && a.command == b.command &&
               a.option == b.option && a.specifier == b.specifier && a.type == b.type &&
               a.value.intVal == b.value.intVal && a.value.bytes == b.value.bytes &&
               streamPacket == other.streamPacket && streamType == other.streamType &&
               kind == other.kind && sample == other.sample && sampleErr == other.sampleErr &&
               timestamp == other.timestamp && value == other.value && subindex == other.subindex;
    }
};

inline Decoded decode(const aPacket& packet, const uei& pattern) {
    Decoded d;
    d.record = pattern;
    d.accepted = Corvane::decodeUEIReply(&packet, &d.record);
    d.streamPacket = Corvane::Link::isStreamPacket(&packet);
    d.streamType = Corvane::Link::getStreamPacketType(&packet, &d.kind);
    d.sample = Corvane::Link::isStreamSample(&packet);
    d.sampleErr = Corvane::Link::getStreamSample(&packet, &d.timestamp, &d.value, &d.subindex);
    return d;
}

// A packet as the link hands it over, with fill in every data byte past its length.
inline aPacket packetOf(uint8_t address, const uint8_t* data, uint8_t length, uint8_t fill) {
    aPacket packet{};
    packet.check = aPACKET_CHECK;
    packet.address = address;
    packet.length = length;
    packet.count = static_cast<uint8_t>(length + 2);
    std::memset(packet.data, fill, sizeof packet.data);
    std::memcpy(packet.data, data, length);
    return packet;
}

} // namespace fuzzuei

// The input: one byte that sizes the UEIBytes buffer (4 bytes a step), then packets as the wire
// carries them (address, length, data; lengths above 28 are cut to 28). The first packet's
// module, command, option and index are the reply awaited. No decoding may read past a packet's
// length, and a run may not write past its buffer or its count.
inline std::string fuzzUeiReplies(const uint8_t* data, size_t size) {
    using namespace fuzzuei;
    if (size < 2) {
        return {};
    }
    std::vector<aPacket> packets;
    for (size_t at = 1; at + 1 < size;) {
        const uint8_t address = data[at];
        const uint8_t length =
            static_cast<uint8_t>(std::min<size_t>({data[at + 1], aPACKET_MAXDATA, size - at - 2}));
        packets.push_back(packetOf(address, data + at + 2, length, 0));
        at += 2 + length;
    }
    if (packets.empty()) {
        return {};
    }
    uei pattern{};
    const aPacket& first = packets.front();
    pattern.module = first.address;
    pattern.command = first.length > 0 ? first.data[0] : 0;
    pattern.option = first.length > 1 ? first.data[1] : 0;
    pattern.specifier = first.length > 2 ? first.data[2] & aUEI_INDEX_MASK : 0;

    for (const aPacket& packet : packets) {
        const aPacket poisoned =
            packetOf(packet.address, packet.data, packet.length, static_cast<uint8_t>(0xA5));
        const Decoded plain = decode(packet, pattern);
        if (!(plain == decode(poisoned, pattern))) {
            return "decoding read past the packet's length";
        }
        if (plain.sampleErr == aErrNone && !plain.sample) {
            return "a sample decoded from a packet that is no sample";
        }
        if (plain.sample && !plain.streamType) {
            return "a sample of no stream packet type";
        }
    }

    // The packets as one UEIBytes run, the way getUEIBytes takes it off the FIFO.
    const uint32_t bufferLength = 4u * data[0];
    std::vector<uint8_t> buffer(bufferLength + 16, 0xCC);
    uint32_t unloaded = 0;
    Corvane::BytesTransfer transfer{pattern, buffer.data(), bufferLength, &unloaded, 0,
                                    false,   aErrNone,      false,        0};
    transfer.reply.type = typeVoid;
    Corvane::BytesRun run{&transfer, bufferLength / aUEI_BYTES_PER_PACKET + 2, 0};
    size_t taken = 0;
    for (const aPacket& packet : packets) {
        const uint32_t before = unloaded;
        const aRunVerdict verdict = Corvane::takeBytesRun(&packet, &run);
        if (verdict == aRunVerdict::skip) {
            if (unloaded != before) {
                return "a skipped packet added bytes";
            }
            continue;
        }
        ++taken;
        if (unloaded < before || unloaded - before > aUEI_BYTES_PER_PACKET + 1u) {
            return "one packet added more bytes than a packet carries";
        }
        if (verdict == aRunVerdict::takeLast) {
            break;
        }
    }
    if (unloaded > bufferLength) {
        return "the run counted more bytes than its buffer holds";
    }
    for (size_t i = bufferLength; i < buffer.size(); ++i) {
        if (buffer[i] != 0xCC) {
            return "the run wrote past its buffer";
        }
    }
    if (taken != run.taken || run.taken > run.maxPackets) {
        return "the run lost count of its packets";
    }
    return {};
}
