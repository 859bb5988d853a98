// The sharing client stream: a ZeroMQ DEALER to a sharing server behind the stream interface.
// The link's writer sends on it and its reader receives from it directly, taking turns under a
// lock, so a packet crosses no thread of the stream's own on its way. A client of a server in
// this process hands its packets to the server directly and takes the server's from an inbox.
#include "corvane/aServer.h"

#include "aDebugTrace.h"
#include "aStream_Internal.h"
#include "aZmqSockets.h"
#include "cApiGuard.h"
#include "corvane/aPacket.h"
#include "corvane/aTime.h"
#include "platform/platform.h"
#include "platform/udp.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

using corvane::debugTrace;
using corvane::SocketPair;

constexpr uint16_t kClientCheck = 0xC11E;
constexpr uint32_t kReadWaitMs = 1000;
constexpr int kSendTries = 100;
constexpr auto kSendPause = std::chrono::milliseconds(1);
// A server on this machine greets at once; one across a network within this.
constexpr uint32_t kServerGreetingMs = 2000;

// A client of a server in another process has a DEALER. A ZeroMQ socket may be used by one
// thread at a time, and the link's reader and writer are two: they take turns on the DEALER
// under `lock`, and the reader waits for input outside it, on the socket's signal descriptor.
// That descriptor only says the socket has news to look at, and any call on the socket takes the
// news in: a writer whose send found a reply waiting wakes the reader through `wake`, or the
// reader would sleep through it. A client of a server in this process has no socket: it hands
// its packets to the server and takes the server's frames from its inbox.
struct ClientRecord {
    uint16_t check = kClientCheck;
    std::mutex lock;
    zsock_t* front = nullptr; // DEALER to the server; guarded by lock
    int frontSignal = -1;     // its ZMQ_FD, polled by the reader without the lock
    SocketPair wake;     // a writer sends on `connected` (under lock), the reader reads `bound`
    int wakeSignal = -1; // ZMQ_FD of wake.bound
    zmq_msg_t frame;     // being read from the DEALER; the reader's
    // A server in this process, handed each packet directly, and the inbox it puts this client's
    // frames in; both null for a server in another process.
    std::shared_ptr<corvane::InprocServer> server;
    std::shared_ptr<corvane::InprocInbox> inbox;
    std::string identity;            // this client's routing identity with that server
    std::vector<uint8_t> inboxFrame; // being read from the inbox; the reader's
    std::atomic<bool> closed{false}; // closed at exit: reads fail from then on
    bool holding = false;
    std::size_t position = 0;

    ClientRecord() { zmq_msg_init(&frame); }

    ~ClientRecord() {
        check = 0;
        corvane::atExitCancel(this);
        if (server)
            server->forget(identity);
        close();
        zmq_msg_close(&frame);
    }

    void close() {
        closed = true;
        if (inbox)
            inbox->wake();
        std::lock_guard<std::mutex> guard(lock);
        zsock_destroy(&front);
        wake.close();
        frontSignal = -1;
        wakeSignal = -1;
    }

    // The frame being read, from whichever way this client's frames come.
    const uint8_t* frameData() {
        return inbox ? inboxFrame.data() : static_cast<const uint8_t*>(zmq_msg_data(&frame));
    }
    std::size_t frameSize() { return inbox ? inboxFrame.size() : zmq_msg_size(&frame); }
};

ClientRecord* recordOf(void* reference) {
    auto* record = static_cast<ClientRecord*>(reference);
    return record != nullptr && record->check == kClientCheck ? record : nullptr;
}

// One frame from the server into the record without waiting: 1 taken, 0 none yet, -1 failed.
int takeFrame(ClientRecord& record) {
    if (record.inbox) {
        if (record.closed.load())
            return -1;
        return record.inbox->take(record.inboxFrame) ? 1 : 0;
    }
    std::lock_guard<std::mutex> guard(record.lock);
    if (record.front == nullptr)
        return -1; // closed at exit
    if (zmq_msg_recv(&record.frame, zsock_resolve(record.front), ZMQ_DONTWAIT) >= 0)
        return 1;
    return corvane::platform::isRetryableError(zmq_errno()) ? 0 : -1;
}

