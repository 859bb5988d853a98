// The local sharing server: a broker task that takes client packets from a ROUTER socket, passes
// them to the module link one request at a time and answers discovery beacons, and a packet
// filter on the module link that returns each reply to its client and batches stream packets
// for the clients that enabled streaming. The two take turns on the ROUTER under one lock.
#include "corvane/aServer.h"

#include "aBeacon.h"
#include "aDebugTrace.h"
#include "aLinkEngine.h"
#include "aServer_Internal.h"
#include "aZmqSockets.h"
#include "cApiGuard.h"
#include "corvane/aTime.h"
#include "corvane/zBeaconInterface.h"
#include "platform/platform.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

using corvane::debugTrace;
using corvane::SocketPair;
using corvane::link::wireBytes;

constexpr uint16_t kServerCheck = 0x5E7E;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr int kBrokerPollMs = 1000;
constexpr uint32_t kBeaconAnswerMs = 2000;
constexpr int kConfigureWaitMs = 2000;
constexpr uint32_t kReplyWaitMs = 2000;
constexpr int kFlushSignal = 5;
constexpr std::size_t kBatchSize = 4096;
constexpr std::size_t kBatchFlush = kBatchSize - aPACKET_MAXWIRE; // one more might not fit
constexpr int kPoolTimeToLive = 2000;
// Longest UEIBytes run held (1.5 MB of data); a longer one would only grow without end.
constexpr std::size_t kPoolMaxPackets = 65536;

constexpr uint8_t kForceRouteAddress = 175;
constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kMoreBit = 0x80;

// Requests queued for the module at most; more are refused, as a full queue would be.
constexpr std::size_t kMaxWaiting = 1000;

// Client messages served in one turn at most, so a flood of them holds neither the broker nor
// the module link's reader for long.
constexpr int kServedPerTurn = 64;

// Frames from the filter to the broker: a stream batch, or a call to serve the ROUTER. Frames to
// and from clients carry no tag.
constexpr uint8_t kTagBatch = 'S';
constexpr uint8_t kTagServe = 'L';

