// The local sharing server: a broker task that takes client packets from a ROUTER socket and
// answers discovery beacons, a sync task that passes one request at a time to the module link
// and returns its replies, and a packet filter on the module link that batches stream packets
// for the clients that enabled streaming. The three meet only through socket pairs.
#include "corvane/aServer.h"

#include "aBeacon.h"
#include "aDebugTrace.h"
#include "aLinkEngine.h"
#include "aServer_Internal.h"
#include "aZmqSockets.h"
#include "cApiGuard.h"
#include "corvane/aTime.h"
#include "corvane/zBeaconInterface.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <list>
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
constexpr int kSyncPollMs = 1000;
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

// Frames from the sync task to the broker start with one of these, so a reply of any size
// (a 3-byte one included) is never taken for a server command. Frames to and from clients
// carry no tag.
constexpr uint8_t kTagCommand = 'C';
constexpr uint8_t kTagReply = 'R';

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
    zactor_t* sync = nullptr;
    zactor_t* beacon = nullptr;
    bool beaconRunning = false;
    bool filterInstalled = false;

    zsock_t* router = nullptr;
    uint16_t port = 0;
    SocketPair streamPair; // filter writes `connected`, the broker reads `bound`
    SocketPair syncPair;   // the broker owns `bound`, the sync task `connected`
    std::string hostAddress;

    // The filter's (the module link's reader thread).
    std::vector<uint8_t> batch;

    // The broker's.
    bool publishing = false;
    uint32_t publishStart = 0;     // aTime_GetMSTicks, compared by difference
    std::deque<zframe_t*> pending; // identities awaiting replies, oldest first
    std::vector<zframe_t*> subscribers;
    std::list<PoolEntry> pool;
    uint16_t expectedReplies = 0;
};

