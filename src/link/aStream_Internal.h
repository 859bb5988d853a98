// Internal stream helpers shared by the stream kinds, the link engine and the tests: the table
// that defines a stream kind, the read buffer the device kinds share, the push-back ring, handle
// checks and the serial baud table.
#pragma once

#include "corvane/aStream.h"
#include "platform/hot_path.h"

#include <cstdint>
#include <cstring>
#include <vector>

// The rates behind aStream_CreateSerial's baud indexes 0 to 7.
inline constexpr uint32_t aStream_SerialBaudRates[aSTREAM_SERIAL_BAUD_COUNT] = {
    2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

// Waits at most timeoutMs (0: only looks) until get would answer something other than
// aErrNotReady. See aStreamKind::wait.
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* reference);

// Waits as aStreamWaitProc does, and also ends, with aErrCancel, once wake is raised. See
// aStreamKind::watch.
typedef aErr (*aStreamWatchProc)(uint32_t timeoutMs, int wake, void* reference);

// Hands out up to max bytes the stream holds or receives without waiting. See
// aStreamKind::readSome.
typedef aErr (*aStreamReadSomeProc)(uint8_t* buffer, size_t max, size_t* got, void* reference);

// Hands out up to max bytes, waiting at most timeoutMs for them. See aStreamKind::readWithin.
typedef aErr (*aStreamReadWithinProc)(uint8_t* buffer, size_t max, size_t* got, uint32_t timeoutMs,
                                      void* reference);

// Keeps the device's input from ending watches, or lets it again. See aStreamKind::mute.
typedef aErr (*aStreamMuteProc)(bool muted, void* reference);

// One kind of stream: its procedures, each called with the reference the stream was made with,
// and what the link engine may do with it. The library's own kinds are constant tables; a
// stream made with aStream_Create carries a table of its own with the four procedures it gave.
// The read path (get, readSome, wait) runs on one thread at a time; the write path (put, write)
// on one thread at a time too, concurrently with the read path, so the two share nothing but
// the device.
struct aStreamKind {
    // Reads one byte into *byte: aErrNone with a byte, aErrNotReady when none is there yet (it
    // may wait a little first, as a USB transfer does), aErrEOF at the end of a finite stream,
    // another aErr on failure. Read path. Null: the stream cannot be read.
    aStreamGetProc get = nullptr;
    // Hands out up to max bytes that the stream holds or receives without waiting: aErrNone with
    // *got at least 1, aErrNotReady when there is none, another aErr as get would. Read path.
    // Null: the bytes come one get at a time.
    aStreamReadSomeProc readSome = nullptr;
    // Waits at most timeoutMs (more than 0) for bytes and hands out up to max of them, the wait
    // and the read in one step: aErrNone with *got at least 1, aErrNotReady when none came in
    // time, another aErr as get would. Read path. Null: the stream is waited on, then read.
    aStreamReadWithinProc readWithin = nullptr;
    // Waits at most timeoutMs (0: only looks) until get would answer something other than
    // aErrNotReady: a byte the stream holds or receives, or an end or failure to report.
    // aErrNone then, aErrNotReady when the time ran out, another aErr when waiting failed.
    // Read path, never at the same time as get. Null: the stream cannot wait, its reader polls.
    aStreamWaitProc wait = nullptr;
    // Waits as wait does but touches nothing of the read path, so it may run on one thread
    // while another reads: it watches the device only (bytes the read path holds already do
    // not count). It may find the device ready when a read then finds nothing (another thread
    // took the bytes, or a peer hung up). Null: only wait waits.
    aStreamWaitProc poll = nullptr;
    // Polls as poll does, but also ends once wake (a platform wake-up descriptor) is raised:
    // aErrCancel then, whether or not the device is ready too. So a thread can watch an idle
    // device for long and still be called away at once. Null: poll cannot be called away.
    aStreamWatchProc watch = nullptr;
    // Keeps the device's input from ending a watch, running or to come, until unmuted (a broken
    // connection still ends it); unmuting a device that has input ends the watch at once.
    // Touches nothing of the read path: a thread that reads the device for itself mutes it so
    // that the bytes it waits for wake it alone. Null: input always ends a watch.
    aStreamMuteProc mute = nullptr;
    // Writes one byte. Write path. Null: single bytes go through write, if there is one.
    aStreamPutProc put = nullptr;
    // Writes count bytes as one block; aErrNone only when all of them went out. Write path.
    // Null: blocks go out one put per byte.
    aStreamWriteProc write = nullptr;
    // Releases the concrete stream and its reference; called once, by aStream_Destroy, when no
    // other thread uses the stream. May be null.
    aStreamDeleteProc del = nullptr;
    // Writes may carry many packets at once: the peer sees one byte stream and nothing depends
    // on where writes begin, as on a TCP socket. The link writer then sends every queued packet
    // in one write.
    bool coalescing = false;
    // Writes end within their own time-outs whatever the peer does and may come from any
    // thread, one at a time: a link over it lets a caller that finds its writer idle write its
    // packet itself. A stream a program makes is written by the link's writer thread only.
    bool callerWrites = false;
};