// Waits up to timeoutMs for the socket's signal or a writer's wake-up, in one poll of the two
// descriptors (a poll of the sockets themselves costs several system calls each), or for the
// inbox. False when waiting failed.
bool awaitNews(ClientRecord& record, uint32_t timeoutMs) {
    if (record.inbox)
        return record.inbox->await(timeoutMs) != aErrIO;
    const int signals[2] = {record.frontSignal, record.wakeSignal};
    bool readable[2] = {};
    if (corvane::platform::waitAnyReadable(signals, readable, 2, timeoutMs) == aErrIO)
        return false;
    if (readable[1]) {
        // Emptied to the end, so the descriptor shows the next wake-up again.
        void* wake = zsock_resolve(record.wake.bound);
        char drained;
        while (zmq_recv(wake, &drained, sizeof drained, ZMQ_DONTWAIT) >= 0) {
        }
    }
    return true;
}

// Makes sure a frame with bytes is held, taking one without waiting: aErrNone when bytes are
// held, aErrNotReady when no frame waits, aErrIO when the socket failed.
aErr holdFrame(ClientRecord& record) {
    while (!record.holding) {
        const int taken = takeFrame(record);
        if (taken < 0)
            return aErrIO;
        if (taken == 0)
            return aErrNotReady;
        record.position = 0;
        record.holding = record.frameSize() > 0; // an empty one hands out nothing
    }
    return aErrNone;
}

// Hands out up to max bytes of the held frame.
size_t handOut(ClientRecord& record, uint8_t* buffer, size_t max) {
    const uint8_t* data = record.frameData();
    const size_t size = record.frameSize();
    const size_t n = std::min(max, size - record.position);
    std::memcpy(buffer, data + record.position, n);
    record.position += n;
    if (record.position == size)
        record.holding = false;
    return n;
}

aErr clientGet(uint8_t* byte, void* reference) {
    ClientRecord* record = recordOf(reference);
    if (record == nullptr || byte == nullptr)
        return aErrParam;
    const uint32_t started = aTime_GetMSTicks();
    for (;;) {
        const aErr held = holdFrame(*record);
        if (held == aErrNone)
            break;
        if (held != aErrNotReady)
            return held;
        const uint32_t waited = aTime_GetMSTicks() - started;
        if (waited >= kReadWaitMs)
            return aErrNotReady;
        if (!awaitNews(*record, kReadWaitMs - waited))
            return aErrIO;
    }
    handOut(*record, byte, 1);
    return aErrNone;
}

// The link's reader takes what a frame holds at once, without the get's wait: it waits through
// clientWait, never longer than it waits on any stream, so a link closes in good time.
aErr clientReadSome(uint8_t* buffer, size_t max, size_t* got, void* reference) {
    ClientRecord* record = recordOf(reference);
    if (record == nullptr || buffer == nullptr || got == nullptr)
        return aErrParam;
    *got = 0;
    if (const aErr held = holdFrame(*record); held != aErrNone)
        return held;
    *got = handOut(*record, buffer, max);
    return aErrNone;
}

aErr clientWait(uint32_t timeoutMs, void* reference) {
    ClientRecord* record = recordOf(reference);
    if (record == nullptr)
        return aErrParam;
    aErr held = holdFrame(*record);
    if (held != aErrNotReady)
        return aErrNone; // bytes to hand out, or a failure for the read to report
    uint32_t left = timeoutMs;
    if (record->server && aStream_ReadingForCaller()) {
        // A caller waiting for an answer of a server in this process reads the server's module
        // link while it may: the server's filter then sends the answer on, on this thread, and
        // no thread of the server's link wakes for it. Frames the server sends on its own wait
        // for the end of such a read, as they would for a caller's next look.
        const uint32_t started = aTime_GetMSTicks();
        while (left > 0 && record->server->readModule(left)) {
            if (holdFrame(*record) != aErrNotReady)
                return aErrNone;
            const uint32_t waited = aTime_GetMSTicks() - started;
            left = waited < timeoutMs ? timeoutMs - waited : 0;
        }
        if (left == 0)
            return aErrNotReady;
    }
    if (!awaitNews(*record, left))
        return aErrIO;
    held = holdFrame(*record);
    return held == aErrNotReady ? aErrNotReady : aErrNone;
}

// Every write of the link engine comes through the write procedure, so each packet is one frame.
aErr clientPut(uint8_t, void*) {
    return aErrUnimplemented;
}