namespace {

bool valid(const aServer* server) {
    return server != nullptr && server->check == kServerCheck;
}

// ---- Packet filter on the module link (its reader thread) ----

void flushBatch(aServer& s) {
    if (s.batch.empty())
        return;
    if (zmq_send(zsock_resolve(s.streamPair.connected), s.batch.data(), s.batch.size(),
                 ZMQ_DONTWAIT) < 0)
        debugTrace("stream batch lost\n");
    s.batch.clear();
}

bool serverFilter(const aPacket* packet, void* reference) {
    auto* s = static_cast<aServer*>(reference);
    bool consumed = false;
    if (isStreamPacket(*packet)) {
        uint8_t bytes[aPACKET_MAXWIRE];
        const std::size_t n = wireBytes(packet, bytes);
        s->batch.insert(s->batch.end(), bytes, bytes + n);
        consumed = true;
    }
    if (isHeartbeat(*packet) || s->batch.size() >= kBatchFlush)
        flushBatch(*s);
    return consumed;
}

// ---- Broker task ----

bool sendToClient(aServer& s, zframe_t* identity, const void* bytes, std::size_t size) {
    void* router = zsock_resolve(s.router);
    if (zmq_send(router, zframe_data(identity), zframe_size(identity), ZMQ_SNDMORE | ZMQ_DONTWAIT) <
        0) {
        debugTrace("failed to send id\n");
        return false;
    }
    return zmq_send(router, bytes, size, ZMQ_DONTWAIT) >= 0;
}

void dropIdentities(std::deque<zframe_t*>& identities) {
    for (zframe_t*& identity : identities)
        zframe_destroy(&identity);
    identities.clear();
}

void handleStreamBatch(aServer& s) {
    zframe_t* batch = zframe_recv(s.streamPair.bound);
    if (batch == nullptr)
        return;
    for (zframe_t* subscriber : s.subscribers)
        sendToClient(s, subscriber, zframe_data(batch), zframe_size(batch));
    zframe_destroy(&batch);
}

void handleSyncFrame(aServer& s) {
    zframe_t* frame = zframe_recv(s.syncPair.bound);
    if (frame == nullptr)
        return;
    const uint8_t* bytes = zframe_data(frame);
    const std::size_t size = zframe_size(frame);
    if (s.pending.empty()) {
        debugTrace("no id to pop\n");
    } else if (size >= 1) {
        zframe_t* identity = s.pending.front();
        s.pending.pop_front();
        if (bytes[0] == kTagCommand && size == 4) {
            const uint8_t command = bytes[1];
            const uint16_t count = static_cast<uint16_t>(bytes[2] << 8 | bytes[3]);
            if (command == SERVER_CMD_DROPPED_PACKET) {
                debugTrace("dropping id: fifo size: %d\n", static_cast<int>(s.pending.size()));
            } else if (command == SERVER_CMD_INCOMING_PACKETS) {
                for (uint16_t i = 0; i < count; ++i)
                    s.pending.push_front(zframe_dup(identity));
                s.expectedReplies = count;
                debugTrace("Num packets coming: %d\n", count);
            } else {
                debugTrace("Unknown Server cmd: %d\n", command);
            }
        } else if (bytes[0] == kTagReply) {
            sendToClient(s, identity, bytes + 1, size - 1);
            if (s.expectedReplies == 0)
                debugTrace("Error, sending more packets then expected\n");
            else
                --s.expectedReplies;
        }
        zframe_destroy(&identity);
    }
    zframe_destroy(&frame);
}

bool sendToSync(aServer& s, const aPacket& packet) {
    uint8_t bytes[aPACKET_MAXWIRE];
    const std::size_t n = wireBytes(&packet, bytes);
    return zmq_send(zsock_resolve(s.syncPair.bound), bytes, n, ZMQ_DONTWAIT) >= 0;
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

// UEIBytes runs are held until complete, then go to the module back to back with one pending
// identity for their single acknowledgement. True when the packet was taken here.
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
        bool sent = true;
        for (const aPacket& p : entry->packets) {
            debugTrace("Pool Packet: %d\n", p.length);
            sent = sendToSync(s, p) && sent;
        }
        // One acknowledgement is owed to the client, unless the run never went whole.
        if (sent)
            s.pending.push_back(zframe_dup(identity));
        else
            debugTrace("Failed to send setUEIBytes!\n");
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
        if (!(isUEIPayload(packet) && pooled(s, identity, packet))) {
            // A reply is owed only for a request the sync task has; none comes for 175.
            if (packet.address == kForceRouteAddress && packet.length == 1)
                debugTrace("Blocking cmdFORCEROUTE from remote client\n");
            else if (!sendToSync(s, packet))
                debugTrace("Failed to send packet out!\n");
            else if (packet.address != kForceRouteAddress)
                s.pending.push_back(zframe_dup(identity));
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
                s.publishing = true;
                s.publishStart = aTime_GetMSTicks();
            }
        }
    }
    zstr_free(&sender);
    zframe_destroy(&content);
}

void brokerTask(zsock_t* pipe, void* reference) {
    aServer& s = *static_cast<aServer*>(reference);
    zpoller_t* poller = zpoller_new(pipe, s.streamPair.bound, s.syncPair.bound, s.router, nullptr);
    if (poller != nullptr && s.beaconRunning)
        zpoller_add(poller, s.beacon);
    zsock_signal(pipe, 0);
    while (poller != nullptr) {
        void* which = zpoller_wait(poller, kBrokerPollMs);
        if (which == pipe) {
            zmsg_t* msg = zmsg_recv(pipe);
            const int signal = msg ? zmsg_signal(msg) : -1;
            zmsg_destroy(&msg);
            if (signal != kFlushSignal) {
                debugTrace("pre exit 1\n");
                break;
            }
            debugTrace("Flushing FIFO\n");
            dropIdentities(s.pending);
        } else if (which == s.streamPair.bound) {
            handleStreamBatch(s);
        } else if (which == s.syncPair.bound) {
            handleSyncFrame(s);
        } else if (which == s.router) {
            handleClient(s);
        } else if (which != nullptr && which == s.beacon) {
            handleBeacon(s);
        } else if (zpoller_terminated(poller)) {
            debugTrace("pre exit 2\n");
            break;
        }
        if (s.publishing && aTime_GetMSTicks() - s.publishStart > kBeaconAnswerMs) {
            zstr_send(s.beacon, "SILENCE");
            s.publishing = false;
            debugTrace("Beacon silenced\n");
        }
    }
    zpoller_destroy(&poller);
    dropIdentities(s.pending);
    for (zframe_t*& subscriber : s.subscribers)
        zframe_destroy(&subscriber);
    s.subscribers.clear();
    debugTrace("broker task exit\n");
}

