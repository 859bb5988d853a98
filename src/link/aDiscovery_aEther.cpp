// aEther discovery: asks the sharing servers for their modules with a beacon and collects the
// 128-byte link specifiers they answer with, for a fixed time, past whatever else is heard.
#include "corvane/aDiscovery.h"

#include "aBeacon.h"
#include "cApiGuard.h"
#include "corvane/aTime.h"
#include "corvane/zBeaconInterface.h"
#include "platform/udp.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace corvane {

bool parseServerAnswer(const uint8_t* payload, size_t size, linkSpec& spec) {
    if (payload == nullptr || size != sizeof(linkSpec))
        return false;
    std::memcpy(&spec, payload, sizeof spec);
    // Past the port a specifier holds nothing but a serial port's name, which no server sends.
    constexpr size_t kUsed = 32;
    const bool tailEmpty =
        std::all_of(payload + kUsed, payload + size, [](uint8_t b) { return b == 0; });
    return spec.type == AETHER && spec.ipAddress != 0 && spec.port != 0 && spec.port <= 0xFFFF &&
           tailEmpty;
}

} // namespace corvane

namespace {

const uint32_t kLoopback = corvane::platform::ipv4ToNetwork(0x7F000001); // 127.0.0.1
// Servers answer every 100 ms once they hear the request: 22 of their intervals to hear them,
// however much else arrives meanwhile.
constexpr uint32_t kListenMs = 22 * corvane::kBeaconIntervalMs;
constexpr int kConfigureWaitMs = 2000;
// Distinct servers reported at most in one enumeration.
constexpr size_t kMaxReported = 1024;

struct Search {
    aDiscoveryModuleFoundProc callback = nullptr;
    void* reference = nullptr;
    bool local = true;
    uint32_t hostAddress = 0;
    std::vector<uint32_t> reported;
    uint32_t counted = 0;

    // False when the callback asked to stop.
    bool offer(const uint8_t* payload, size_t size) {
        linkSpec spec;
        if (!corvane::parseServerAnswer(payload, size, spec))
            return true; // junk, or another kind of specifier: keep listening
        for (uint32_t serial : reported)
            if (serial == spec.serialNumber)
                return true;
        if (reported.size() == kMaxReported)
            return true;
        if (local && spec.ipAddress != kLoopback && spec.ipAddress != hostAddress)
            return true; // another host's server
        reported.push_back(spec.serialNumber);
        bool found = false;
        const bool more = callback(&spec, &found, reference);
        if (found)
            ++counted;
        return more;
    }
};

uint32_t listen(zactor_t* beacon, Search& search) {
    zsock_set_rcvtimeo(beacon, kConfigureWaitMs);
    zsock_send(beacon, "si", "CONFIGURE", corvane::kBeaconPort);
    char* host = zstr_recv(beacon);
    const bool usable = host != nullptr && host[0] != '\0';
    if (usable)
        corvane::platform::parseIPv4(host, search.hostAddress);
    zstr_free(&host);
    if (!usable)
        return 0;
    zsock_send(beacon, "sbi", "PUBLISH", corvane::kDiscoveryRequest,
               std::strlen(corvane::kDiscoveryRequest), corvane::kBeaconIntervalMs);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
    const uint32_t start = aTime_GetMSTicks();
    for (;;) {
        const uint32_t listened = aTime_GetMSTicks() - start;
        if (listened >= kListenMs)
            break;
        zsock_set_rcvtimeo(beacon, static_cast<int>(std::min<uint32_t>(
                                       kListenMs - listened, corvane::kBeaconIntervalMs)));
        char* sender = nullptr;
        zframe_t* payload = nullptr;
        const bool heard = zsock_recv(beacon, "sf", &sender, &payload) == 0 && payload != nullptr;
        const bool more = !heard || search.offer(zframe_data(payload), zframe_size(payload));
        zstr_free(&sender);
        zframe_destroy(&payload);
        if (!more)
            break;
    }
    zstr_send(beacon, "SILENCE");
    zstr_send(beacon, "UNSUBSCRIBE");
    return search.counted;
}

} // namespace

uint32_t aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* reference,
                                            uint32_t networkInterface) {
    return corvane::guardedValue<uint32_t>(0, [&]() -> uint32_t {
        if (callback == nullptr)
            return 0;
        Search search;
        search.callback = callback;
        search.reference = reference;
        search.local = networkInterface == 0 || networkInterface == kLoopback;
        // Local mode, or a host with no interface but loopback, keeps the beacon on this host.
        std::string text = "127.0.0.1";
        if (!search.local && corvane::firstNonLoopbackInterface() != 0) {
            char dotted[corvane::platform::ipv4TextSize] = {};
            corvane::platform::formatIPv4(networkInterface, dotted, sizeof dotted);
            text = dotted;
        }
        if (!zBeaconInterface_backupSetAndLock(text.c_str()))
            return 0;
        zactor_t* beacon = corvane::beaconCreate();
        uint32_t counted = 0;
        try {
            counted = beacon != nullptr ? listen(beacon, search) : 0;
        } catch (...) {
            counted = search.counted;
        }
        zactor_destroy(&beacon);
        zBeaconInterface_restoreAndUnlock();
        return counted;
    });
}
