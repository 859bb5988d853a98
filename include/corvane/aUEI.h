/* UEIs: one request to a module entity (command, option, index, value) or one reply from it,
 * and the helpers that read UEI packets. On the wire a UEI is the data bytes of a packet to or
 * from the module: command, option byte, specifier byte, then a big-endian value. */
#ifndef CORVANE_AUEI_H
#define CORVANE_AUEI_H

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"

CORVANE_EXTERN_C_BEGIN

/* Which member of a uei's value is valid. 3 is not a UEI type. */
typedef enum ueiType {
    typeVoid = 0,  /* no value: a get request, a call, an acknowledgement */
    typeByte = 1,  /* byteVal, one byte on the wire */
    typeShort = 2, /* shortVal, two bytes */
    typeInt = 4,   /* intVal, four bytes */
    typeBytes = 5  /* bytes/bytesLength: a run of UEIBytes packets */
} ueiType;

/* Option byte: option code in bits 0-5, operation in bits 6-7. */
#define aUEI_OPTION_MASK 0x3F
#define aUEI_OP_VALUE 0x00 /* from the module: a get's reply or a stream packet */
#define aUEI_OP_GET 0x40
#define aUEI_OP_SET 0x80 /* a set without a value is a call */
#define aUEI_OP_ACK 0xC0 /* from the module: acknowledgement of a set */

/* Specifier byte: entity index in bits 0-4, flags in bits 5-7. */
#define aUEI_INDEX_MASK 0x1F
#define aUEI_SPEC_REQUEST 0x20 /* set in every request the host sends */
#define aUEI_SPEC_STREAM 0x40  /* a stream packet from the module */
#define aUEI_SPEC_ERROR 0x80   /* an error reply; its first value byte is an aErr */

/* UEIBytes runs: at most this many value bytes per packet, then a control byte whose bit 7
 * says more packets follow and whose bits 0-6 count the packets modulo 128. */
#define aUEI_BYTES_PER_PACKET 24
#define aUEI_BYTES_MORE 0x80
#define aUEI_BYTES_SEQUENCE_MASK 0x7F

/* One UEI request or reply, passed by value. */
typedef struct uei {
    uint8_t module;    /* module address, even and non-zero */
    uint8_t command;   /* entity class command code */
    uint8_t option;    /* option code and operation */
    uint8_t specifier; /* entity index and flags */
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        struct {
            uint8_t* bytes;       /* not owned */
            uint32_t bytesLength; /* bytes at bytes */
        };
    } value; /* the member named by type */
    ueiType type;
} uei;

/* The 16-bit and 32-bit big-endian values at bytes (two or four bytes, not checked). */
CORVANE_API uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
CORVANE_API uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
/* Turns count 32-bit big-endian values at buffer into host order, in place. */
CORVANE_API void aUEI_ModifyIntBuffer(uint32_t* buffer, size_t count);

/* Bit 7 (more follows) and bits 0-6 (sequence number) of a UEIBytes packet's last data byte;
 * 0 for a null, invalid or empty packet. */
CORVANE_API uint8_t aUEI_getBytesContinue(const aPacket* packet);
CORVANE_API uint8_t aUEI_getBytesSequence(const aPacket* packet);
/* True when a UEIBytes packet is full: length 27 or 28. */
CORVANE_API bool aUEI_getBytesFullPacket(const aPacket* packet);

/* True when data byte 0 is a command that is not a UEI (0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95,
 * 173, 175); false for a null, invalid or empty packet. aUEI_isUEIPayload is its negation. */
CORVANE_API bool aUEI_isNotUEIPayload(const aPacket* packet);
CORVANE_API bool aUEI_isUEIPayload(const aPacket* packet);

/* True for a stream packet from the module: longer than 4 bytes, a UEI command, option
 * operation 0 and specifier bit 6 set. */
CORVANE_API bool aUEI_isStreamPacket(const aPacket* packet);

CORVANE_EXTERN_C_END

#endif
