// The link upgrade protocol (command 0x5F): prepares a memory region, streams image bytes,
// checks sums, commits chunks, starts a freshly loaded boot loader and reboots the module.
#pragma once

#include "UpdaterDisplayInterface.h"

#include "corvane/EntityClass.h"
#include "corvane/Module.h"
#include "corvane/aError.h"

#include <cstdint>
#include <string>

// Request codes after the command byte, and the reply code of PREPARE, SUM and WRITE.
enum UpgradeCode : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
    val_UPGRADE_DATA_UEI = 10, // UEI option on command 0x5F for bulk data
};

inline constexpr uint8_t cmdUPGRADE = 0x5F;
// Image bytes in one DATA packet: a packet holds 27 bytes after the command byte.
inline constexpr uint32_t kUpgradeDataPerPacket = 26;

// Waits and bounds of the exchanges. The defaults fit a module's timing; tests shorten them.
struct UpgradeTiming {
    // Resends of one DATA packet whose accepted count keeps differing before the block fails.
    uint32_t maxDataResends = 8;
    // REBOOT: the link is checked every pollMs, for at most rebootPolls checks. A module writes
    // its new image before it restarts, which takes a real one tens of seconds.
    uint32_t rebootPollMs = 250;
    uint32_t rebootPolls = 240;
    uint32_t reconnectAttempts = 5;
};

class UpdaterEntity : public Corvane::EntityClass {
  public:
    UpdaterEntity() = default;
    ~UpdaterEntity() override = default;

    void init(Corvane::Module* module, uint8_t index, bool validateSums, bool noLinkDropWait);
    void setTiming(const UpgradeTiming& timing) { timing_ = timing; }

    aErr checkUEIDataSupport();
    aErr checkProtocolVersion();
    aErr loaderInit();
    // blockData starts with the block's big-endian address; chunkSize receives the module's.
    aErr transferPrepare(const uint8_t* blockData, uint32_t length, uint8_t flags,
                         uint16_t& chunkSize);
    aErr blockTransfer(const uint8_t* data, uint32_t count, uint32_t& packetsSent);
    aErr firmwareWrite(uint16_t count);
    aErr firmwareTransfer(const uint8_t* blockData, uint32_t length, uint16_t chunkSize,
                          UpdaterDisplayInterface& display);
    aErr loaderTransfer(const uint8_t* blockData, uint32_t length);
    aErr loaderStart();
    aErr loaderReboot(UpdaterDisplayInterface& display);
    aErr reconnect(uint32_t delayMs);

    // The same operations with their in/out values and the display passed by address; a null
    // one is aErrParam.
    aErr transferPrepare(const uint8_t* blockData, uint32_t length, uint8_t flags,
                         uint16_t* chunkSize) {
        return chunkSize ? transferPrepare(blockData, length, flags, *chunkSize) : aErrParam;
    }
    aErr blockTransfer(const uint8_t* data, uint32_t count, uint32_t* packetsSent) {
        return packetsSent ? blockTransfer(data, count, *packetsSent) : aErrParam;
    }
    aErr firmwareTransfer(const uint8_t* blockData, uint32_t length, uint16_t chunkSize,
                          UpdaterDisplayInterface* display) {
        return display ? firmwareTransfer(blockData, length, chunkSize, *display) : aErrParam;
    }
    aErr loaderReboot(UpdaterDisplayInterface* display) {
        return display ? loaderReboot(*display) : aErrParam;
    }

    bool usesUeiData() const { return useUeiData_; }
    // What went wrong in the last exchange that failed, in words for the user; empty until one
    // failed.
    const std::string& lastFailure() const { return failure_; }
    // Payload bytes of the block in firmwareTransfer that the module has written so far.
    uint32_t bytesWritten() const { return written_; }

  private:
    aErr send(std::initializer_list<uint8_t> bytes);
    aErr await(uint8_t code, uint8_t& length, uint8_t* data);
    aErr fail(aErr err, const char* format, ...) __attribute__((format(printf, 3, 4)));

    Corvane::Module* module_ = nullptr;
    bool validateSums_ = false;
    bool noLinkDropWait_ = false;
    bool useUeiData_ = false;
    UpgradeTiming timing_;
    std::string failure_;
    uint32_t written_ = 0;
};
