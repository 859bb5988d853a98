/* Packet FIFOs: thread-safe queues of at most 1000 packets, known by 64-bit identifiers, with
 * time-limited waits and first-match by filter. Every call may be made from any thread. */
#ifndef CORVANE_APACKETFIFO_H
#define CORVANE_APACKETFIFO_H

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"

CORVANE_EXTERN_C_BEGIN

/* Most packets one FIFO holds; a put beyond it discards the whole backlog. */
#define aPACKETFIFO_MAXPACKETS 1000

/* Identifier of a FIFO; 0 is never a FIFO. */
typedef uint64_t aPacketFifoId;

/* Registers a new empty FIFO and returns its identifier; 0 on failure. */
CORVANE_API aPacketFifoId aPacketFifo_Create(void);

/* Removes the FIFO from the registry, frees its packets, wakes every waiter (their waits end
 * with null) and sets *fifo to 0. aErrParam when fifo is null, aErrNotFound when no FIFO has
 * that identifier, aErrUnknown when anything unexpected fails. */
CORVANE_API aErr aPacketFifo_Destroy(aPacketFifoId* fifo);

/* Appends a copy of the packet; the caller keeps its own. Wakes every waiter. When the FIFO
 * would then hold more than aPACKETFIFO_MAXPACKETS packets, every stored packet (the new one
 * included) is discarded instead and the result is still aErrNone. aErrParam for an unknown
 * FIFO, an absent or invalid packet, or a copy that cannot be allocated; aErrResource when the
 * queue cannot grow. */
CORVANE_API aErr aPacketFifo_Put(aPacketFifoId fifo, const aPacket* packet);

/* Number of stored packets; 0 for an unknown FIFO. */
CORVANE_API size_t aPacketFifo_GetLength(aPacketFifoId fifo);

/* Removes and returns the oldest packet; null when the FIFO is empty or unknown.
 * Every packet returned by a FIFO is the caller's, to free with aPacket_Destroy. */
CORVANE_API aPacket* aPacketFifo_Get(aPacketFifoId fifo);

/* Like aPacketFifo_Get, waiting up to timeoutMs (steady clock) for a packet. Null on time-out,
 * for an unknown FIFO, or when the FIFO is destroyed during the wait. 0 does not wait. */
CORVANE_API aPacket* aPacketFifo_Await(aPacketFifoId fifo, uint32_t timeoutMs);

/* Removes and returns the oldest packet the filter accepts; null when none does, the filter is
 * null or the FIFO is unknown. The filter runs under the FIFO's lock: it must not call into
 * the same FIFO. */
CORVANE_API aPacket* aPacketFifo_GetFirst(aPacketFifoId fifo, aPacketFilter filter,
                                          void* reference);

/* Like aPacketFifo_GetFirst, waiting up to timeoutMs for a matching packet. Each packet is
 * offered to the filter at most once per call, however often the call wakes; packets that do
 * not match stay in the FIFO in their order. */
CORVANE_API aPacket* aPacketFifo_AwaitFirst(aPacketFifoId fifo, aPacketFilter filter,
                                            void* reference, uint32_t timeoutMs);

/* Removes and frees every packet the filter accepts, keeping the order of the others, and
 * returns how many were removed; 0 for an unknown FIFO or a null filter. */
CORVANE_API size_t aPacketFifo_DrainPackets(aPacketFifoId fifo, aPacketFilter filter,
                                            void* reference);

CORVANE_EXTERN_C_END

#endif
