// The link upgrade protocol's exchanges on command 0x5F, each with its trace under
// DEBUG_Network_FIRM, and the reconnects and waits around loading and rebooting.
#include "UpdaterEntity.h"

#include "Debug.h"
#include "corvane/I2CClass.h"
#include "corvane/SystemClass.h"

#include "corvane/aError.h"
#include "corvane/aTime.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

constexpr uint32_t kPooledPacketsFeature = 1u << 31;

uint32_t bigEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

} // namespace

void UpdaterEntity::init(Corvane::Module* module, uint8_t index, bool validateSums,
                         bool noLinkDropWait) {
    EntityClass::init(module, cmdUPGRADE, index);
    module_ = module;
    validateSums_ = validateSums;
    noLinkDropWait_ = noLinkDropWait;
    useUeiData_ = false;
}

aErr UpdaterEntity::send(std::initializer_list<uint8_t> bytes) {
    const std::vector<uint8_t> data(bytes);
    return sendPacket(cmdUPGRADE, static_cast<uint8_t>(data.size()), data.data());
}

aErr UpdaterEntity::await(uint8_t code, uint8_t& length, uint8_t* data) {
    const uint8_t match[] = {cmdUPGRADE, code};
    length = sizeof match;
    return receivePacket(match, &length, data);
}

aErr UpdaterEntity::fail(aErr err, const char* format, ...) {
    char words[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(words, sizeof words, format, args);
    va_end(args);
    failure_ = words;
    return err;
}

aErr UpdaterEntity::checkUEIDataSupport() {
    if (!module_)
        return aErrResource;
    const aErr err = module_->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, aUEI_OP_SET);
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
    if (err == aErrNone)
        useUeiData_ = true;
    return err;
}

aErr UpdaterEntity::checkProtocolVersion() {
    if (!module_)
        return aErrResource;
    Corvane::SystemClass system;
    system.init(module_, 0);
    uint32_t features = 0;
    const aErr err = system.getProtocolFeatures(&features);
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n",
                static_cast<int>(features), err);
    if (err != aErrNone || (features & kPooledPacketsFeature) == 0)
        return err;
    Corvane::Link* link = module_->getLink();
    return link ? link->enablePooledPackets(true) : aErrConnection;
}

aErr UpdaterEntity::loaderInit() {
    Debug_Print(DEBUG_Network_FIRM,
                "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    if (const aErr err = send({val_UPGRADE_INIT}); err != aErrNone) {
        Debug_Print(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    uint8_t length = 0;
    uint8_t reply[aPACKET_MAXDATA];
    if (const aErr err = await(val_UPGRADE_INIT, length, reply); err != aErrNone)
        return err;
    if (length < 6)
        return aErrPacket;
    const uint32_t base = bigEndian32(reply + 2);
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base),
                base);
    return aErrNone;
}

aErr UpdaterEntity::transferPrepare(const uint8_t* blockData, uint32_t length, uint8_t flags,
                                    uint16_t& chunkSize) {
    if (!blockData || length < 4)
        return aErrParam;
    const uint8_t* a = blockData;
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n",
                static_cast<int>(length), flags, chunkSize);
    Debug_Print(DEBUG_Network_FIRM,
                "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
                "%02X]} \n",
                flags, a[0], a[1], a[2], a[3]);
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(bigEndian32(a)));
    if (const aErr err = send({val_UPGRADE_PREPARE, flags, a[0], a[1], a[2], a[3]});
        err != aErrNone) {
        Debug_Print(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return fail(err, "the block could not be announced (%s)", aError_GetErrorText(err));
    }
    uint8_t replyLength = 0;
    uint8_t reply[aPACKET_MAXDATA];
    if (const aErr err = await(val_UPGRADE_STATUS, replyLength, reply); err != aErrNone)
        return fail(err, "the module did not answer the block's announcement");
    if (replyLength < 5 || reply[2] != 0) {
        Debug_Print(DEBUG_Network_FIRM,
                    "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return fail(aErrInvalidOption, "the module refused the block (status %u)",
                    replyLength >= 3 ? reply[2] : 0u);
    }
    chunkSize = static_cast<uint16_t>(reply[3] << 8 | reply[4]);
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
                chunkSize);
    return aErrNone;
}