// Sends one frame without blocking: 1 sent, 0 the socket cannot take it yet, -1 failed.
int sendFrame(ClientRecord& record, const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> guard(record.lock);
    if (record.front == nullptr)
        return -1; // closed at exit
    void* front = zsock_resolve(record.front);
    const bool sent = zmq_send(front, bytes, count, ZMQ_DONTWAIT) >= 0;
    const int error = zmq_errno();
    int events = 0;
    size_t size = sizeof events;
    if (zmq_getsockopt(front, ZMQ_EVENTS, &events, &size) == 0 && (events & ZMQ_POLLIN) != 0)
        zmq_send(zsock_resolve(record.wake.connected), "", 0, ZMQ_DONTWAIT);
    if (sent)
        return 1;
    return corvane::platform::isRetryableError(error) ? 0 : -1;
}

// One frame, retried while the socket cannot take it yet. Pauses are taken outside the lock, so
// a reader is never held up by a server that is away.
aErr sendWhole(ClientRecord& record, const uint8_t* bytes, size_t count) {
    for (int attempt = 0; attempt < kSendTries; ++attempt) {
        const int sent = sendFrame(record, bytes, count);
        if (sent > 0)
            return aErrNone;
        if (sent < 0)
            break;
        std::this_thread::sleep_for(kSendPause);
    }
    debugTrace("--Client send error outgoing->frontend: %d\n", zmq_errno());
    return aErrIO;
}

// The server takes one packet per frame, so a pooled batch of packets (address, length, data
// back to back) goes as one frame per packet. Bytes that are no whole packet are refused and
// nothing of them is sent.
aErr clientWrite(const uint8_t* bytes, size_t count, void* reference) {
    ClientRecord* record = recordOf(reference);
    if (record == nullptr || bytes == nullptr)
        return aErrParam;
    size_t end = 0;
    while (end + 2 <= count && bytes[end + 1] <= aPACKET_MAXDATA &&
           end + 2 + bytes[end + 1] <= count)
        end += 2 + bytes[end + 1];
    if (end != count || count == 0)
        return aErrParam;
    for (size_t at = 0; at < count; at += 2 + bytes[at + 1]) {
        const size_t size = 2u + bytes[at + 1];
        const aErr sent = record->server ? record->server->take(record->identity, bytes + at, size)
                                         : sendWhole(*record, bytes + at, size);
        if (sent != aErrNone)
            return sent;
    }
    return aErrNone;
}

aErr clientDelete(void* reference) {
    ClientRecord* record = recordOf(reference);
    if (record == nullptr)
        return aErrParam;
    debugTrace("Client delete: start\n");
    delete record;
    debugTrace("Client delete: end\n");
    return aErrNone;
}

// An in-process client's inbox is watched beside its read path: looking takes no frame.
aErr clientPoll(uint32_t timeoutMs, void* reference) {
    ClientRecord* record = recordOf(reference);
    if (record == nullptr || !record->inbox)
        return aErrParam;
    return record->inbox->await(timeoutMs);
}

aErr clientWatch(uint32_t timeoutMs, int wake, void* reference) {
    ClientRecord* record = recordOf(reference);
    if (record == nullptr || !record->inbox)
        return aErrParam;
    return record->inbox->await(timeoutMs, wake);
}

// A sharing server's client: every write is one frame per packet, sent within its tries. A wait
// takes in the socket's news, so there is no poll beside the read path.
constexpr aStreamKind kClientKind{.get = clientGet,
                                  .readSome = clientReadSome,
                                  .wait = clientWait,
                                  .put = clientPut,
                                  .write = clientWrite,
                                  .del = clientDelete,
                                  .callerWrites = true};

// A client of a server in this process: its inbox can be watched without the read path, so the
// link's idle reader watches it in a way that a caller's read or a stop does not wait for.
constexpr aStreamKind kInprocClientKind{.get = clientGet,
                                        .readSome = clientReadSome,
                                        .wait = clientWait,
                                        .poll = clientPoll,
                                        .watch = clientWatch,
                                        .put = clientPut,
                                        .write = clientWrite,
                                        .del = clientDelete,
                                        .callerWrites = true};

