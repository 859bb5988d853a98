// The sharing server's lifecycle and C API: creating, starting (interface, beacon, ROUTER, broker
// and link filter) and stopping a server, and the shared USB links built on one.
#include "corvane/aServer.h"

#include "aBeacon.h"
#include "aDebugTrace.h"
#include "aLinkInternal.h"
#include "aPacketInternal.h"
#include "aServerRecord.h"
#include "aZmqSockets.h"
#include "cApiGuard.h"
#include "corvane/aTime.h"
#include "corvane/zBeaconInterface.h"
#include "platform/udp.h"

#include <cstring>
#include <mutex>
#include <string>

using corvane::debugTrace;
using namespace corvane::server;

namespace {

constexpr int kConfigureWaitMs = 2000;
// The largest legal request is 30 bytes, but a connection's greeting passes the same limit: its
// READY command with a routing identity of up to 255 bytes takes about 300.
constexpr int kLargestFrame = 512;

// ---- Start and stop ----

std::string dotted(uint32_t address) {
    char text[corvane::platform::ipv4TextSize] = {};
    corvane::platform::formatIPv4(address, text, sizeof text);
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
    // A client that is gone shows as a send that fails, so what is kept for it can go.
    zsock_set_router_mandatory(s.router, 1);
    // Nothing larger than ZeroMQ's greeting with a client's longest identity is read at all.
    zsock_set_maxmsgsize(s.router, kLargestFrame);
    const std::string where = s.localOnly ? "127.0.0.1" : interfaceText;
    const int port = zsock_bind(s.router, "tcp://%s:*", where.c_str());
    if (port <= 0)
        return false;
    s.port = static_cast<uint16_t>(port);
    corvane::InprocServer::Calls calls;
    calls.take = [&s](const ClientId& client, const uint8_t* bytes, std::size_t size) {
        return takeFromClient(s, client, bytes, size);
    };
    calls.attach = [&s](const ClientId& client, std::shared_ptr<corvane::InprocInbox> inbox) {
        attachClient(s, client, std::move(inbox));
    };
    calls.forget = [&s](const ClientId& client) { forgetClient(s, client); };
    s.inproc =
        std::make_shared<corvane::InprocServer>(std::move(calls), s.link, aLink_ReadAsCaller);
    corvane::inprocServerAdd(s.interfaceAddress, s.port, s.inproc);
    debugTrace("_findPortAndBindSocket: %d - %s\n", port, where.c_str());
    return true;
}

void stopServer(aServer& s) {
    corvane::atExitCancel(&s);
    if (s.inproc)
        s.inproc->stop(); // no in-process client hands over a packet from now on
    s.inproc.reset();
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
    s.dispatch.clear();
    s.inboxes.clear();
    s.port = 0;
    debugTrace("server task exit\n");
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
    aLink_DrainPackets(s.link, corvane::matchAll, nullptr);
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

void aServer_SetModule(aServer* server, uint32_t serialNumber, uint8_t model) {
    if (!valid(server))
        return;
    server->serialNumber = serialNumber;
    server->model = model;
}

bool aServer_IsDiscoverable(const aServer* server) {
    return valid(server) && server->broker != nullptr && server->beaconRunning &&
           server->model.load() != 0;
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
            aServer_SetModule(server, serialNumber, model);
            return true;
        }
        aServer_FlushFIFO(server); // the failed request's reply is not coming for anyone
    }
    return false;
}

// A new client link to the server this process already runs for the USB module with this
// serial number, holding one use of the USB link as its partner as the server's first client
// does; *port and *interfaceAddress receive the server's. 0 when there is none or the client
// cannot be made.
aLinkRef createServedClient(uint32_t serialNumber, uint16_t* port, uint32_t* interfaceAddress) {
    void* attached = nullptr;
    // The client's use of the USB link keeps the server until the client goes.
    aLinkRef usb = aLink_UseServedUSB(serialNumber, &attached);
    if (usb == 0)
        return 0;
    const auto* server = static_cast<const aServer*>(attached);
    const uint16_t serverPort = aServer_GetPort(server);
    const uint32_t serverAddress = aServer_GetInterface(server);
    aLinkRef client = aLink_CreateClient(serverAddress, serverPort, 0);
    if (client == 0 || aLink_SetPartner(client, usb) != aErrNone) {
        if (client != 0)
            aLink_Destroy(&client);
        aLink_Destroy(&usb);
        return 0;
    }
    *port = serverPort;
    *interfaceAddress = serverAddress;
    return client;
}

// Two callers that serve one module at once must not both find no server and both start one on
// its single USB claim; modules whose serial numbers share a stripe only wait for each other.
std::mutex& serveLock(uint32_t serialNumber) {
    static std::mutex stripes[16];
    return stripes[serialNumber % 16];
}

} // namespace

aLinkRef aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* interfaceAddress,
                            bool localOnly) {
    return corvane::guardedValue<aLinkRef>(0, [&]() -> aLinkRef {
        if (port == nullptr || interfaceAddress == nullptr)
            return 0;
        // The USB device takes one claim: when this process serves the module already, its
        // server is the way in, as for every other client.
        std::lock_guard<std::mutex> serving(serveLock(serialNumber));
        if (const aLinkRef served = createServedClient(serialNumber, port, interfaceAddress))
            return served;
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
        if (!aServer_IsDiscoverable(server))
            debugTrace("beacon off: other processes cannot discover the module\n");
        *interfaceAddress = aServer_GetInterface(server);
        return client;
    });
}
