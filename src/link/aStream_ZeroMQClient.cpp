// The sharing client stream: a ZeroMQ DEALER to a sharing server behind the stream interface.
// A client task moves frames between the server and two in-process pairs, so the link's reader
// and writer threads each touch only a socket of their own.
#include "corvane/aServer.h"

#include "aStream_Internal.h"
#include "aZmqSockets.h"
#include "cApiGuard.h"

#include <arpa/inet.h>

#include <new>
#include <string>

namespace {

using corvane::SocketPair;

constexpr uint16_t kClientCheck = 0xC11E;
constexpr int kTaskPollMs = 1000;
constexpr int kReadWaitMs = 1000;

struct ClientRecord {
    uint16_t check = kClientCheck;
    zsock_t* front = nullptr;    // DEALER to the server; the client task's
    SocketPair outgoing;         // writer -> task: `connected` is written, `bound` read by the task
    SocketPair incoming;         // task -> reader: `bound` is written by the task, `connected` read
    zpoller_t* poller = nullptr; // on incoming.connected; the reader's
    zactor_t* task = nullptr;
    zframe_t* frame = nullptr; // being read; the reader's
    std::size_t position = 0;

    ~ClientRecord() {
        check = 0;
        corvane::atExitCancel(this);
        close();
    }

    void close() {
        zactor_destroy(&task); // first: it uses front and the pairs' task ends
        zpoller_destroy(&poller);
        zsock_destroy(&front);
        outgoing.close();
        incoming.close();
        zframe_destroy(&frame);
    }
};

ClientRecord* recordOf(void* reference) {
    auto* record = static_cast<ClientRecord*>(reference);
    return record != nullptr && record->check == kClientCheck ? record : nullptr;
}

// Passes one message from one socket to another; a message that cannot go is dropped.
void pass(zsock_t* from, zsock_t* to) {
    zframe_t* frame = zframe_recv(from);
    if (frame == nullptr)
        return;
    corvane::sendBounded(to, zframe_data(frame), zframe_size(frame));
    zframe_destroy(&frame);
}

void clientTask(zsock_t* pipe, void* reference) {
    auto* record = static_cast<ClientRecord*>(reference);
    zpoller_t* poller = zpoller_new(pipe, record->front, record->outgoing.bound, nullptr);
    zsock_signal(pipe, 0);
    while (poller != nullptr) {
        void* which = zpoller_wait(poller, kTaskPollMs);
        if (which == pipe || zpoller_terminated(poller))
            break; // $TERM from the stream's delete, or the context is ending
        if (which == record->front)
            pass(record->front, record->incoming.bound);
        else if (which == record->outgoing.bound)
            pass(record->outgoing.bound, record->front);
    }
    zpoller_destroy(&poller);
}

aErr clientGet(uint8_t* byte, void* reference) {
    ClientRecord* record = recordOf(reference);
    if (record == nullptr || byte == nullptr)
        return aErrParam;
    if (record->poller == nullptr)
        return aErrIO; // closed at exit
    while (record->frame == nullptr) {
        void* which = zpoller_wait(record->poller, kReadWaitMs);
        if (which == nullptr)
            return zpoller_expired(record->poller) ? aErrNotReady : aErrIO;
        if (which != record->incoming.connected)
            return aErrUnknown;
        record->frame = zframe_recv(record->incoming.connected);
        if (record->frame == nullptr)
            return aErrIO;
        record->position = 0;
        if (zframe_size(record->frame) == 0)
            zframe_destroy(&record->frame); // nothing to hand out
    }
    *byte = zframe_data(record->frame)[record->position++];
    if (record->position == zframe_size(record->frame))
        zframe_destroy(&record->frame);
    return aErrNone;
}

// Every write of the link engine comes through here, so each packet is one frame.
aErr clientPut(uint8_t, void*) {
    return aErrUnimplemented;
}

aErr clientWrite(const uint8_t* bytes, size_t count, void* reference) {
    ClientRecord* record = recordOf(reference);
    if (record == nullptr || bytes == nullptr)
        return aErrParam;
    if (record->outgoing.connected == nullptr)
        return aErrIO; // closed at exit
    return corvane::sendBounded(record->outgoing.connected, bytes, count) ? aErrNone : aErrIO;
}

aErr clientDelete(void* reference) {
    ClientRecord* record = recordOf(reference);
    if (record == nullptr)
        return aErrParam;
    delete record;
    return aErrNone;
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
        if (!record->outgoing.open() || !record->incoming.open())
            return fail(record->outgoing.bound && record->incoming.bound ? aErrConnection
                                                                         : aErrMemory);
        record->front = zsock_new(ZMQ_DEALER);
        if (record->front == nullptr)
            return fail(aErrMemory);
        const std::string inproc = corvane::inprocServerFind(address, port);
        char dotted[INET_ADDRSTRLEN] = {};
        in_addr server{address};
        if (!inproc.empty()) {
            if (zsock_connect(record->front, "%s", inproc.c_str()) != 0)
                return fail(aErrConnection);
        } else if (inet_ntop(AF_INET, &server, dotted, sizeof dotted) == nullptr ||
                   zsock_connect(record->front, "tcp://%s:%u", dotted,
                                 static_cast<unsigned>(port)) != 0) {
            return fail(aErrConnection);
        }
        record->poller = zpoller_new(record->incoming.connected, nullptr);
        if (record->poller == nullptr)
            return fail(aErrMemory);
        record->task = zactor_new(clientTask, record);
        if (record->task == nullptr)
            return fail(aErrResource);
        *stream = aStream_Create(clientGet, clientPut, clientWrite, clientDelete, record);
        if (*stream == nullptr)
            return fail(aErrResource);
        // The link's threads have stopped by then; the record stays for the stream to free.
        corvane::atExitRegister(record, [record] { record->close(); });
        return aErrNone;
    });
}
