/* Packet log: a fixed-size byte ring of recent entries (tag or address, length, data) that
 * backs a link's packet debug trace. It has no lock: its owner serialises every call. */
#ifndef CORVANE_APACKETLOG_H
#define CORVANE_APACKETLOG_H

#include "aDefs.h"
#include "aError.h"

CORVANE_EXTERN_C_BEGIN

typedef struct aPacketLog aPacketLog;

/* A log whose ring holds size bytes; each entry takes its length + 2 bytes and one byte always
 * stays free. Null when size is 0 or memory runs out. The log starts disabled. */
CORVANE_API aPacketLog* aPacketLog_Create(size_t size);

/* Frees the log and sets *log to null. A null log or *log is aErrNone. */
CORVANE_API aErr aPacketLog_Destroy(aPacketLog** log);

/* The enabled mark: kept for the owner, not consulted by Put or Get. aErrParam for a null log. */
CORVANE_API aErr aPacketLog_SetEnabled(aPacketLog* log, bool enabled);
/* False for a null log. */
CORVANE_API bool aPacketLog_IsEnabled(const aPacketLog* log);

/* Appends an entry of address (or tag), length and length data bytes, dropping the oldest
 * entries until it fits. aErrOverrun when it cannot fit even in an empty log (nothing is then
 * dropped or written); aErrParam for a null log, or null data with a non-zero length. */
CORVANE_API aErr aPacketLog_Put(aPacketLog* log, uint8_t address, uint8_t length,
                                const uint8_t* data);

/* Takes the oldest entry. On entry *length is the capacity of buffer; on return it is the
 * entry's data length and *address its address. aErrNotFound when the log is empty;
 * aErrOverrun when the capacity is smaller than the entry (which then stays, *address and
 * *length set); aErrParam for a null log or out-pointer, or a null buffer with capacity. */
CORVANE_API aErr aPacketLog_Get(aPacketLog* log, uint8_t* address, uint8_t* length,
                                uint8_t* buffer);

CORVANE_EXTERN_C_END

#endif