// Commands whose packets are no UEIs.
bool isUEIPayload(const aPacket& packet) {
    static constexpr uint8_t kNotUEI[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    if (packet.length == 0)
        return false;
    for (uint8_t command : kNotUEI)
        if (packet.data[0] == command)
            return false;
    return true;
}

bool isFull(const aPacket& packet) {
    return packet.length == 27 || packet.length == 28;
}

bool hasMore(const aPacket& packet) {
    return packet.length > 0 && (packet.data[packet.length - 1] & kMoreBit) != 0;
}

// A middle packet of a UEIBytes run: more follow, so the module sends no reply to it.
bool continuesRun(const aPacket& packet) {
    return isUEIPayload(packet) && isFull(packet) && hasMore(packet);
}

bool isHeartbeat(const aPacket& packet) {
    return packet.length == 2 && packet.data[0] == 0;
}

bool isStreamPacket(const aPacket& packet) {
    return packet.length > 4 && isUEIPayload(packet) && packet.data[1] < 0x40 &&
           (packet.data[2] & 0x40) != 0;
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

// Packets for the module that go out back to back and are answered once.
struct Request {
    zframe_t* identity = nullptr; // whom the reply goes to; null: no one
    std::vector<aPacket> packets;
};

struct PoolEntry {
    zframe_t* identity = nullptr;
    std::vector<aPacket> packets;
    uint8_t sequence = 0;
    int timeToLive = kPoolTimeToLive;
};

} // namespace

struct aServer {
    uint16_t check = kServerCheck;
    aLinkRef link = 0;
    std::atomic<uint32_t> serialNumber{0};
    std::atomic<uint8_t> model{0};
    std::atomic<uint8_t> moduleAddress{0};
    bool localOnly = true;
    uint32_t interfaceAddress = kLoopback;

    zactor_t* broker = nullptr;
    zactor_t* beacon = nullptr;
    bool beaconRunning = false;
    bool filterInstalled = false;

    uint16_t port = 0;
    SocketPair modulePair; // the filter writes `connected`, the broker reads `bound`
    std::string hostAddress;

    // The filter's (the module link's reader thread): the tag, then the batched packets.
    std::vector<uint8_t> batch{kTagBatch};

    // The broker's and the filter's in turn: a reply goes to its client straight from the
    // filter, which then serves the requests waiting on the ROUTER, so neither a reply nor a
    // request that came meanwhile waits for the broker to wake.
    std::mutex turn;
    zsock_t* router = nullptr;
    std::deque<Request> waiting; // for the module, oldest first
    bool awaiting = false;       // a request is with the module
    zframe_t* asker = nullptr;   // whom its replies go to; null when owed to no one
    uint32_t awaitStart = 0;     // of the wait for its next reply
    std::vector<aPacket> replies;
    std::vector<zframe_t*> subscribers;
    std::list<PoolEntry> pool;
    bool routerUsed = false; // sent on since last found empty: its news may have been taken in

    // The broker's.
    bool publishing = false;
    uint32_t publishStart = 0; // aTime_GetMSTicks, compared by difference
    bool beaconUsed = false;   // as routerUsed
};

namespace {

bool valid(const aServer* server) {
    return server != nullptr && server->check == kServerCheck;
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

// Stream packets are batched for the broker; any other packet but a heartbeat is the reply to
// the request with the module, or nothing anyone waits for.
bool serverFilter(const aPacket* packet, void* reference) {
    auto* s = static_cast<aServer*>(reference);
    if (isHeartbeat(*packet)) {
        flushBatch(*s);
        return false; // the engine answers it
    }
    if (isStreamPacket(*packet)) {
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

// ---- The module's turn (the broker and the filter, under `turn`) ----

bool sendToClient(aServer& s, zframe_t* identity, const void* bytes, std::size_t size) {
    void* router = zsock_resolve(s.router);
    s.routerUsed = true;
    if (zmq_send(router, zframe_data(identity), zframe_size(identity), ZMQ_SNDMORE | ZMQ_DONTWAIT) <
        0) {
        debugTrace("failed to send id\n");
        return false;
    }
    return zmq_send(router, bytes, size, ZMQ_DONTWAIT) >= 0;
}

void forgetAskers(aServer& s) {
    zframe_destroy(&s.asker);
    for (Request& request : s.waiting)
        zframe_destroy(&request.identity);
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
            if (s.asker != nullptr)
                sendToClient(s, s.asker, bytes, n);
        }
    }
    zframe_destroy(&s.asker);
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
    if (continuesRun(reply) && s.replies.size() < UINT16_MAX)
        s.awaitStart = aTime_GetMSTicks();
    else
        conclude(s, SERVER_CMD_INCOMING_PACKETS);
}

// Hands the oldest waiting request to the module link, unless one is there already. Requests
// reach the module strictly one after another, and only a request that gets a reply holds up
// the next.
void startNext(aServer& s) {
    while (!s.awaiting && !s.waiting.empty()) {
        Request request = std::move(s.waiting.front());
        s.waiting.pop_front();
        aErr put = aErrNone;
        for (const aPacket& packet : request.packets)
            if ((put = aLink_PutPacket(s.link, &packet)) != aErrNone)
                break;
        const aPacket& last = request.packets.back();
        if (put != aErrNone) {
            debugTrace("Failed to PUT packet: err: %d\n", put);
        } else if (last.address == kForceRouteAddress || continuesRun(last)) {
            debugTrace("don't wait on this packet\n");
        } else {
            s.awaiting = true;
            s.asker = request.identity;
            s.awaitStart = aTime_GetMSTicks();
            continue;
        }
        zframe_destroy(&request.identity);
    }
}

// Queues packets for the module, owing their reply to identity (taken; null: to no one).
void enqueue(aServer& s, zframe_t* identity, std::vector<aPacket> packets) {
    if (s.waiting.size() >= kMaxWaiting) {
        debugTrace("Failed to send packet out!\n");
        zframe_destroy(&identity);
        return;
    }
    s.waiting.push_back(Request{identity, std::move(packets)});
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
        for (zframe_t* subscriber : s.subscribers)
            sendToClient(s, subscriber, bytes + 1, size - 1);
    } else if (size == 1 && bytes[0] == kTagServe) {
        s.routerUsed = true;
    }
    zmq_msg_close(&msg);
    return true;
}

std::list<PoolEntry>::iterator poolEntryOf(aServer& s, zframe_t* identity) {
    for (auto it = s.pool.begin(); it != s.pool.end(); ++it)
        if (zframe_eq(it->identity, identity))
            return it;
    return s.pool.end();
}

void destroyEntry(aServer& s, std::list<PoolEntry>::iterator it) {
    zframe_destroy(&it->identity);
    s.pool.erase(it);
}

// UEIBytes runs are held until complete, then go to the module back to back with one asker
// for their single acknowledgement. True when the packet was taken here.
bool pooled(aServer& s, zframe_t* identity, const aPacket& packet) {
    for (auto it = s.pool.begin(); it != s.pool.end();) {
        auto next = std::next(it);
        if (it->timeToLive-- == 0) {
            debugTrace("setUEIBytes is stale, destroying\n");
            destroyEntry(s, it);
        }
        it = next;
    }
    auto entry = poolEntryOf(s, identity);
    if (entry != s.pool.end()) {
        const uint8_t sequence = packet.length ? packet.data[packet.length - 1] & 0x7F : 0;
        if (sequence != ((entry->sequence + 1) & 0x7F)) {
            debugTrace("BOOM: Sequence mix up. ttl will clean it up. \n");
            return true;
        }
        if (entry->packets.size() == kPoolMaxPackets) {
            debugTrace("setUEIBytes too long, destroying\n");
            destroyEntry(s, entry);
            return true;
        }
        entry->packets.push_back(packet);
        if (isFull(packet) && hasMore(packet)) {
            entry->sequence = sequence;
            return true;
        }
        for (const aPacket& p : entry->packets)
            debugTrace("Pool Packet: %d\n", p.length);
        enqueue(s, zframe_dup(identity), std::move(entry->packets));
        destroyEntry(s, entry);
        return true;
    }
    if (packet.length == 28 && packet.data[27] == kMoreBit) {
        PoolEntry fresh;
        fresh.identity = zframe_dup(identity);
        fresh.packets.push_back(packet);
        s.pool.push_back(std::move(fresh));
        return true;
    }
    return false;
}

void subscribe(aServer& s, zframe_t* identity, const aPacket& packet) {
    if (packet.data[1] != kStreamEnable) {
        debugTrace("unknown stream enable: %d\n", packet.data[1]);
        return;
    }
    for (zframe_t* known : s.subscribers)
        if (zframe_eq(known, identity))
            return;
    s.subscribers.push_back(zframe_dup(identity));
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
        if (packet.length == 7 && packet.data[0] == kCmdStream)
            subscribe(s, identity, packet);
        if (isUEIPayload(packet) && pooled(s, identity, packet)) {
            // held, or gone to the module whole
        } else if (packet.address == kForceRouteAddress && packet.length == 1) {
            debugTrace("Blocking cmdFORCEROUTE from remote client\n");
        } else {
            // No reply comes for anything addressed to 175.
            enqueue(s, packet.address != kForceRouteAddress ? zframe_dup(identity) : nullptr,
                    {packet});
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
    forgetAskers(s);
    return true;
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
    forgetAskers(s);
    s.waiting.clear();
    s.replies.clear();
    s.awaiting = false;
    for (zframe_t*& subscriber : s.subscribers)
        zframe_destroy(&subscriber);
    s.subscribers.clear();
    debugTrace("broker task exit\n");
}

// ---- Start and stop ----

std::string dotted(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{address};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// The interface the server listens and beacons on: loopback for a local-only server or a
// host without other interfaces; otherwise the given one, or the first listed for none.
std::string configureInterface(aServer& s) {
    const uint32_t first = corvane::firstNonLoopbackInterface();
    if (s.localOnly || first == 0) {
        // Clients connect to the interface address, and a local-only server listens only here.
        s.interfaceAddress = kLoopback;
        s.hostAddress = "127.0.0.1";
        return s.hostAddress;
    }
    if (s.interfaceAddress == 0 || s.interfaceAddress == kLoopback)
        s.interfaceAddress = first;
    return dotted(s.interfaceAddress);
}

bool startBeacon(aServer& s, const std::string& interfaceText) {
    if (!zBeaconInterface_setAndLock(interfaceText.c_str()))
        return false;
    s.beacon = corvane::beaconCreate();
    zBeaconInterface_unlock();
    if (s.beacon == nullptr)
        return false;
    zsock_set_rcvtimeo(s.beacon, kConfigureWaitMs);
    zsock_send(s.beacon, "si", "CONFIGURE", corvane::kBeaconPort);
    char* host = zstr_recv(s.beacon);
    // A beacon without a usable interface leaves the server reachable, only not discoverable.
    s.beaconRunning = host != nullptr && host[0] != '\0';
    if (s.beaconRunning && !s.localOnly)
        s.hostAddress = host;
    zstr_free(&host);
    zsock_set_rcvtimeo(s.beacon, corvane::kBeaconIntervalMs);
    if (s.beaconRunning)
        zsock_send(s.beacon, "sb", "SUBSCRIBE", corvane::kDiscoveryRequest,
                   std::strlen(corvane::kDiscoveryRequest));
    return true;
}

bool bindRouter(aServer& s, const std::string& interfaceText) {
    s.router = zsock_new(ZMQ_ROUTER);
    if (s.router == nullptr)
        return false;
    const std::string where = s.localOnly ? "127.0.0.1" : interfaceText;
    const int port = zsock_bind(s.router, "tcp://%s:*", where.c_str());
    if (port <= 0)
        return false;
    s.port = static_cast<uint16_t>(port);
    if (zsock_bind(s.router, "%s",
                   corvane::inprocServerEndpoint(s.interfaceAddress, s.port).c_str()) != 0)
        return false;
    corvane::inprocServerAdd(s.interfaceAddress, s.port);
    debugTrace("_findPortAndBindSocket: %d - %s\n", port, where.c_str());
    return true;
}

void stopServer(aServer& s) {
    corvane::atExitCancel(&s);
    if (s.filterInstalled)
        aLink_InstallUserPacketFilter(s.link, nullptr, nullptr);
    s.filterInstalled = false;
    zactor_destroy(&s.broker);
    zactor_destroy(&s.beacon);
    s.beaconRunning = false;
    if (s.port != 0)
        corvane::inprocServerRemove(s.interfaceAddress, s.port);
    zsock_destroy(&s.router);
    s.modulePair.close();
    while (!s.pool.empty())
        destroyEntry(s, s.pool.begin());
    forgetAskers(s);
    s.waiting.clear();
    s.port = 0;
    debugTrace("server task exit\n");
}

bool matchAll(const aPacket*, void*) {
    return true;
}

bool startServer(aServer& s) {
    const std::string interfaceText = configureInterface(s);
    const bool ready = startBeacon(s, interfaceText) && bindRouter(s, interfaceText) &&
                       s.modulePair.open() && (s.broker = zactor_new(brokerTask, &s)) != nullptr &&
                       aLink_InstallUserPacketFilter(s.link, serverFilter, &s) == aErrNone;
    if (!ready) {
        debugTrace("Could not find open port\n");
        stopServer(s);
        return false;
    }
    s.filterInstalled = true;
    aLink_DrainPackets(s.link, matchAll, nullptr);
    corvane::atExitRegister(&s, [&s] { stopServer(s); });
    return true;
}

} // namespace

// ---- Library calls ----

aServer* aServer_Create(aLinkRef link, uint32_t interfaceAddress, bool localOnly) {
    return corvane::guardedValue<aServer*>(nullptr, [&]() -> aServer* {
        if (aLink_GetStatus(link) == LINK_INVALID) {
            debugTrace("Could not find device Item\n");
            return nullptr;
        }
        auto* server = new aServer;
        server->link = link;
        server->localOnly = localOnly;
        server->interfaceAddress = interfaceAddress != 0 ? interfaceAddress : kLoopback;
        server->batch.reserve(1 + kBatchSize);
        return server;
    });
}

bool aServer_Start(aServer* server) {
    return corvane::guardedValue<bool>(false, [&] {
        if (!valid(server) || server->broker != nullptr)
            return false;
        corvane::czmqPrepare();
        return startServer(*server);
    });
}

uint16_t aServer_GetPort(const aServer* server) {
    return valid(server) ? server->port : 0;
}

uint32_t aServer_GetInterface(const aServer* server) {
    return valid(server) ? server->interfaceAddress : 0;
}

aErr aServer_FlushFIFO(aServer* server) {
    if (!valid(server) || server->broker == nullptr)
        return aErrParam;
    return zsock_signal(server->broker, kFlushSignal) == 0 ? aErrNone : aErrIO;
}

aErr aServer_Destroy(aServer** server) {
    return corvane::guardedCall([&]() -> aErr {
        if (server == nullptr || !valid(*server))
            return aErrParam;
        debugTrace("PIPE! - Task\n");
        stopServer(**server);
        (*server)->check = 0;
        delete *server;
        *server = nullptr;
        return aErrNone;
    });
}

void aServer_SetModule(aServer* server, uint32_t serialNumber, uint8_t moduleAddress,
                       uint8_t model) {
    if (!valid(server))
        return;
    server->serialNumber = serialNumber;
    server->moduleAddress = moduleAddress;
    server->model = model;
}

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

// ---- Shared USB links ----

namespace {

constexpr int kDeviceInfoAttempts = 5;
constexpr uint32_t kDeviceInfoPauseMs = 10;

void destroyAttached(void* server) {
    auto* s = static_cast<aServer*>(server);
    aServer_Destroy(&s);
}

// The module's address and model over the client link, told to the server for its beacon.
bool learnModule(aServer* server, aLinkRef client, uint32_t serialNumber) {
    for (int attempt = 0; attempt < kDeviceInfoAttempts; ++attempt) {
        if (attempt > 0) {
            debugTrace("FAIL: for _getDeviceInfo will try again. :\n");
            aTime_MSSleep(kDeviceInfoPauseMs);
        }
        uint8_t address = 0, model = 0;
        if (aLink_GetModuleAddress(client, &address) == aErrNone &&
            aLink_GetModel(client, address, &model) == aErrNone) {
            aServer_SetModule(server, serialNumber, address, model);
            return true;
        }
        aServer_FlushFIFO(server); // the failed request's reply is not coming for anyone
    }
    return false;
}

} // namespace

aLinkRef aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* interfaceAddress,
                            bool localOnly) {
    return corvane::guardedValue<aLinkRef>(0, [&]() -> aLinkRef {
        if (port == nullptr || interfaceAddress == nullptr)
            return 0;
        aLinkRef usb = 0;
        aLinkRef client = 0;
        auto fail = [&](const char* step) -> aLinkRef {
            debugTrace("%s", step);
            debugTrace("Failed to create server\n");
            if (client != 0)
                aLink_Destroy(&client); // its partner, the USB link, goes with it
            else if (usb != 0)
                aLink_Destroy(&usb);
            return 0;
        };
        usb = aLink_CreateUSB(serialNumber);
        if (usb == 0)
            return fail("FAIL: aLink_CreateUSB:\n");
        aServer* server = aServer_Create(usb, *interfaceAddress, localOnly);
        if (server == nullptr)
            return fail("FAIL: aServer_Create:\n");
        if (aLink_AttachServer(usb, server, destroyAttached) != aErrNone) {
            aServer_Destroy(&server);
            return fail("FAIL: sLookupEntryByID:\n");
        }
        if (!aServer_Start(server))
            return fail("FAIL: aServer_Start:\n");
        *port = aServer_GetPort(server);
        client = aLink_CreateClient(aServer_GetInterface(server), *port, 0);
        if (client == 0)
            return fail("FAIL: aLink_CreateClient:\n");
        if (aLink_SetPartner(client, usb) != aErrNone)
            return fail("FAIL: NULL != clientItem:\n");
        if (!learnModule(server, client, serialNumber))
            return fail("FAIL: NULL != _getDeviceInfo:\n");
        *interfaceAddress = aServer_GetInterface(server);
        return client;
    });
}
