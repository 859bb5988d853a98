// Stream keys and stream packets: building and taking apart keys, telling stream packets and
// samples apart and decoding a sample's timestamp, value and subindex.
#include "corvane/Link.h"

#include "StreamRegistry.h"

namespace Corvane {

namespace {

constexpr uint8_t kSampleHeader = 4;   // command, option, specifier, kind
constexpr uint8_t kTimestampBytes = 8; // big-endian
// Sample lengths by kind: header, subindex (kinds 5 to 7), timestamp, value, control byte.
constexpr uint8_t kSampleLength[8] = {0, 14, 15, 17, 0, 15, 16, 18};
constexpr uint8_t kValueBytes[8] = {0, 1, 2, 4, 0, 1, 2, 4};

uint64_t readBig(const uint8_t* bytes, unsigned count) {
    uint64_t value = 0;
    for (unsigned i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

} // namespace

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                               uint8_t subindex) {
    return makeStreamKey(module, command, option, index, subindex);
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element) {
    if (element < STREAM_KEY_MODULE_ADDRESS || element > STREAM_KEY_SUBINDEX)
        return 0;
    return streamKeyElement(key, element);
}

bool Link::isStreamPacket(const aPacket* packet) {
    return aUEI_isStreamPacket(packet);
}

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind) {
    if (kind)
        *kind = STREAM_PACKET_UNKNOWN;
    if (!isStreamPacket(packet))
        return false;
    STREAM_PACKET found;
    if (packet->data[packet->length - 1] != 0)
        found = STREAM_PACKET_BYTES;
    else if (packet->data[3] >= STREAM_PACKET_BYTE && packet->data[3] <= STREAM_PACKET_SUBINDEX_INT)
        found = static_cast<STREAM_PACKET>(packet->data[3]);
    else
        return false;
    if (kind)
        *kind = found;
    return true;
}

bool Link::isSubindexType(STREAM_PACKET kind) {
    return kind >= STREAM_PACKET_SUBINDEX_BYTE && kind <= STREAM_PACKET_SUBINDEX_INT;
}

bool isSampleOfKind(const aPacket* packet, STREAM_PACKET kind) {
    return kind != STREAM_PACKET_BYTES && packet->data[packet->length - 1] == 0 &&
           packet->length == kSampleLength[kind];
}

bool Link::isStreamSample(const aPacket* packet) {
    STREAM_PACKET kind;
    return getStreamPacketType(packet, &kind) && isSampleOfKind(packet, kind);
}

void decodeSample(const aPacket* packet, STREAM_PACKET kind, uint64_t* timestamp, uint32_t* value,
                  uint8_t* subindex) {
    const bool withSubindex = Link::isSubindexType(kind);
    const uint8_t* time = packet->data + kSampleHeader + (withSubindex ? 1 : 0);
    if (timestamp)
        *timestamp = readBig(time, kTimestampBytes);
    if (value)
        *value = static_cast<uint32_t>(readBig(time + kTimestampBytes, kValueBytes[kind]));
    if (subindex)
        *subindex = withSubindex ? packet->data[kSampleHeader] : 0;
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value,
                           uint8_t* subindex) {
    STREAM_PACKET kind;
    if (!getStreamPacketType(packet, &kind))
        return aErrPacket;
    if (kind == STREAM_PACKET_BYTES)
        return aErrSize;
    if (!isSampleOfKind(packet, kind))
        return aErrPacket;
    decodeSample(packet, kind, timestamp, value, subindex);
    return aErrNone;
}

aErr Link::getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower) {
    if (upper)
        *upper = static_cast<uint32_t>(timestamp >> 32);
    if (lower)
        *lower = static_cast<uint32_t>(timestamp);
    return aErrNone;
}

} // namespace Corvane
