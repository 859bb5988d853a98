// The sharing server at work: a broker task that takes client packets from the ROUTER, passes
// them to the module link as the dispatcher lets them go and answers discovery beacons, and a
// packet filter on the module link that returns each answer to the client that asked, passes
// unasked packets to the clients that wait for them and batches stream packets for the clients
// that enabled streaming. The two take turns on the ROUTER under one lock.
#include "aBeacon.h"
#include "aDebugTrace.h"
#include "aPacketInternal.h"
#include "aServerRecord.h"
#include "aServer_Internal.h"
#include "aUEI_Internal.h"
#include "corvane/aTime.h"
#include "platform/platform.h"
#include "platform/udp.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace corvane::server {

namespace {

using corvane::wireBytes;

constexpr int kBrokerPollMs = 1000;
constexpr uint32_t kBeaconAnswerMs = 2000;
constexpr std::size_t kBatchFlush = kBatchSize - aPACKET_MAXWIRE; // one more might not fit

// Client messages served in one turn at most, so a flood of them holds neither the broker nor
// the module link's reader for long.
constexpr int kServedPerTurn = 64;

bool isHeartbeat(const aPacket& packet) {
    return packet.length == 2 && packet.data[0] == 0;
}

// ---- Packet filter on the module link (its reader thread) ----

void flushBatch(aServer& s) {
    if (s.batch.size() <= 1)
        return;
    if (zmq_send(zsock_resolve(s.modulePair.connected), s.batch.data(), s.batch.size(),
                 ZMQ_DONTWAIT) < 0)
        debugTrace("stream batch lost\n");
    s.batch.resize(1);
}

void handleClient(aServer& s);

// 1 when a message waits on the socket, 0 when none does, -1 when ZeroMQ is ending. Looking
// takes in the socket's news, which its signal descriptor then no longer shows.
int inputOf(void* socket) {
    int events = 0;
    size_t size = sizeof events;
    if (zmq_getsockopt(socket, ZMQ_EVENTS, &events, &size) != 0)
        return zmq_errno() == ETERM ? -1 : 0;
    return (events & ZMQ_POLLIN) != 0 ? 1 : 0;
}

bool hasInput(void* socket) {
    return inputOf(socket) > 0;
}

// Serves the client messages waiting on the ROUTER, a turn's worth at most. True when none is
// left; otherwise the ROUTER stays marked as used.
bool serveClients(aServer& s) {
    void* router = zsock_resolve(s.router);
    for (int served = 0; served < kServedPerTurn; ++served) {
        if (!hasInput(router)) {
            s.routerUsed = false;
            return true;
        }
        handleClient(s);
    }
    s.routerUsed = true;
    return false;
}

// ---- The module's turn (the broker and the filter, under `turn`) ----

Ticks now() {
    return aTime_GetMSTicks();
}

// Sends one frame to a client: into its inbox when it is in this process, else through the
// ROUTER. A client that is gone (the ROUTER no longer knows it) is forgotten with all it asked
// for; a client that does not read loses the frame.
bool sendToClient(aServer& s, const ClientId& client, const void* bytes, std::size_t size) {
    if (const auto inbox = s.inboxes.find(client); inbox != s.inboxes.end())
        return inbox->second->put(static_cast<const uint8_t*>(bytes), size);
    void* router = zsock_resolve(s.router);
    s.routerUsed = true;
    int sent = zmq_send(router, client.data(), client.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT);
    if (sent < 0 && zmq_errno() == EHOSTUNREACH) {
        // A send looks at the socket's news only now and then: a client that has just
        // connected may not be known yet. Taking the news in settles it.
        inputOf(router);
        sent = zmq_send(router, client.data(), client.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT);
    }
    if (sent < 0) {
        if (zmq_errno() == EHOSTUNREACH) {
            debugTrace("client gone, forgotten\n");
            s.dispatch.forget(ClientId(client));
        } else {
            debugTrace("failed to send id\n");
        }
        return false;
    }
    return zmq_send(router, bytes, size, ZMQ_DONTWAIT) >= 0;
}

// Hands the module link every request the dispatcher lets go now.
void startNext(aServer& s) {
    Request request;
    const Ticks at = now();
    while (s.dispatch.next(request, at)) {
        aErr put = aErrNone;
        for (const aPacket& packet : request.packets)
            if ((put = aLink_PutPacket(s.link, &packet)) != aErrNone)
                break;
        if (put != aErrNone) {
            debugTrace("Failed to PUT packet: err: %d\n", put);
            s.dispatch.failed(request);
        }
    }
}

void checkReplyWait(aServer& s) {
    s.dispatch.expire(now());
    startNext(s);
}

int pollTimeout(const aServer& s) {
    const int left = s.dispatch.msUntilExpiry(now());
    return left < 0 ? kBrokerPollMs : std::min(left, kBrokerPollMs);
}

// ---- Broker task ----

// One frame from the module link's filter: a stream batch for every subscriber, or a call to
// serve the ROUTER. False when none was there.
bool handleModuleFrame(aServer& s) {
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    if (zmq_msg_recv(&msg, zsock_resolve(s.modulePair.bound), ZMQ_DONTWAIT) < 0) {
        zmq_msg_close(&msg);
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(zmq_msg_data(&msg));
    const std::size_t size = zmq_msg_size(&msg);
    std::lock_guard<std::mutex> lock(s.turn);
    if (size > 1 && bytes[0] == kTagBatch) {
        // A copy: a subscriber found gone is forgotten on the way.
        const std::vector<ClientId> subscribers = s.dispatch.subscribers();
        for (const ClientId& subscriber : subscribers)
            sendToClient(s, subscriber, bytes + 1, size - 1);
    } else if (size == 1 && bytes[0] == kTagServe) {
        s.routerUsed = true;
    }
    zmq_msg_close(&msg);
    return true;
}

// Takes one client message from the ROUTER: its identity, then one content frame.
void handleClient(aServer& s) {
    void* router = zsock_resolve(s.router);
    zmq_msg_t identity, content;
    zmq_msg_init(&identity);
    zmq_msg_init(&content);
    if (zmq_msg_recv(&identity, router, ZMQ_DONTWAIT) >= 0) {
        bool whole = zmq_msg_more(&identity) && zmq_msg_recv(&content, router, ZMQ_DONTWAIT) >= 0;
        // A message of more frames than one is no content frame; the rest is read and dropped.
        bool more = whole && zmq_msg_more(&content);
        if (more)
            whole = false;
        while (more && zmq_msg_recv(&content, router, ZMQ_DONTWAIT) >= 0)
            more = zmq_msg_more(&content);
        aPacket packet;
        if (!whole || !frameToPacket(static_cast<const uint8_t*>(zmq_msg_data(&content)),
                                     zmq_msg_size(&content), packet)) {
            debugTrace("Bad content packet: dSize: %d\n",
                       static_cast<int>(zmq_msg_size(&content)) - 2);
        } else {
            const ClientId client(static_cast<const char*>(zmq_msg_data(&identity)),
                                  zmq_msg_size(&identity));
            if (s.dispatch.take(client, packet, now()) == Dispatcher::Taken::queued)
                startNext(s);
        }
    }
    zmq_msg_close(&identity);
    zmq_msg_close(&content);
}

void handleBeacon(aServer& s) {
    char* sender = nullptr;
    zframe_t* content = nullptr;
    if (zsock_recv(s.beacon, "sf", &sender, &content) != 0) {
        zstr_free(&sender);
        return;
    }
    const std::size_t prefix = std::strlen(corvane::kDiscoveryRequest);
    if (content != nullptr && zframe_size(content) >= prefix &&
        std::memcmp(zframe_data(content), corvane::kDiscoveryRequest, prefix) == 0) {
        if (s.localOnly && s.hostAddress != (sender ? sender : "")) {
            debugTrace("Heard outside beacon, ignoring because we are local\n");
            s.publishing = true;
            s.publishStart = aTime_GetMSTicks();
        } else if (!s.publishing) {
            const uint8_t model = s.model.load();
            if (model == 0) {
                debugTrace("Discovery not allowed (beacon), model not set.\n");
            } else {
                uint32_t address = kLoopback;
                if (!s.localOnly)
                    corvane::platform::parseIPv4(s.hostAddress.c_str(), address);
                uint8_t answer[128];
                aServer_BeaconAnswer(s.serialNumber.load(), model, address, s.port, answer);
                zsock_send(s.beacon, "sbi", "PUBLISH", answer, sizeof answer,
                           corvane::kBeaconIntervalMs);
                s.beaconUsed = true;
                s.publishing = true;
                s.publishStart = aTime_GetMSTicks();
            }
        }
    }
    zstr_free(&sender);
    zframe_destroy(&content);
}

// The broker's end of its actor pipe: a flush signal, or the end. False for the end.
bool handlePipe(zsock_t* pipe, aServer& s) {
    zmsg_t* msg = zmsg_recv(pipe);
    const int signal = msg ? zmsg_signal(msg) : -1;
    zmsg_destroy(&msg);
    if (signal != kFlushSignal) {
        debugTrace("pre exit 1\n");
        return false;
    }
    debugTrace("Flushing FIFO\n");
    std::lock_guard<std::mutex> lock(s.turn);
    s.dispatch.flush();
    return true;
}

} // namespace

// Stream packets are batched for the broker. Any other packet but a heartbeat goes where the
// dispatcher says: an answer to the client that asked (and the server keeps it), anything else
// to the clients that wait for it, and on to the link's own users.
bool serverFilter(const aPacket* packet, void* reference) {
    auto* s = static_cast<aServer*>(reference);
    if (isHeartbeat(*packet)) {
        flushBatch(*s);
        return false; // the engine answers it
    }
    if (uei::isStreamPacket(*packet)) {
        uint8_t bytes[aPACKET_MAXWIRE];
        const std::size_t n = wireBytes(packet, bytes);
        s->batch.insert(s->batch.end(), bytes, bytes + n);
        if (s->batch.size() - 1 >= kBatchFlush)
            flushBatch(*s);
        return true;
    }
    std::lock_guard<std::mutex> lock(s->turn);
    const Dispatcher::Delivery delivery = s->dispatch.route(*packet, now());
    if (!delivery.to.empty()) {
        uint8_t bytes[aPACKET_MAXWIRE];
        const std::size_t n = wireBytes(packet, bytes);
        for (const ClientId& client : delivery.to)
            sendToClient(*s, client, bytes, n);
    }
    if (delivery.answer)
        startNext(*s); // a request may go that waited for this one
    // Sending may have taken in the news of a client's next request, which the broker would
    // then sleep through: the requests waiting are served here, as the broker would.
    if (s->routerUsed && !serveClients(*s) &&
        zmq_send(zsock_resolve(s->modulePair.connected), &kTagServe, 1, ZMQ_DONTWAIT) < 0)
        debugTrace("broker not woken\n");
    return delivery.answer;
}

bool takeFromClient(aServer& s, const ClientId& client, const uint8_t* bytes, std::size_t size) {
    aPacket packet;
    if (!frameToPacket(bytes, size, packet)) {
        debugTrace("Bad content packet: dSize: %d\n", static_cast<int>(size) - 2);
        return false;
    }
    std::lock_guard<std::mutex> lock(s.turn);
    if (s.dispatch.take(client, packet, now()) == Dispatcher::Taken::queued)
        startNext(s);
    return true;
}

void attachClient(aServer& s, const ClientId& client, std::shared_ptr<InprocInbox> inbox) {
    std::lock_guard<std::mutex> lock(s.turn);
    s.inboxes[client] = std::move(inbox);
}

void forgetClient(aServer& s, const ClientId& client) {
    std::lock_guard<std::mutex> lock(s.turn);
    s.dispatch.forget(client);
    s.inboxes.erase(client);
}

// The broker: the server's own thread. It takes client packets from the ROUTER and hands them
// to the module link as the dispatcher lets them go (the filter returns the answers and serves
// the requests that came meanwhile), gives up on answers that do not come, fans stream batches
// out and answers discovery beacons.
//
// It waits on all its sockets in one poll of their signal descriptors (ZMQ_FD): a poll of the
// sockets themselves costs several system calls per socket and pass, which on a busy link is
// most of a round trip. A descriptor only tells of news, and any call on its socket takes the
// news in, so a socket is looked at when its descriptor is readable, and again after the
// broker used it, until a look finds it empty.
void brokerTask(zsock_t* pipe, void* reference) {
    aServer& s = *static_cast<aServer*>(reference);
    void* sockets[] = {zsock_resolve(pipe), zsock_resolve(s.modulePair.bound),
                       zsock_resolve(s.router),
                       s.beaconRunning ? zsock_resolve(s.beacon) : nullptr};
    const int count = s.beaconRunning ? 4 : 3;
    int signals[4] = {-1, -1, -1, -1};
    bool readable[4] = {};
    bool look[4] = {};
    for (int i = 0; i < count; ++i) {
        // zsock_fd sizes the option for the system's socket type (a SOCKET on Windows).
        signals[i] = static_cast<int>(zsock_fd(sockets[i]));
        look[i] = true;
    }
    enum { kPipe, kModule, kRouter, kBeacon };
    zsock_signal(pipe, 0);
    for (;;) {
        const bool again = look[kPipe] || look[kModule] || look[kRouter] || look[kBeacon];
        int timeout = 0;
        if (!again) {
            std::lock_guard<std::mutex> lock(s.turn);
            timeout = pollTimeout(s);
        }
        if (corvane::platform::waitAnyReadable(signals, readable, count, timeout) == aErrIO) {
            debugTrace("pre exit 2\n");
            break;
        }
        for (int i = 0; i < count; ++i)
            look[i] = look[i] || readable[i];
        if (look[kPipe]) {
            look[kPipe] = false;
            int input = 0;
            while ((input = inputOf(sockets[kPipe])) > 0 && handlePipe(pipe, s)) {
            }
            if (input < 0)
                debugTrace("pre exit 2\n");
            if (input != 0)
                break; // "pre exit 1" was told by handlePipe
        }
        if (look[kModule]) {
            look[kModule] = false;
            while (handleModuleFrame(s)) {
            }
        }
        std::unique_lock<std::mutex> turn(s.turn);
        if (look[kRouter] || s.routerUsed) {
            look[kRouter] = false;
            serveClients(s);
        }
        checkReplyWait(s);
        look[kRouter] = s.routerUsed;
        turn.unlock();
        if (look[kBeacon] || s.beaconUsed) {
            look[kBeacon] = false;
            while (hasInput(sockets[kBeacon]))
                handleBeacon(s);
            s.beaconUsed = false;
        }
        if (s.publishing && aTime_GetMSTicks() - s.publishStart > kBeaconAnswerMs) {
            zstr_send(s.beacon, "SILENCE");
            s.beaconUsed = true;
            s.publishing = false;
            debugTrace("Beacon silenced\n");
        }
        look[kBeacon] = s.beaconUsed && count > kBeacon;
    }
    std::lock_guard<std::mutex> turn(s.turn);
    s.dispatch.clear();
    debugTrace("broker task exit\n");
}

} // namespace corvane::server

void aServer_BeaconAnswer(uint32_t serialNumber, uint8_t model, uint32_t address, uint16_t port,
                          uint8_t out[128]) {
    auto put32 = [&](std::size_t offset, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    std::memset(out, 0, 128);
    put32(0, 4); // aEther
    put32(4, serialNumber);
    put32(20, model);
    std::memcpy(out + 24, &address, 4); // already in network byte order
    put32(28, port);
}
