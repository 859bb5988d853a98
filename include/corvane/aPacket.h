/* Link packets: a module address and up to 28 data bytes, assembled byte by byte from a link
 * or built from data. On the wire a packet is its address, its length and its data bytes. */
#ifndef CORVANE_APACKET_H
#define CORVANE_APACKET_H

#include "aDefs.h"
#include "aError.h"

CORVANE_EXTERN_C_BEGIN

/* Most data bytes one packet carries. */
#define aPACKET_MAXDATA 28
/* Most bytes of one packet on the wire: address, length and data. */
#define aPACKET_MAXWIRE (aPACKET_MAXDATA + 2)
/* Check word of every live packet. */
#define aPACKET_CHECK 0xBEEF

/* One link packet. Callers read address, length and data; they change a packet only through
 * the functions below. By convention of the command layer data[0] is the command, the low 6
 * bits of data[1] the option and the low 5 bits of data[2] the index. */
typedef struct aPacket {
    uint16_t check;                /* aPACKET_CHECK while the packet is live */
    uint8_t count;                 /* bytes taken in by aPacket_AddByte; length + 2 when built */
    uint8_t address;               /* module address; even and non-zero when received */
    uint8_t length;                /* data bytes in use, 0 to aPACKET_MAXDATA */
    uint8_t data[aPACKET_MAXDATA]; /* only the first length bytes mean anything */
} aPacket;

/* A filter used by the packet FIFO and the link: true when the packet matches. It runs under
 * the FIFO's lock and must not call back into the same FIFO. */
typedef bool (*aPacketFilter)(const aPacket* packet, void* reference);

/* True when the packet is present and carries the check word. */
#define aVALIDPACKET(p) ((p) != NULL && (p)->check == aPACKET_CHECK)

/* A new empty packet (check word set, all else 0); null when memory runs out. */
CORVANE_API aPacket* aPacket_Create(void);

/* A new packet with address, length and a copy of the first length bytes of data, its count
 * set to length + 2. Null when data is null (even for length 0), length is above
 * aPACKET_MAXDATA, or memory runs out. */
CORVANE_API aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

/* A new packet with the same address, length, data and count; null for an absent or invalid
 * packet or when memory runs out. */
CORVANE_API aPacket* aPacket_Copy(const aPacket* packet);

/* Frees *packet and sets *packet to null. aErrParam when packet or *packet is null, or *packet
 * is not a live packet (it is then left alone). */
CORVANE_API aErr aPacket_Destroy(aPacket** packet);

/* Zeroes count, address, length and data, keeping the check word. aErrParam when invalid. */
CORVANE_API aErr aPacket_Reset(aPacket* packet);

/* Takes in the next received byte of a packet that was reset: first the address, then the
 * length, then the data bytes.
 *   aErrParam    absent or invalid packet;
 *   aErrOverrun  more than aPACKET_MAXWIRE bytes offered since the reset;
 *   aErrPacket   a zero or odd address byte (address stays 0), a length byte above
 *                aPACKET_MAXDATA (kept), or a data byte beyond the length.
 * The packet is complete (aPacket_IsComplete) once length + 2 bytes were taken in; a packet
 * whose length byte is 0 is complete after its second byte. */
CORVANE_API aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

/* True when the packet is valid and holds all of its length + 2 bytes. */
CORVANE_API bool aPacket_IsComplete(const aPacket* packet);

/* data[0], data[1] & 0x3F and data[2] & 0x1F. aErrParam when the out-pointer is null;
 * aErrPacket when the packet is absent or invalid or shorter than 1, 2 or 3 data bytes. */
CORVANE_API aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
CORVANE_API aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
CORVANE_API aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

CORVANE_EXTERN_C_END

#endif