aErr UpdaterEntity::blockTransfer(const uint8_t* data, uint32_t count, uint32_t& packetsSent) {
    Debug_Print(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    if (count > 0 && !data)
        return aErrParam;
    uint32_t sum = 0;
    uint32_t done = 0;
    aErr err = aErrNone;
    if (useUeiData_) {
        Debug_Print(DEBUG_Network_FIRM,
                    "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
                    static_cast<int>(count));
        err = setUEIBytes(val_UPGRADE_DATA_UEI, data, count);
        if (err != aErrNone) {
            Debug_Print(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n",
                        err);
            return fail(err, "the module did not take the data (%s)", aError_GetErrorText(err));
        }
        for (uint32_t i = 0; i < count; ++i)
            sum += data[i];
        done = count;
        packetsSent = 1;
        Debug_Print(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(count));
    } else {
        uint32_t resends = 0;
        while (done < count) {
            const uint32_t n = std::min(count - done, kUpgradeDataPerPacket);
            Debug_Print(DEBUG_Network_FIRM,
                        "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
                        static_cast<int>(n));
            uint8_t packet[1 + kUpgradeDataPerPacket] = {val_UPGRADE_DATA};
            std::copy_n(data + done, n, packet + 1);
            err = sendPacket(cmdUPGRADE, static_cast<uint8_t>(1 + n), packet);
            if (err != aErrNone) {
                Debug_Print(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n",
                            err);
                return fail(err, "a data packet could not be sent (%s)", aError_GetErrorText(err));
            }
            uint8_t replyLength = 0;
            uint8_t reply[aPACKET_MAXDATA];
            if (await(val_UPGRADE_DATA, replyLength, reply) != aErrNone || replyLength < 3) {
                Debug_Print(DEBUG_Network_FIRM,
                            "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = fail(aErrPacket, "the module did not answer a data packet");
                break;
            }
            if (reply[2] != n) {
                Debug_Print(DEBUG_Network_FIRM,
                            "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", reply[2],
                            static_cast<int>(n));
                // A module that keeps refusing the packet would hold the host here for ever.
                if (++resends > timing_.maxDataResends) {
                    Debug_Print(DEBUG_Network_FIRM,
                                "NETWORK: Module kept refusing upgrade data after %u resends\n",
                                timing_.maxDataResends);
                    err = fail(aErrIO, "the module kept refusing a data packet (%u resends)",
                               timing_.maxDataResends);
                    break;
                }
                continue;
            }
            resends = 0;
            for (uint32_t i = 0; i < n; ++i)
                sum += data[done + i];
            done += n;
            ++packetsSent;
            Debug_Print(
                DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                static_cast<int>(n), static_cast<int>(count - done), static_cast<int>(count));
        }
    }
    Debug_Print(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n",
                static_cast<int>(done), static_cast<int>(count));
    if (err != aErrNone)
        return err;
    if (!validateSums_)
        return aErrNone;

    Debug_Print(DEBUG_Network_FIRM,
                "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    if (const aErr sendErr = send({val_UPGRADE_SUM}); sendErr != aErrNone)
        return fail(sendErr, "the checksum request could not be sent (%s)",
                    aError_GetErrorText(sendErr));
    uint8_t replyLength = 0;
    uint8_t reply[aPACKET_MAXDATA];
    if (await(val_UPGRADE_STATUS, replyLength, reply) != aErrNone || replyLength < 3) {
        Debug_Print(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return fail(aErrPacket, "the module did not answer the checksum request");
    }
    // A module that refuses the check may leave its sum out.
    const bool hasSum = replyLength >= 7;
    const uint32_t moduleSum = hasSum ? bigEndian32(reply + 3) : 0;
    if (reply[2] != 0 || !hasSum || moduleSum != sum) {
        // Always written: the sums are what a user reporting a failed update can quote.
        Debug_Print(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", reply[2],
                    sum, moduleSum);
        if (reply[2] != 0 || !hasSum)
            return fail(aErrInvalidOption, "the module refused the checksum check (status %02X)",
                        reply[2]);
        return fail(aErrInvalidOption,
                    "the module's checksum %08X is not that of the bytes sent, %08X", moduleSum,
                    sum);
    }
    Debug_Print(DEBUG_Network_FIRM,
                "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", 0, sum,
                moduleSum, static_cast<int>(packetsSent));
    return aErrNone;
}

aErr UpdaterEntity::firmwareWrite(uint16_t count) {
    Debug_Print(DEBUG_Network_FIRM,
                "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", count);
    if (const aErr err = send(
            {val_UPGRADE_WRITE, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
        err != aErrNone) {
        Debug_Print(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
                    aError_GetErrorText(err));
        return fail(err, "the write request could not be sent (%s)", aError_GetErrorText(err));
    }
    uint8_t replyLength = 0;
    uint8_t reply[aPACKET_MAXDATA];
    const bool answered = await(val_UPGRADE_STATUS, replyLength, reply) == aErrNone;
    if (!answered || replyLength < 3 || reply[2] != 0) {
        Debug_Print(DEBUG_Network_FIRM,
                    "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        if (!answered)
            return fail(aErrInvalidOption, "the module did not answer the write request");
        return fail(aErrInvalidOption, "the module refused to write the chunk (status %02X)",
                    replyLength >= 3 ? reply[2] : 0u);
    }
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::firmwareTransfer(const uint8_t* blockData, uint32_t length, uint16_t chunkSize,
                                     UpdaterDisplayInterface& display) {
    if (!blockData || length < 4)
        return aErrParam;
    const uint8_t* payload = blockData + 4;
    const uint32_t payloadLength = length - 4;
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
                bigEndian32(blockData), static_cast<int>(payloadLength));
    written_ = 0;
    // A chunk size of 0 would never move a byte.
    if (chunkSize == 0 && payloadLength > 0) {
        Debug_Print(DEBUG_Network_FIRM,
                    "NETWORK: Module asked for chunks of 0 bytes; the block cannot be sent\n");
        return fail(aErrSize, "the module asked for chunks of 0 bytes");
    }
    display.showProgress(true);
    uint32_t remaining = payloadLength;
    aErr err = aErrNone;
    while (remaining > 0 && err == aErrNone) {
        const uint32_t n = std::min<uint32_t>(remaining, chunkSize);
        uint32_t packets = 0;
        err = blockTransfer(payload + (payloadLength - remaining), n, packets);
        if (err != aErrNone)
            break;
        remaining -= n;
        display.progress(static_cast<double>(length - remaining) / length, nullptr);
        Debug_Print(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                    static_cast<int>(n), static_cast<int>(remaining), static_cast<int>(length));
        if ((err = firmwareWrite(static_cast<uint16_t>(n))) == aErrNone)
            written_ += n;
    }
    display.showProgress(false);
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
                static_cast<int>(length - remaining), static_cast<int>(length));
    // Always written, beside the caller's words: it is the line update logs are searched for.
    if (err != aErrNone)
        Debug_Print(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::loaderTransfer(const uint8_t* blockData, uint32_t length) {
    if (!blockData || length < 4)
        return aErrParam;
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n",
                bigEndian32(blockData), static_cast<int>(length - 4));
    uint32_t packets = 0;
    return blockTransfer(blockData + 4, length - 4, packets);
}

aErr UpdaterEntity::loaderStart() {
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    if (const aErr err = send({val_UPGRADE_LOAD}); err != aErrNone) {
        Debug_Print(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    uint8_t length = 0;
    uint8_t reply[aPACKET_MAXDATA];
    if (await(val_UPGRADE_LOAD, length, reply) == aErrNone) {
        Debug_Print(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    if (const aErr err = reconnect(500); err != aErrNone) {
        Debug_Print(DEBUG_Network_FIRM,
                    "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
                    aError_GetErrorText(err));
        return aErrTimeout;
    }
    if (const aErr err = await(val_UPGRADE_LOAD, length, reply); err != aErrNone) {
        Debug_Print(DEBUG_Network_FIRM,
                    "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
                    aError_GetErrorText(err));
        return aErrTimeout;
    }
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
}

aErr UpdaterEntity::loaderReboot(UpdaterDisplayInterface& display) {
    Debug_Print(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    aErr result = send({val_UPGRADE_REBOOT});
    if (result != aErrNone)
        Debug_Print(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    // The dropped link is the only sign of a reboot; a module that never drops it is reported.
    uint32_t polls = 0;
    while (module_ && module_->isConnected()) {
        if (polls == timing_.rebootPolls) {
            Debug_Print(DEBUG_Network_FIRM,
                        "NETWORK: The link did not drop within %u ms of the reboot request\n",
                        timing_.rebootPolls * timing_.rebootPollMs);
            if (result == aErrNone)
                result = aErrTimeout;
            break;
        }
        ++polls;
        aTime_MSSleep(timing_.rebootPollMs);
        display.spinner(true, "Verifying Update");
        Debug_Print(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Debug_Print(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (noLinkDropWait_)
            break;
    }
    display.spinner(false, "Verifying Update");
    return result;
}

aErr UpdaterEntity::reconnect(uint32_t delayMs) {
    if (!module_)
        return aErrResource;
    module_->disconnect();
    aErr err = aErrConnection;
    for (uint32_t attempt = 1; attempt <= timing_.reconnectAttempts; ++attempt) {
        Debug_Print(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                    static_cast<int>(attempt), static_cast<int>(timing_.reconnectAttempts));
        err = module_->reconnect();
        if (err == aErrNone) {
            Debug_Print(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Debug_Print(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                    static_cast<int>(delayMs));
        // An attempt that failed after its link came up (the module did not say its address)
        // leaves that link behind, and every later attempt would be refused for it.
        module_->disconnect();
        aTime_MSSleep(delayMs);
    }
    return err;
}
