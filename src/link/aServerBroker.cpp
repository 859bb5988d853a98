// The sharing server at work: a broker task that takes client packets from the ROUTER, passes
// them to the module link one request at a time and answers discovery beacons, and a packet
// filter on the module link that returns each reply to its client and batches stream packets
// for the clients that enabled streaming. The two take turns on the ROUTER under one lock.
#include "aBeacon.h"
#include "aDebugTrace.h"
#include "aLinkEngine.h"
#include "aServerRecord.h"
#include "aServer_Internal.h"
#include "aUEI_Internal.h"
#include "corvane/aTime.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace corvane::server {

namespace {

using corvane::link::wireBytes;

constexpr int kBrokerPollMs = 1000;
constexpr uint32_t kBeaconAnswerMs = 2000;
constexpr uint32_t kReplyWaitMs = 2000;
constexpr std::size_t kBatchFlush = kBatchSize - aPACKET_MAXWIRE; // one more might not fit

constexpr uint8_t kForceRouteAddress = 175;
constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kStreamEnable = 0x81;

// Client messages served in one turn at most, so a flood of them holds neither the broker nor
// the module link's reader for long.
constexpr int kServedPerTurn = 64;

bool isHeartbeat(const aPacket& packet) {
    return packet.length == 2 && packet.data[0] == 0;
}

// A content frame (address, length, data) as a packet; false for a wrong size.
bool packetOf(const uint8_t* bytes, std::size_t size, aPacket& packet) {
    if (size < 2 || size - 2 > aPACKET_MAXDATA || bytes[1] != size - 2)
        return false;
    std::memset(&packet, 0, sizeof packet);
    packet.check = aPACKET_CHECK;
    packet.address = bytes[0];
    packet.length = bytes[1];
    packet.count = static_cast<uint8_t>(size);
    std::memcpy(packet.data, bytes + 2, packet.length);
    return true;
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

void takeReply(aServer& s, const aPacket& reply);
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

bool sendToClient(aServer& s, const ClientId& client, const void* bytes, std::size_t size) {
    void* router = zsock_resolve(s.router);
    s.routerUsed = true;
    if (zmq_send(router, client.data(), client.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0) {
        debugTrace("failed to send id\n");
        return false;
    }
    return zmq_send(router, bytes, size, ZMQ_DONTWAIT) >= 0;
}

void startNext(aServer& s);

// Ends the request with the module: its replies go to whoever asked, or, with none, the asker
// is dropped and its own wait times out.
void conclude(aServer& s, int outcome) {
    if (outcome == SERVER_CMD_DROPPED_PACKET) {
        debugTrace("dropping id: fifo size: %d\n", static_cast<int>(s.waiting.size()));
    } else {
        debugTrace("Num packets coming: %d\n", static_cast<int>(s.replies.size()));
        for (const aPacket& reply : s.replies) {
            uint8_t bytes[aPACKET_MAXWIRE];
            const std::size_t n = wireBytes(&reply, bytes);
            if (!s.asker.empty())
                sendToClient(s, s.asker, bytes, n);
        }
    }
    s.asker.clear();
    s.replies.clear();
    s.awaiting = false;
    startNext(s);
}

void takeReply(aServer& s, const aPacket& reply) {
    if (!s.awaiting) {
        debugTrace("no id to pop\n"); // late, or never asked for
        return;
    }
    s.replies.push_back(reply);
    // A multi-packet UEIBytes reply is collected whole, each packet within its own wait.
    if (uei::continuesRun(reply) && s.replies.size() < UINT16_MAX)
        s.awaitStart = aTime_GetMSTicks();
    else
        conclude(s, SERVER_CMD_INCOMING_PACKETS);
}

// Hands the oldest waiting request to the module link, unless one is there already. Requests
// reach the module strictly one after another, and only a request that gets a reply holds up
// the next.
void startNext(aServer& s) {
    Request request;
    while (!s.awaiting && s.waiting.pop(request)) {
        aErr put = aErrNone;
        for (const aPacket& packet : request.packets)
            if ((put = aLink_PutPacket(s.link, &packet)) != aErrNone)
                break;
        const aPacket& last = request.packets.back();
        if (put != aErrNone) {
            debugTrace("Failed to PUT packet: err: %d\n", put);
        } else if (last.address == kForceRouteAddress || uei::continuesRun(last)) {
            debugTrace("don't wait on this packet\n");
        } else {
            s.awaiting = true;
            s.asker = std::move(request.asker);
            s.awaitStart = aTime_GetMSTicks();
        }
    }
}

// Queues packets for the module, owing their reply to asker (empty: to no one).
void enqueue(aServer& s, ClientId asker, std::vector<aPacket> packets) {
    if (s.waiting.push(Request{std::move(asker), std::move(packets)}))
        startNext(s);
}

void checkReplyWait(aServer& s) {
    if (!s.awaiting || aTime_GetMSTicks() - s.awaitStart < kReplyWaitMs)
        return;
    if (s.replies.empty()) {
        debugTrace("Failed to AWAIT packet\n");
        conclude(s, SERVER_CMD_DROPPED_PACKET);
    } else {
        conclude(s, SERVER_CMD_INCOMING_PACKETS);
    }
}

int pollTimeout(const aServer& s) {
    if (!s.awaiting)
        return kBrokerPollMs;
    const uint32_t waited = aTime_GetMSTicks() - s.awaitStart;
    return waited >= kReplyWaitMs ? 0 : std::min<int>(kBrokerPollMs, kReplyWaitMs - waited);
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
        for (const ClientId& subscriber : s.subscribers)
            sendToClient(s, subscriber, bytes + 1, size - 1);
    } else if (size == 1 && bytes[0] == kTagServe) {
        s.routerUsed = true;
    }
    zmq_msg_close(&msg);
    return true;
}

void subscribe(aServer& s, const ClientId& client, const aPacket& packet) {
    if (packet.data[1] != kStreamEnable) {
        debugTrace("unknown stream enable: %d\n", packet.data[1]);
        return;
    }
    if (std::find(s.subscribers.begin(), s.subscribers.end(), client) != s.subscribers.end())
        return;
    s.subscribers.push_back(client);
    debugTrace("Added stream entry\n");
}

void handleClient(aServer& s) {
    zmsg_t* msg = zmsg_recv(s.router);
    if (msg == nullptr)
        return;
    zframe_t* identity = zmsg_pop(msg);
    zframe_t* content = zmsg_pop(msg);
    aPacket packet;
    if (identity == nullptr || content == nullptr ||
        !packetOf(zframe_data(content), zframe_size(content), packet)) {
        debugTrace("Bad content packet: dSize: %d\n",
                   content ? static_cast<int>(zframe_size(content)) - 2 : -2);
    } else {
        const ClientId client(reinterpret_cast<const char*>(zframe_data(identity)),
                              zframe_size(identity));
        if (packet.length == 7 && packet.data[0] == kCmdStream)
            subscribe(s, client, packet);
        std::vector<aPacket> run;
        const BytesPool::Outcome pooled = uei::carriesUEI(packet)
                                              ? s.pool.offer(client, packet, run)
                                              : BytesPool::Outcome::notPooled;
        if (pooled == BytesPool::Outcome::complete) {
            enqueue(s, client, std::move(run));
        } else if (pooled != BytesPool::Outcome::notPooled) {
            // held, or dropped
        } else if (packet.address == kForceRouteAddress && packet.length == 1) {
            debugTrace("Blocking cmdFORCEROUTE from remote client\n");
        } else {
            // No reply comes for anything addressed to 175.
            enqueue(s, packet.address != kForceRouteAddress ? client : ClientId{}, {packet});
        }
    }
    zframe_destroy(&identity);
    zframe_destroy(&content);
    zmsg_destroy(&msg);
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
                    inet_pton(AF_INET, s.hostAddress.c_str(), &address);
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
    s.asker.clear();
    s.waiting.forgetAskers();
    return true;
}

} // namespace

// Stream packets are batched for the broker; any other packet but a heartbeat is the reply to
// the request with the module, or nothing anyone waits for.
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
    takeReply(*s, *packet);
    // Sending may have taken in the news of a client's next request, which the broker would
    // then sleep through: the requests waiting are served here, as the broker would.
    if (s->routerUsed && !serveClients(*s) &&
        zmq_send(zsock_resolve(s->modulePair.connected), &kTagServe, 1, ZMQ_DONTWAIT) < 0)
        debugTrace("broker not woken\n");
    return true;
}

void forgetRequests(aServer& s) {
    s.asker.clear();
    s.waiting.clear();
    s.replies.clear();
    s.awaiting = false;
}

// The broker: the server's own thread. It takes client packets from the ROUTER and hands them
// to the module link one request at a time (the filter returns the replies and serves the
// requests that came meanwhile), gives up on replies that do not come, fans stream batches out
// and answers discovery beacons.
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
        size_t size = sizeof signals[i];
        zmq_getsockopt(sockets[i], ZMQ_FD, &signals[i], &size);
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
    forgetRequests(s);
    s.subscribers.clear();
    debugTrace("broker task exit\n");
}

} // namespace corvane::server