// ---- Sync task ----

void sendTagged(aServer& s, uint8_t tag, const uint8_t* bytes, std::size_t size) {
    uint8_t frame[1 + aPACKET_MAXWIRE];
    frame[0] = tag;
    std::memcpy(frame + 1, bytes, size);
    if (!corvane::sendBounded(s.syncPair.connected, frame, size + 1))
        debugTrace(tag == kTagReply ? "Failed to SENDY-SEND!\n"
                                    : "Failed to SEND SERVER_CMD_INCOMING_PACKETS\n");
}

void sendCommand(aServer& s, uint8_t command, uint16_t count) {
    const uint8_t bytes[3] = {command, static_cast<uint8_t>(count >> 8),
                              static_cast<uint8_t>(count)};
    sendTagged(s, kTagCommand, bytes, sizeof bytes);
}

bool matchAll(const aPacket*, void*) {
    return true;
}

void forward(aServer& s, zframe_t* frame) {
    aPacket packet;
    if (!packetOf(zframe_data(frame), zframe_size(frame), packet)) {
        debugTrace("bad-packet\n");
        return;
    }
    // What the module sent before this request cannot be its reply.
    aLink_DrainPackets(s.link, matchAll, nullptr);
    const aErr put = aLink_PutPacket(s.link, &packet);
    if (put != aErrNone) {
        debugTrace("Failed to PUT packet: err: %d\n", put);
        sendCommand(s, SERVER_CMD_DROPPED_PACKET, 0);
        return;
    }
    if (packet.address == kForceRouteAddress || continuesRun(packet)) {
        debugTrace("don't wait on this packet\n");
        return;
    }
    std::vector<aPacket*> replies;
    while (aPacket* reply = aLink_AwaitPacket(s.link, kReplyWaitMs)) {
        replies.push_back(reply);
        if (!continuesRun(*reply) || replies.size() == UINT16_MAX)
            break;
    }
    if (replies.empty()) {
        debugTrace("Failed to AWAIT packet\n");
        sendCommand(s, SERVER_CMD_DROPPED_PACKET, 0);
        return;
    }
    sendCommand(s, SERVER_CMD_INCOMING_PACKETS, static_cast<uint16_t>(replies.size()));
    for (aPacket*& reply : replies) {
        uint8_t bytes[aPACKET_MAXWIRE];
        sendTagged(s, kTagReply, bytes, wireBytes(reply, bytes));
        aPacket_Destroy(&reply);
    }
}

void syncTask(zsock_t* pipe, void* reference) {
    aServer& s = *static_cast<aServer*>(reference);
    zpoller_t* poller = zpoller_new(pipe, s.syncPair.connected, nullptr);
    zsock_signal(pipe, 0);
    while (poller != nullptr) {
        void* which = zpoller_wait(poller, kSyncPollMs);
        if (which == pipe || zpoller_terminated(poller))
            break;
        if (which != s.syncPair.connected)
            continue;
        zframe_t* frame = zframe_recv(s.syncPair.connected);
        if (frame != nullptr)
            forward(s, frame);
        zframe_destroy(&frame);
    }
    zpoller_destroy(&poller);
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
    zactor_destroy(&s.sync);
    zactor_destroy(&s.broker);
    zactor_destroy(&s.beacon);
    s.beaconRunning = false;
    if (s.port != 0)
        corvane::inprocServerRemove(s.interfaceAddress, s.port);
    zsock_destroy(&s.router);
    s.streamPair.close();
    s.syncPair.close();
    while (!s.pool.empty())
        destroyEntry(s, s.pool.begin());
    dropIdentities(s.pending);
    s.port = 0;
    debugTrace("server task exit\n");
}

bool startServer(aServer& s) {
    s.expectedReplies = 0;
    const std::string interfaceText = configureInterface(s);
    const bool ready = startBeacon(s, interfaceText) && bindRouter(s, interfaceText) &&
                       s.streamPair.open() && s.syncPair.open() &&
                       (s.broker = zactor_new(brokerTask, &s)) != nullptr &&
                       (s.sync = zactor_new(syncTask, &s)) != nullptr &&
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
        server->batch.reserve(kBatchSize);
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