// Connects the DEALER over TCP and waits for the server's greeting. A DEALER connects in the
// background and keeps retrying a port nobody listens on, so a client of a server that has
// gone would otherwise look connected and never hear a reply. False when the connection is
// refused or no greeting comes within kServerGreetingMs.
bool connectTcpConfirmed(ClientRecord& record, const std::string& endpoint) {
    static std::atomic<unsigned> monitors{0};
    const std::string name = "inproc://corvane-client-monitor-" + std::to_string(monitors++);
    void* front = zsock_resolve(record.front);
    constexpr int kEvents = ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_CONNECT_RETRIED |
                            ZMQ_EVENT_CLOSED | ZMQ_EVENT_DISCONNECTED |
                            ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL |
                            ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL;
    if (zmq_socket_monitor(front, name.c_str(), kEvents) != 0)
        return false;
    zsock_t* events = zsock_new(ZMQ_PAIR);
    bool greeted = false;
    if (events != nullptr && zsock_connect(events, "%s", name.c_str()) == 0 &&
        zsock_connect(record.front, "%s", endpoint.c_str()) == 0) {
        // The first event says it: the greeting, or a refusal, close or failure. Each event is
        // two frames, the 16-bit event with a 32-bit value, then the endpoint.
        zsock_set_rcvtimeo(events, static_cast<int>(kServerGreetingMs));
        zmq_msg_t frame;
        zmq_msg_init(&frame);
        const int got = zmq_msg_recv(&frame, zsock_resolve(events), 0);
        uint16_t event = 0;
        if (got >= static_cast<int>(sizeof event))
            std::memcpy(&event, zmq_msg_data(&frame), sizeof event);
        const bool more = got >= 0 && zmq_msg_more(&frame);
        zmq_msg_close(&frame);
        if (more) {
            zmq_msg_init(&frame);
            zmq_msg_recv(&frame, zsock_resolve(events), 0);
            zmq_msg_close(&frame);
        }
        greeted = event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED;
    }
    zmq_socket_monitor(front, nullptr, 0);
    zsock_destroy(&events);
    return greeted;
}

// A client of the server in this process: the server learns of it from its first packet,
// handed over directly, and puts its frames in the client's inbox.
aErr attachInproc(ClientRecord& record) {
    record.identity = corvane::inprocClientIdentity();
    record.inbox = std::make_shared<corvane::InprocInbox>();
    if (!record.inbox->usable())
        return aErrResource;
    return record.server->attach(record.identity, record.inbox) ? aErrNone : aErrConnection;
}

// A client of a server in another process, over TCP.
aErr connectTcp(ClientRecord& record, uint32_t address, uint16_t port) {
    if (!record.wake.open())
        return record.wake.bound ? aErrConnection : aErrMemory;
    record.front = zsock_new(ZMQ_DEALER);
    if (record.front == nullptr)
        return aErrMemory;
    char dotted[corvane::platform::ipv4TextSize] = {};
    if (corvane::platform::formatIPv4(address, dotted, sizeof dotted) != aErrNone)
        return aErrConnection;
    debugTrace("aStream_CreateClient address: %s\n", dotted);
    if (!connectTcpConfirmed(record, "tcp://" + std::string(dotted) + ":" + std::to_string(port)))
        return aErrConnection;
    record.frontSignal = zsock_fd(record.front);
    record.wakeSignal = zsock_fd(record.wake.bound);
    return record.frontSignal < 0 || record.wakeSignal < 0 ? aErrResource : aErrNone;
}

} // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream) {
    return corvane::guardedCall([&]() -> aErr {
        if (stream == nullptr)
            return aErrParam;
        *stream = nullptr;
        auto* record = new (std::nothrow) ClientRecord;
        if (record == nullptr)
            return aErrMemory;
        auto fail = [&](aErr error) {
            delete record;
            return error;
        };
        record->server = corvane::inprocServerFind(address, port);
        const aErr connected =
            record->server ? attachInproc(*record) : connectTcp(*record, address, port);
        if (connected != aErrNone)
            return fail(connected);
        *stream = aStream_CreateOfKind(record->server ? kInprocClientKind : kClientKind, record);
        if (*stream == nullptr)
            return fail(aErrResource);
        // The link's threads have stopped by then; the record stays for the stream to free.
        corvane::atExitRegister(record, [record] { record->close(); });
        return aErrNone;
    });
}
