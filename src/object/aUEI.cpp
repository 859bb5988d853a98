// The exported UEI packet helpers: big-endian values and the UEIBytes control byte.
#include "corvane/aUEI.h"

#include "UEIWire.h"

extern "C" {

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
    return bytes ? Corvane::readBig16(bytes) : 0;
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
    return bytes ? Corvane::readBig32(bytes) : 0;
}

void aUEI_ModifyIntBuffer(uint32_t* buffer, size_t count) {
    if (!buffer)
        return;
    for (size_t i = 0; i < count; ++i)
        buffer[i] = Corvane::readBig32(reinterpret_cast<const uint8_t*>(&buffer[i]));
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
    return Corvane::bytesControl(packet) & aUEI_BYTES_MORE;
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    return Corvane::bytesControl(packet) & aUEI_BYTES_SEQUENCE_MASK;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && (packet->length == 27 || packet->length == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->length > 0 && Corvane::isNotUeiCommand(packet->data[0]);
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

} // extern "C"
