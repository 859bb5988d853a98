// The sharing server's record, shared by its lifecycle (aServer_ZeroMQ.cpp) and its broker and
// link filter (aServerBroker.cpp).
#pragma once

#include "corvane/aServer.h"

#include "aServerQueue.h"
#include "aZmqSockets.h"
#include "platform/udp.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane::server {

constexpr uint16_t kServerCheck = 0x5E7E;
const uint32_t kLoopback = corvane::platform::ipv4ToNetwork(0x7F000001); // 127.0.0.1
constexpr int kFlushSignal = 5;
constexpr std::size_t kBatchSize = 4096;

// Frames from the filter to the broker: a stream batch, or a call to serve the ROUTER. Frames to
// and from clients carry no tag.
constexpr uint8_t kTagBatch = 'S';
constexpr uint8_t kTagServe = 'L';

} // namespace corvane::server

struct aServer {
    uint16_t check = corvane::server::kServerCheck;
    aLinkRef link = 0;
    std::atomic<uint32_t> serialNumber{0};
    std::atomic<uint8_t> model{0};
    bool localOnly = true;
    uint32_t interfaceAddress = corvane::server::kLoopback;

    zactor_t* broker = nullptr;
    zactor_t* beacon = nullptr;
    bool beaconRunning = false;
    bool filterInstalled = false;

    uint16_t port = 0;
    corvane::SocketPair modulePair; // the filter writes `connected`, the broker reads `bound`
    std::shared_ptr<corvane::InprocServer> inproc; // for the clients in this process
    std::string hostAddress;

    // The filter's (the module link's reader thread): the tag, then the batched packets.
    std::vector<uint8_t> batch{corvane::server::kTagBatch};

    // The broker's and the filter's in turn: a reply goes to its client straight from the
    // filter, which then serves the requests waiting on the ROUTER, so neither a reply nor a
    // request that came meanwhile waits for the broker to wake.
    std::mutex turn;
    zsock_t* router = nullptr;
    corvane::server::Dispatcher dispatch;
    bool routerUsed = false; // sent on since last found empty: its news may have been taken in
    // The inboxes of the clients in this process, by identity: their frames go there, not
    // through the ROUTER.
    std::unordered_map<corvane::server::ClientId, std::shared_ptr<corvane::InprocInbox>> inboxes;

    // The broker's.
    bool publishing = false;
    uint32_t publishStart = 0; // aTime_GetMSTicks, compared by difference
    bool beaconUsed = false;   // as routerUsed
};

namespace corvane::server {

inline bool valid(const aServer* server) {
    return server != nullptr && server->check == kServerCheck;
}

// The broker task (a CZMQ actor; reference: the server).
void brokerTask(zsock_t* pipe, void* reference);

// The packet filter on the module link (its reader thread; reference: the server).
bool serverFilter(const aPacket* packet, void* reference);

// A content frame from an in-process client, taken on the client's thread as the broker takes
// one from the ROUTER; false when it is no content frame.
bool takeFromClient(aServer& s, const corvane::server::ClientId& client, const uint8_t* bytes,
                    std::size_t size);
// An in-process client whose frames go to inbox from now on.
void attachClient(aServer& s, const corvane::server::ClientId& client,
                  std::shared_ptr<corvane::InprocInbox> inbox);
// An in-process client that is gone.
void forgetClient(aServer& s, const corvane::server::ClientId& client);

} // namespace corvane::server
