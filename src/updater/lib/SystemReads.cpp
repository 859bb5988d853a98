// I2C bus writes through a router module: raw packets on command 8 with a status reply.
#include "SystemReads.h"

#include <cstring>

aErr I2CBus::setSpeed(uint8_t speed) {
    if (speed > 3)
        return aErrParam;
    speed_ = speed;
    return aErrNone;
}

aErr I2CBus::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > kMaxTransfer)
        return aErrSize;
    if (length > 0 && !data)
        return aErrParam;
    uint8_t request[4 + kMaxTransfer] = {getIndex(), address, length, speed_};
    if (length > 0)
        std::memcpy(request + 4, data, length);
    if (const aErr err = sendPacket(kCommand, static_cast<uint8_t>(4 + length), request);
        err != aErrNone)
        return err;
    const uint8_t match[] = {kCommand, getIndex(), address, 0};
    uint8_t replyLength = sizeof match;
    uint8_t reply[aPACKET_MAXDATA];
    if (const aErr err = receivePacket(match, &replyLength, reply); err != aErrNone)
        return err;
    if (replyLength < 5)
        return aErrPacket;
    return (reply[4] & 0x80) ? static_cast<aErr>(reply[4] & 0x7F) : aErrNone;
}