// A new stream of the kind over reference, with an empty push-back ring; null when memory runs
// out (the reference is then the caller's to release). The table must outlive the stream.
aStream* aStream_CreateOfKind(const aStreamKind& kind, void* reference);

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

// Reads what is there without waiting, up to max bytes: pushed-back bytes first, else a block
// from the kind's readSome, else one byte from get. Results as for aStreamKind::readSome;
// aErrParam for an invalid stream or null buffer or got, aErrMode without a get procedure.
aErr aStream_ReadAvailable(aStream* stream, uint8_t* buffer, size_t max, size_t* got);

// Waits at most timeoutMs (0: only looks) for bytes and reads up to max of them: pushed-back
// bytes first, else the kind's readWithin, else a wait and a read. Results as for
// aStreamKind::readWithin; aErrParam and aErrMode as for aStream_ReadAvailable.
aErr aStream_ReadWithin(aStream* stream, uint8_t* buffer, size_t max, size_t* got,
                        uint32_t timeoutMs);

// Whether the stream can be waited on (its kind has a wait procedure); false for an invalid
// stream.
bool aStream_CanWait(const aStream* stream);

// The kind's poll (see aStreamKind): aErrUnimplemented without one, aErrParam for an invalid
// stream. aStream_CanPoll tells whether there is one.
aErr aStream_Poll(aStream* stream, uint32_t timeoutMs);
bool aStream_CanPoll(const aStream* stream);

// The kind's watch (see aStreamKind): aErrUnimplemented without one, aErrParam for an invalid
// stream. aStream_CanWatch tells whether there is one.
aErr aStream_Watch(aStream* stream, int wake, uint32_t timeoutMs);
bool aStream_CanWatch(const aStream* stream);

// The kind's mute (see aStreamKind): aErrUnimplemented without one, aErrParam for an invalid
// stream. aStream_CanMute tells whether there is one.
aErr aStream_Mute(aStream* stream, bool muted);
bool aStream_CanMute(const aStream* stream);

// Whether this thread's reads are made for a caller that waits for a reply (the link engine
// reads so for its callers) rather than by a link's reader thread or not for a link at all. A
// kind may then do the caller's waiting work on this thread (a sharing client reads its
// server's module link itself). The engine sets it around such reads; false otherwise.
bool aStream_ReadingForCaller();
void aStream_SetReadingForCaller(bool forCaller);

// The kind's flags; false for an invalid stream.
bool aStream_IsCoalescing(const aStream* stream);
bool aStream_AllowsCallerWrites(const aStream* stream);

// What a device kind took from its device in one piece and hands out over several reads: the
// read routine the socket, serial and USB kinds share. Read path only.
class aStreamReadBuffer {
  public:
    explicit aStreamReadBuffer(size_t capacity) : bytes_(capacity) {}

    // True while bytes of the last refill wait to be handed out.
    bool holding() const { return index_ < count_; }

    // Refills the buffer when nothing is held. refill(buffer, capacity, got) takes what the
    // device has into the buffer and answers aErrNone with got bytes (got may be 0: nothing
    // came), or the aErr the read must report; bytes it brings with another aErr are kept all
    // the same, and a got beyond the capacity is aErrIO (the device cannot be trusted).
    // aErrNone when bytes are held, aErrNotReady when none came.
    template <typename Refill> aErr fill(Refill&& refill) {
        if (holding())
            return aErrNone;
        size_t brought = 0;
        const aErr err = refill(bytes_.data(), bytes_.size(), brought);
        if (brought > bytes_.size())
            return aErrIO;
        if (brought == 0)
            return err == aErrNone ? aErrNotReady : err;
        count_ = brought;
        index_ = 0;
        return aErrNone;
    }

    // Up to max bytes into out, *got receiving how many: the ones held, else those a refill
    // brings (see fill).
    template <typename Refill> aErr take(uint8_t* out, size_t max, size_t* got, Refill&& refill) {
        *got = 0;
        if (const aErr err = fill(refill); err != aErrNone)
            return err;
        size_t n = count_ - index_;
        if (n > max)
            n = max;
        std::memcpy(out, bytes_.data() + index_, n);
        index_ += n;
        *got = n;
        return aErrNone;
    }

  private:
    std::vector<uint8_t> bytes_;
    size_t count_ = 0;
    size_t index_ = 0;
};
