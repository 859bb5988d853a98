// The i.MX Serial Download Protocol: ERROR_STATUS, WRITE_FILE and JUMP_ADDRESS over a loader
// transport (USB HID or UART).
#pragma once

#include "HID_SDPLoader.h"
#include "SDPLoader_Interface.h"

#include <corvane/aError.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class SDPProtocol {
  public:
    // Results of writeFile.
    enum WriteResult : int {
        WRITE_OK = 0,
        WRITE_NO_ACK = 2,        // no answer to ERROR_STATUS in five tries
        WRITE_ABORTED = 3,       // the device spoke during the data, or the transport failed
        WRITE_NOT_CONFIRMED = 4, // the final status was not "complete"
    };
    static constexpr uint16_t kWriteFile = 0x0404;
    static constexpr uint16_t kErrorStatus = 0x0505;
    static constexpr uint16_t kJumpAddress = 0x0B0B;
    static constexpr uint32_t kWriteComplete = 0x88888888;
    static constexpr size_t kCommandReportSize = 17; // report id and the 16-byte frame
    static constexpr size_t kDataPerReport = 1024;
    // The ids the loader of a chip in recovery enumerates with on USB.
    static constexpr uint16_t kRecoveryVendorId = 0x1FC9;
    static constexpr uint16_t kRecoveryProductId = 0x0130;

    // Takes the transport when one is given and none is set yet.
    bool setTransport(std::unique_ptr<SDPLoader_Interface> transport);
    // aErrMemory without a transport; aErrIO when it does not open.
    aErr open();
    bool checkStatus();
    int writeFile(const uint8_t* data, size_t size, uint32_t address);
    void jumpAddress(uint32_t address);
    void release() { transport_.reset(); }
    SDPLoader_Interface* transport() const { return transport_.get(); }

    // Called after each data report of writeFile with the bytes of the file sent so far.
    std::function<void(size_t)> sent;

    // A command report: id 1, the type, the big-endian address, format and count, zeros to 17.
    static std::vector<uint8_t> command(uint16_t type, uint32_t address = 0, uint8_t format = 0,
                                        uint32_t count = 0);

  private:
    std::unique_ptr<SDPLoader_Interface> transport_;
};

// The transport for a port name: exactly "USB" is the recovery loader's USB HID device (on hid,
// when given), any other name a serial port.
std::unique_ptr<SDPLoader_Interface> sdpLoaderForPort(const std::string& portName,
                                                      std::unique_ptr<HidTransport> hid = {});
