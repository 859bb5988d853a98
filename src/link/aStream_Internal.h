// Internal stream helpers shared by the stream kinds, the link engine and the tests: the
// push-back ring, the wait procedure, handle checks and the serial baud table.
#pragma once

#include "corvane/aStream.h"

#include <cstdint>

// The rates behind aStream_CreateSerial's baud indexes 0 to 7.
inline constexpr uint32_t aStream_SerialBaudRates[aSTREAM_SERIAL_BAUD_COUNT] = {
    2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

// True for a live stream (present and carrying its check word).
bool aStream_IsValid(const aStream* stream);

// Hands bytes back to the stream so that the next reads return them, in this order, before any
// byte still waiting in the ring or coming from the get procedure. aErrParam for an invalid
// stream or null bytes; aErrMemory when the ring cannot grow.
aErr aStream_Unread(aStream* stream, const uint8_t* bytes, size_t count);

// Capacity of the push-back ring: 0 before its first use, then multiples of 512.
size_t aStream_PushBackCapacity(const aStream* stream);

// The reference given at creation; null for an invalid stream.
void* aStream_Reference(const aStream* stream);

// Waits at most timeoutMs (0: only looks) until get would answer something other than
// aErrNotReady: a byte the stream holds or receives, or an end or failure to report. aErrNone
// then, aErrNotReady when the time ran out, another aErr when waiting failed. Part of the read
// path: called on the thread that reads, never at the same time as get.
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* reference);

// Gives the stream its wait procedure (null: it cannot wait). Set right after creation, before
// the stream is read. aErrParam for an invalid stream.
aErr aStream_SetWait(aStream* stream, aStreamWaitProc wait);

// Hands out up to max bytes the stream holds or receives without waiting: aErrNone with *got
// at least 1, aErrNotReady when there is none, another aErr as the get procedure would.
// Part of the read path, like get.
typedef aErr (*aStreamReadSomeProc)(uint8_t* buffer, size_t max, size_t* got, void* reference);

// Gives the stream its block read (null: bytes come one get at a time). Set right after
// creation, before the stream is read. aErrParam for an invalid stream.
aErr aStream_SetReadSome(aStream* stream, aStreamReadSomeProc readSome);

// Reads what is there without waiting, up to max bytes: pushed-back bytes first, else a block
// from the read-some procedure, else one byte from get. Results as for aStreamReadSomeProc;
// aErrParam for an invalid stream or null buffer or got, aErrMode without a get procedure.
aErr aStream_ReadAvailable(aStream* stream, uint8_t* buffer, size_t max, size_t* got);

// Marks a stream whose writes may carry many packets at once: its peer sees one byte stream
// and nothing depends on where writes begin, as on a TCP socket. The link writer then sends
// every queued packet in one write. aErrParam for an invalid stream.
aErr aStream_SetCoalescing(aStream* stream, bool coalescing);
bool aStream_IsCoalescing(const aStream* stream);

// Marks a stream whose writes end within their own time-outs whatever the peer does and may
// come from any thread, one at a time: the library's own sockets, USB and client streams. A
// link over it lets a caller that finds its writer idle write its packet itself. A stream a
// program makes is written by the link's writer thread only. aErrParam for an invalid stream.
aErr aStream_SetCallerWrites(aStream* stream, bool allowed);
bool aStream_AllowsCallerWrites(const aStream* stream);
