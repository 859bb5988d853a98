// Module queries (command 73) and the debug echo (command 23): small request/reply exchanges
// with the module at the Module's own address.
#include "corvane/Module.h"

#include "ModuleImpl.h"
#include "UEIWire.h"

#include <cstring>

namespace Corvane {

namespace {

enum QueryKind : uint8_t {
    kQueryHasUEI = 1,
    kQueryClassQuantity = 4,
    kQuerySubClassQuantity = 5,
    kQueryEntityGroup = 6,
    kQueryBuild = 0xFF,
};

struct QueryShape {
    uint8_t argCount;    // bytes after 73, kind in the request
    uint8_t echoCount;   // leading arguments the reply repeats
    uint8_t replyLength; // data bytes of a good reply
    aErr wrongLength;    // the result for a reply of another length
};

// Sends 73, kind, args and waits for the reply that starts with 73, kind. A reply of the wrong
// length gives shape.wrongLength, one that does not echo the arguments aErrUnknown.
aErr query(Link* link, uint8_t address, QueryKind kind, const uint8_t* args, QueryShape shape,
           uint8_t* reply) {
    const uint8_t argCount = shape.argCount;
    if (!link)
        return aErrInitialization;
    uint8_t request[aPACKET_MAXDATA] = {kind};
    if (argCount > 0)
        std::memcpy(request + 1, args, argCount);
    if (const aErr err =
            link->sendPacket(address, kCmdModuleQuery, static_cast<uint8_t>(argCount + 1), request);
        err != aErrNone)
        return err;
    const uint8_t match[] = {kCmdModuleQuery, kind};
    uint8_t length = sizeof match;
    if (const aErr err = link->receivePacket(address, match, &length, reply); err != aErrNone)
        return err;
    if (length != shape.replyLength)
        return shape.wrongLength;
    const bool echoed = shape.echoCount == 0 || std::memcmp(reply + 2, args, shape.echoCount) == 0;
    return echoed ? aErrNone : aErrUnknown;
}

} // namespace

aErr Module::getBuild(uint32_t* build) {
    if (!build)
        return aErrParam;
    uint8_t reply[aPACKET_MAXDATA];
    const aErr err =
        query(getLink(), impl_->address, kQueryBuild, nullptr, {0, 0, 6, aErrSize}, reply);
    if (err == aErrNone)
        *build = readBig32(reply + 2);
    return err;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t operation) {
    if ((operation & aUEI_OPTION_MASK) != 0 || operation == aUEI_OP_ACK)
        return aErrParam;
    const uint8_t args[] = {command, option, index, operation};
    uint8_t reply[aPACKET_MAXDATA];
    // The reply echoes command, option and index, then the answer in place of the operation.
    const aErr err =
        query(getLink(), impl_->address, kQueryHasUEI, args, {4, 3, 6, aErrUnknown}, reply);
    return err == aErrNone ? static_cast<aErr>(reply[5]) : err;
}

namespace {

// The queries answered by one byte after the echoed arguments: it goes to *answer (0 first).
aErr byteQuery(Link* link, uint8_t address, QueryKind kind, const uint8_t* args, uint8_t argCount,
               uint8_t* answer) {
    if (!answer)
        return aErrParam;
    *answer = 0;
    uint8_t reply[aPACKET_MAXDATA];
    const uint8_t replyLength = static_cast<uint8_t>(argCount + 3);
    const aErr err =
        query(link, address, kind, args, {argCount, argCount, replyLength, aErrUnknown}, reply);
    if (err == aErrNone)
        *answer = reply[replyLength - 1];
    return err;
}

} // namespace

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
    return byteQuery(getLink(), impl_->address, kQueryClassQuantity, &command, 1, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* count) {
    const uint8_t args[] = {command, index};
    return byteQuery(getLink(), impl_->address, kQuerySubClassQuantity, args, 2, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
    const uint8_t args[] = {command, index};
    return byteQuery(getLink(), impl_->address, kQueryEntityGroup, args, 2, group);
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
    Link* link = getLink();
    if (!link)
        return aErrInitialization;
    if (const aErr err = link->sendPacket(impl_->address, kCmdDebug, length, data); err != aErrNone)
        return err;
    const uint8_t match[] = {kCmdDebug};
    uint8_t echo[aPACKET_MAXDATA];
    uint8_t echoLength = sizeof match;
    if (const aErr err = link->receivePacket(impl_->address, match, &echoLength, echo);
        err != aErrNone)
        return err;
    const bool same =
        echoLength == length + 1 && (length == 0 || std::memcmp(echo + 1, data, length) == 0);
    return same ? aErrNone : aErrIO;
}

} // namespace Corvane
