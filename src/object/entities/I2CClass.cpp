// Corvane::I2CClass: I2C reads, writes and the pull-up switch over raw packets of command 8.
#include "corvane/I2CClass.h"

#include <algorithm>
#include <cstring>

namespace Corvane {

namespace {

constexpr uint8_t kReadFlag = 0x01;
constexpr uint8_t kPullupAddress = 1;
constexpr uint8_t kStatusError = 0x80;
// command, index, address, count, status: every reply carries at least these.
constexpr uint8_t kReplyHeader = 5;

aErr statusResult(uint8_t status) {
    return (status & kStatusError) ? static_cast<aErr>(status & 0x7F) : aErrNone;
}

} // namespace

void I2CClass::init(Module* module, uint8_t index) {
    EntityClass::init(module, commandCode, index);
    speed_ = 0;
}

aErr I2CClass::setSpeed(uint8_t speed) {
    if (speed > 3)
        return aErrParam;
    speed_ = speed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed) const {
    if (!speed)
        return aErrParam;
    *speed = speed_;
    return aErrNone;
}

aErr I2CClass::exchange(const uint8_t* request, uint8_t length, const uint8_t* expected,
                        uint8_t expectedLength, uint8_t* reply, uint8_t* replyLength) {
    // sendPacket takes the command apart from the rest of the data.
    if (const aErr err = sendPacket(request[0], static_cast<uint8_t>(length - 1), request + 1);
        err != aErrNone)
        return err;
    *replyLength = expectedLength;
    if (const aErr err = receivePacket(expected, replyLength, reply); err != aErrNone)
        return err;
    return *replyLength < kReplyHeader ? aErrPacket : aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
    if (length > maxTransferLength)
        return aErrSize;
    if (!buffer && length > 0)
        return aErrParam;
    const uint8_t request[] = {commandCode, getIndex(), static_cast<uint8_t>(address | kReadFlag),
                               length, speed_};
    uint8_t reply[aPACKET_MAXDATA] = {};
    uint8_t replyLength = 0;
    if (const aErr err = exchange(request, sizeof request, request, 3, reply, &replyLength);
        err != aErrNone)
        return err;
    if (const aErr err = statusResult(reply[4]); err != aErrNone)
        return err;
    // Never more than asked for nor more than the reply holds.
    const uint8_t count =
        std::min<uint8_t>({reply[3], length, static_cast<uint8_t>(replyLength - kReplyHeader)});
    std::memcpy(buffer, reply + kReplyHeader, count);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > maxTransferLength)
        return aErrSize;
    if (!data && length > 0)
        return aErrParam;
    const uint8_t target = static_cast<uint8_t>(address & ~kReadFlag);
    uint8_t request[kReplyHeader + maxTransferLength] = {commandCode, getIndex(), target, length,
                                                         speed_};
    if (length > 0)
        std::memcpy(request + kReplyHeader, data, length);
    // The reply echoes command, index and address with a count of 0.
    const uint8_t expected[] = {commandCode, getIndex(), target, 0};
    uint8_t reply[aPACKET_MAXDATA] = {};
    uint8_t replyLength = 0;
    if (const aErr err = exchange(request, static_cast<uint8_t>(kReplyHeader + length), expected,
                                  sizeof expected, reply, &replyLength);
        err != aErrNone)
        return err;
    return statusResult(reply[4]);
}

aErr I2CClass::setPullup(bool enable) {
    const uint8_t request[] = {commandCode, getIndex(), kPullupAddress,
                               enable ? uint8_t{1} : uint8_t{0}};
    uint8_t reply[aPACKET_MAXDATA] = {};
    uint8_t replyLength = 0;
    if (const aErr err = exchange(request, sizeof request, request, 3, reply, &replyLength);
        err != aErrNone)
        return err;
    return statusResult(reply[4]);
}

} // namespace Corvane
