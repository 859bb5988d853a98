// The TCP socket stream: one connection to a module, re-established when it is lost, read
// through a buffer of its own so that a burst of bytes costs one system call instead of two
// per byte.
#include "corvane/aStream.h"
#include "corvane/aTime.h"

#include "aStream_Internal.h"
#include "platform/platform.h"
#include "platform/socket.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>

namespace {

using corvane::platform::SocketHandle;
using corvane::platform::SocketOutcome;
using corvane::platform::WatchSet;

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kConnectTimeoutMs = 3000;
constexpr uint32_t kReconnectPauseMs = 10;
constexpr uint32_t kSendPauseMs = 60;
constexpr int kSendTries = 10;
constexpr uint32_t kConnectedFlag = 1u << 0;

struct SocketRecord {
    uint16_t check = kSocketCheck;
    uint32_t address = 0; // IPv4, network order
    uint16_t port = 0;    // host order
    std::atomic<uint32_t> flags{0};

    // The reader and the writer send and receive concurrently under a shared hold; replacing the
    // socket takes it exclusively. generation counts replacements, so two threads that see the
    // same loss reconnect once between them.
    std::shared_mutex socketLock;
    SocketHandle socket = corvane::platform::invalidSocket; // guarded by socketLock
    uint64_t generation = 0;                                // guarded by socketLock

    // Read path only: received bytes not yet handed out; a burst in one piece.
    aStreamReadBuffer received{16384};
    // Read path only: the receive wait last set on the socket of that generation.
    uint32_t receiveWaitMs = 0;
    uint64_t receiveWaitGeneration = 0;

    // What the link's reader thread waits on while the link idles: the socket, and the wake it
    // brings along. A caller that reads for itself mutes the socket in it, so the reply wakes
    // the caller alone. Made with the record; noWatchSet when the system had none, and watches
    // then poll the socket instead. The socket in it changes under socketLock; muted is kept
    // for the next socket, which joins the set as the last one left it.
    WatchSet watchSet = corvane::platform::noWatchSet;
    std::atomic<bool> watchUsable{false};
    std::atomic<bool> muted{false};

    bool connected() const { return (flags.load() & kConnectedFlag) != 0; }

    // Drops the current socket and connects anew. Caller holds socketLock exclusively.
    aErr connectLocked() {
        if (socket != corvane::platform::invalidSocket) {
            flags.fetch_and(~kConnectedFlag);
            watchUsable = false;
            corvane::platform::removeFromWatchSet(watchSet, socket);
            corvane::platform::closeSocket(socket);
            socket = corvane::platform::invalidSocket;
            aTime_MSSleep(kReconnectPauseMs);
        }
        ++generation;
        aErr err = corvane::platform::connectTcp(address, port, kConnectTimeoutMs, socket);
        if (err != aErrNone) {
            flags.fetch_and(~kConnectedFlag);
            aTime_MSSleep(kReconnectPauseMs);
            return err;
        }
        flags.fetch_or(kConnectedFlag);
        // A socket the set refuses is polled instead.
        watchUsable = watchSet != corvane::platform::noWatchSet &&
                      corvane::platform::addToWatchSet(watchSet, socket, muted.load()) == aErrNone;
        return aErrNone;
    }

    // Reconnects unless another thread already replaced the socket seen as lost.
    aErr reconnect(uint64_t seenGeneration) {
        std::unique_lock lock(socketLock);
        if (generation != seenGeneration && connected()) {
            return aErrNone;
        }
        return connectLocked();
    }

    // Takes what the socket has; with waitMs, waits for it that long at most in the same call.
    CORVANE_HOT_PATH SocketOutcome receive(uint8_t* buffer, size_t capacity,
                                           uint64_t& seenGeneration, size_t& got, uint32_t waitMs) {
        std::shared_lock lock(socketLock);
        seenGeneration = generation;
        if (waitMs == 0)
            return corvane::platform::receiveSocket(socket, buffer, capacity, got);
        if (receiveWaitMs != waitMs || receiveWaitGeneration != generation) {
            if (corvane::platform::setSocketReceiveWait(socket, waitMs) != aErrNone)
                return corvane::platform::receiveSocket(socket, buffer, capacity, got);
            receiveWaitMs = waitMs;
            receiveWaitGeneration = generation;
        }
        return corvane::platform::receiveSocketWaiting(socket, buffer, capacity, got);
    }

