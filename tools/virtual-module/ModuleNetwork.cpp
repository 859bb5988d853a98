// The router's side of a module network: I2C transfers on its bus, and packets to bus modules
// passed on to them.
#include "ModuleNetwork.h"

#include "corvane/aError.h"

namespace Corvane::Tools {

namespace {

constexpr uint8_t kReadFlag = 0x01;
constexpr uint8_t kPullupAddress = 1;
constexpr uint8_t kMaxTransfer = 23;
constexpr uint8_t kStatusError = 0x80;
// The router has one bus, entity index 0.
constexpr uint8_t kBusIndex = 0;

uint8_t errorStatus(aErr err) {
    return static_cast<uint8_t>(kStatusError | err);
}

} // namespace

ModuleNetwork::ModuleNetwork(VirtualModule& router, uint8_t routerAddress)
    : router_(router), routerAddress_(routerAddress) {}

bool ModuleNetwork::attach(BusModuleConfig config, std::string* error) {
    if (config.identity.address == routerAddress_) {
        if (error)
            *error = "bus address " + std::to_string(routerAddress_) + " is the router's own";
        return false;
    }
    config.identity.router = routerAddress_;
    return bus_.attach(config, error);
}

void ModuleNetwork::install() {
    earlierFilter_ = router_.packetFilter();
    router_.setPacketFilter(
        [this](ModuleConnection& host, const WirePacket& packet) { return take(host, packet); });
}

bool ModuleNetwork::take(ModuleConnection& host, const WirePacket& packet) {
    if (packet.address == routerAddress_ && packet.length >= 1 && packet.data[0] == kCmdI2C) {
        i2c(host, packet);
        return true;
    }
    if (packet.address != routerAddress_) {
        if (BusModule* module = bus_.at(packet.address)) {
            ++forwarded_;
            module->serve(host, packet);
            return true;
        }
    }
    return earlierFilter_ && earlierFilter_(host, packet);
}

// Requests: 8, index, address, length, speed[, data] for a transfer (bit 0 of the address asks
// for a read); 8, index, 1, enable for the pull-ups. Answers: 8, index, address, count, status
// and the bytes read; a status with bit 7 set carries an error code.
void ModuleNetwork::i2c(ModuleConnection& host, const WirePacket& packet) {
    if (packet.length < 3)
        return;
    const uint8_t index = packet.data[1];
    const uint8_t target = packet.data[2];
    WirePacket reply(routerAddress_, {kCmdI2C, index, target, 0, 0});
    if (index != kBusIndex) {
        reply.data[4] = errorStatus(aErrIndexRange);
    } else if (packet.length == 4 && target == kPullupAddress) {
        // The pull-ups are the router's own; switching them changes nothing here.
    } else if (packet.length < 5) {
        reply.data[4] = errorStatus(aErrPacket);
    } else {
        const uint8_t count = packet.data[3];
        const bool read = (target & kReadFlag) != 0;
        const bool sizeOk = count <= kMaxTransfer && (read || packet.length == 5 + count);
        const uint8_t address = static_cast<uint8_t>(target & ~kReadFlag);
        if (!sizeOk) {
            reply.data[4] = errorStatus(aErrSize);
        } else if (!bus_.acknowledges(address)) {
            reply.data[4] = errorStatus(aErrNotFound); // nothing acknowledged the address
        } else if (read) {
            // The modules take their traffic as link packets; raw reads find an idle bus.
            reply.data[3] = count;
            reply.length = static_cast<uint8_t>(5 + count);
        }
    }
    host.send(reply);
}

} // namespace Corvane::Tools
