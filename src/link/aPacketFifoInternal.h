// Batch operations on packet FIFOs for the link engine and the object layer: many packets in or
// out under one lock and one wake-up, and waiting for room before a long run is queued.
#pragma once

#include "corvane/aPacketFifo.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

// Appends copies of count packets exactly as count aPacketFifo_Put calls would (the
// 1000-packet rule applies after each), but wakes the waiters once. aErrParam for an unknown
// FIFO or an invalid packet (nothing appended), aErrResource when the queue cannot grow.
aErr aPacketFifo_PutAll(aPacketFifoId fifo, const aPacket* packets, size_t count);

// Appends copies of as many of the packets, from the first, as fit without reaching the
// discard rule, waking the waiters once. Returns how many; 0 for an unknown FIFO or an invalid
// packet.
size_t aPacketFifo_PutWithinRoom(aPacketFifoId fifo, const aPacket* packets, size_t count);

// Waits up to timeoutMs for a packet, then moves up to max of the oldest packets, in order,
// into out. Returns how many; 0 on time-out or for an unknown or destroyed FIFO.
size_t aPacketFifo_TakeUpTo(aPacketFifoId fifo, aPacket* out, size_t max, uint32_t timeoutMs);

// Waits up to timeoutMs until the FIFO holds a packet, taking none. False on time-out or for an
// unknown or destroyed FIFO.
bool aPacketFifo_AwaitAny(aPacketFifoId fifo, uint32_t timeoutMs);

// Waits until room more packets fit without reaching the discard rule, for as long as packets
// keep leaving the FIFO: it gives up once idleMs pass with none taken. aErrNone when they fit,
// aErrTimeout when the FIFO stayed too full, aErrParam for an unknown or destroyed FIFO or a
// room above aPACKETFIFO_MAXPACKETS.
aErr aPacketFifo_AwaitRoom(aPacketFifoId fifo, size_t room, uint32_t idleMs);

// Waits up to timeoutMs until every packet has been taken. False on time-out or for an unknown
// or destroyed FIFO.
bool aPacketFifo_AwaitEmpty(aPacketFifoId fifo, uint32_t timeoutMs);

// What a run filter makes of one packet: leave it, take it (the filter has used it) and go on,
// or take it as the last of the run.
enum class aRunVerdict { skip, take, takeLast };
typedef aRunVerdict (*aPacketRunFilter)(const aPacket* packet, void* reference);

// A run of packets in one call, for replies that come as many packets: waits up to timeoutMs
// for a packet the filter takes, as aPacketFifo_AwaitFirst does, then goes on through the
// packets behind it without waiting. Every packet taken is removed and dropped, until the
// filter answers takeLast or the FIFO ends. Each packet is offered at most once per call; the
// filter runs under the FIFO's lock. Returns how many were taken: 0 on time-out or for an
// unknown or destroyed FIFO.
size_t aPacketFifo_AwaitRun(aPacketFifoId fifo, aPacketRunFilter filter, void* reference,
                            uint32_t timeoutMs);

// aPacketFifo_AwaitFirst and aPacketFifo_AwaitRun that also end, with nothing, once counter is no
// longer seen: for waiters that may have something better to do than sleep (the link engine's
// callers, when the stream becomes theirs to read). Read the counter before deciding to wait;
// whoever moves it on calls aPacketFifo_WakeWaiters afterwards, and no move is missed.
aPacket* aPacketFifo_AwaitFirstUnless(aPacketFifoId fifo, aPacketFilter filter, void* reference,
                                      uint32_t timeoutMs, const std::atomic<uint64_t>& counter,
                                      uint64_t seen);
size_t aPacketFifo_AwaitRunUnless(aPacketFifoId fifo, aPacketRunFilter filter, void* reference,
                                  uint32_t timeoutMs, const std::atomic<uint64_t>& counter,
                                  uint64_t seen);
// aPacketFifo_AwaitFirstUnless that copies the packet into out instead of a new one, for a
// caller that only looks at it: no allocation on a request's path. False when none came.
bool aPacketFifo_AwaitFirstUnlessInto(aPacketFifoId fifo, aPacketFilter filter, void* reference,
                                      uint32_t timeoutMs, const std::atomic<uint64_t>& counter,
                                      uint64_t seen, aPacket* out);
void aPacketFifo_WakeWaiters(aPacketFifoId fifo);
