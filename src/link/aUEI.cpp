// The exported UEI packet helpers: big-endian values, the UEIBytes control byte and the tests
// for UEI and stream packets.
#include "corvane/aUEI.h"

#include "aUEI_Internal.h"

using namespace corvane::uei;

extern "C" {

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
    return bytes ? readBig16(bytes) : 0;
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
    return bytes ? readBig32(bytes) : 0;
}

void aUEI_ModifyIntBuffer(uint32_t* buffer, size_t count) {
    if (!buffer)
        return;
    for (size_t i = 0; i < count; ++i)
        buffer[i] = readBig32(reinterpret_cast<const uint8_t*>(&buffer[i]));
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
    return bytesControl(packet) & aUEI_BYTES_MORE;
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    return bytesControl(packet) & aUEI_BYTES_SEQUENCE_MASK;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && isFullBytesPacket(*packet);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->length > 0 && isNotUEICommand(packet->data[0]);
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && isStreamPacket(*packet);
}

} // extern "C"