    CORVANE_HOT_PATH SocketOutcome send(const uint8_t* bytes, size_t count,
                                        uint64_t& seenGeneration, size_t& sent) {
        std::shared_lock lock(socketLock);
        seenGeneration = generation;
        if (socket == corvane::platform::invalidSocket) {
            sent = 0;
            return SocketOutcome::lost;
        }
        return corvane::platform::sendSocket(socket, bytes, count, sent);
    }
};

CORVANE_HOT_PATH SocketRecord* recordOf(void* reference) {
    auto* record = static_cast<SocketRecord*>(reference);
    return record != nullptr && record->check == kSocketCheck ? record : nullptr;
}

// One receive into the read buffer, waiting at most waitMs for bytes: aErrNone with the bytes
// that came (none: not ready).
CORVANE_HOT_PATH aErr receiveInto(SocketRecord* record, uint8_t* buffer, size_t capacity,
                                  size_t& got, uint32_t waitMs) {
    if (!record->connected()) {
        return aErrConnection;
    }
    uint64_t generation = 0;
    SocketOutcome outcome = record->receive(buffer, capacity, generation, got, waitMs);
    if (outcome == SocketOutcome::lost) {
        // One reconnection per read; a byte can only come on a later call or right now.
        aErr err = record->reconnect(generation);
        if (err != aErrNone) {
            return err;
        }
        outcome = record->receive(buffer, capacity, generation, got, 0);
        if (outcome == SocketOutcome::lost) {
            return aErrConnection;
        }
    }
    switch (outcome) {
    case SocketOutcome::done: return aErrNone;
    case SocketOutcome::wouldBlock: got = 0; return aErrNone;
    // A module that closes its end (a reboot) is gone; silence would keep the link running.
    case SocketOutcome::peerClosed:
    case SocketOutcome::lost:
    case SocketOutcome::failed: break;
    }
    got = 0;
    return aErrConnection;
}

CORVANE_HOT_PATH aErr socketReadWithin(uint8_t* buffer, size_t max, size_t* got, uint32_t timeoutMs,
                                       void* reference) {
    SocketRecord* record = recordOf(reference);
    if (record == nullptr || buffer == nullptr || got == nullptr) {
        return aErrParam;
    }
    return record->received.take(buffer, max, got,
                                 [&](uint8_t* into, size_t capacity, size_t& brought) {
                                     return receiveInto(record, into, capacity, brought, timeoutMs);
                                 });
}

aErr socketReadSome(uint8_t* buffer, size_t max, size_t* got, void* reference) {
    return socketReadWithin(buffer, max, got, 0, reference);
}

aErr socketGet(uint8_t* byte, void* reference) {
    size_t got = 0;
    return socketReadSome(byte, 1, &got, reference);
}

// Waits on a copy of the descriptor, without the lock, so a writer that replaces the socket
// meanwhile is not held up; the wait then runs out on the old one and the next get sees the
// new one, a delay of at most one wait (a socket is replaced when lost, and a lost one is
// ready at once). A raised wake ends the wait with aErrCancel.
aErr pollSocket(SocketRecord* record, uint32_t timeoutMs,
                corvane::platform::WakeHandle wake = corvane::platform::noWake) {
    if (!record->connected()) {
        return aErrNone; // a lost connection to report at once
    }
    SocketHandle socket = corvane::platform::invalidSocket;
    {
        std::shared_lock lock(record->socketLock);
        socket = record->socket;
    }
    if (socket == corvane::platform::invalidSocket) {
        return aErrNone;
    }
    if (wake == corvane::platform::noWake) {
        return corvane::platform::waitSocketReadable(socket, timeoutMs);
    }
    // The wake joins the set at each watch: a link that starts again brings a new one (a closed
    // one leaves the set by itself), and one in it already stays.
    if (!record->watchUsable.load() ||
        corvane::platform::addToWatchSet(record->watchSet, wake, false) != aErrNone) {
        return corvane::platform::awaitReadableOrWake(socket, wake, timeoutMs);
    }
    bool woken = false;
    const aErr waited =
        corvane::platform::awaitWatchSet(record->watchSet, &wake, &woken, 1, timeoutMs);
    if (waited != aErrNone) {
        return waited;
    }
    return woken ? aErrCancel : aErrNone;
}

aErr socketWait(uint32_t timeoutMs, void* reference) {
    SocketRecord* record = recordOf(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    if (record->received.holding()) {
        return aErrNone; // a byte to hand out at once
    }
    return pollSocket(record, timeoutMs);
}

aErr socketPoll(uint32_t timeoutMs, void* reference) {
    SocketRecord* record = recordOf(reference);
    return record == nullptr ? aErrParam : pollSocket(record, timeoutMs);
}

aErr socketWatch(uint32_t timeoutMs, int wake, void* reference) {
    SocketRecord* record = recordOf(reference);
    return record == nullptr ? aErrParam : pollSocket(record, timeoutMs, wake);
}

CORVANE_HOT_PATH aErr socketMute(bool muted, void* reference) {
    SocketRecord* record = recordOf(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    std::shared_lock lock(record->socketLock);
    record->muted = muted;
    if (!record->watchUsable.load()) {
        return aErrNone; // polled: nothing to mute
    }
    return corvane::platform::muteInWatchSet(record->watchSet, record->socket, muted);
}

CORVANE_HOT_PATH aErr socketWrite(const uint8_t* bytes, size_t count, void* reference) {
    SocketRecord* record = recordOf(reference);
    if (record == nullptr || (bytes == nullptr && count > 0)) {
        return aErrParam;
    }
    size_t done = 0;
    int tries = 0;
    while (done < count) {
        uint64_t generation = 0;
        size_t sent = 0;
        switch (record->send(bytes + done, count - done, generation, sent)) {
        case SocketOutcome::done:
            done += sent;
            if (done < count) {
                aTime_MSSleep(kSendPauseMs); // the peer is slow: give it time to read
            }
            continue;
        case SocketOutcome::wouldBlock: break;
        case SocketOutcome::lost: {
            aErr err = record->reconnect(generation);
            if (err != aErrNone) {
                return err;
            }
            break;
        }
        case SocketOutcome::peerClosed:
        case SocketOutcome::failed: return aErrIO;
        }
        if (++tries > kSendTries) {
            return aErrIO;
        }
        aTime_MSSleep(kSendPauseMs);
    }
    return aErrNone;
}

aErr socketPut(uint8_t byte, void* reference) {
    return socketWrite(&byte, 1, reference);
}

aErr socketDelete(void* reference) {
    SocketRecord* record = recordOf(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    aTime_MSSleep(kReconnectPauseMs);
    record->flags.store(0);
    corvane::platform::closeSocket(record->socket);
    corvane::platform::closeWatchSet(record->watchSet);
    record->check = 0;
    delete record;
    return aErrNone;
}

// A TCP connection: one byte stream both ways, whose sends end within their pauses and tries.
constexpr aStreamKind kSocketKind{.get = socketGet,
                                  .readSome = socketReadSome,
                                  .readWithin = socketReadWithin,
                                  .wait = socketWait,
                                  .poll = socketPoll,
                                  .watch = socketWatch,
                                  .mute = socketMute,
                                  .put = socketPut,
                                  .write = socketWrite,
                                  .del = socketDelete,
                                  .coalescing = true,
                                  .callerWrites = true};

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
    if (stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    auto* record = new (std::nothrow) SocketRecord{};
    if (record == nullptr) {
        return aErrResource;
    }
    record->address = address;
    record->port = port;
    if (corvane::platform::makeWatchSet(record->watchSet) != aErrNone) {
        record->watchSet = corvane::platform::noWatchSet;
    }
    aErr err = aErrResource;
    try {
        std::unique_lock lock(record->socketLock);
        err = record->connectLocked();
    } catch (...) {
        err = aErrResource;
    }
    if (err != aErrNone) {
        corvane::platform::closeWatchSet(record->watchSet);
        delete record;
        return aErrResource;
    }
    *stream = aStream_CreateOfKind(kSocketKind, record);
    if (*stream == nullptr) {
        socketDelete(record);
        return aErrResource;
    }
    return aErrNone;
}
