// Serial download protocol frames and exchanges; every trace goes to DEBUG_iMXSerial.
#include "SDPProtocol.h"

#include "Debug.h"
#include "HID_SDPLoader.h"
#include "Serial_SDPLoader.h"

#include <algorithm>

namespace {

void logBytes(const std::vector<uint8_t>& bytes) {
    for (uint8_t byte : bytes) {
        Debug_Print(DEBUG_iMXSerial, "%X ", byte);
    }
    Debug_Print(DEBUG_iMXSerial, "\n");
}

void appendBigEndian(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
}

} // namespace

std::vector<uint8_t> SDPProtocol::command(uint16_t type, uint32_t address, uint8_t format,
                                          uint32_t count) {
    std::vector<uint8_t> bytes{1, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)};
    appendBigEndian(bytes, address);
    bytes.push_back(format);
    appendBigEndian(bytes, count);
    bytes.resize(kCommandReportSize, 0);
    return bytes;
}

bool SDPProtocol::setTransport(std::unique_ptr<SDPLoader_Interface> transport) {
    if (!transport || transport_) {
        return false;
    }
    transport_ = std::move(transport);
    return true;
}

aErr SDPProtocol::open() {
    if (!transport_) {
        return aErrMemory;
    }
    return transport_->open() ? aErrNone : aErrIO;
}

namespace {
constexpr int kStatusWaitMs = 400;
} // namespace

bool SDPProtocol::checkStatus() {
    if (!transport_) {
        return false;
    }
    const std::vector<uint8_t> frame = command(kErrorStatus);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::ptrdiff_t written = transport_->write(frame);
        Debug_Print(DEBUG_iMXSerial, "bytesWritten: %td\n", written);
        logBytes(frame);
        std::vector<uint8_t> reply;
        // A reply that comes after this wait would be taken for the ROM breaking off the next
        // transfer, so the wait is long enough for a loaded host; a ROM that answers at all
        // answers within milliseconds, so only a silent one makes the run wait it out.
        const std::ptrdiff_t got = transport_->read(
            reply, kStatusWaitMs + static_cast<int>(transport_->pendingMs(frame.size())),
            transport_->replySize(true));
        Debug_Print(DEBUG_iMXSerial, "Read Data: %td\n", got);
        logBytes(reply);
        uint32_t value = 0;
        if (transport_->parseStatus(reply, 0, value)) {
            return true;
        }
    }
    Debug_Print(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

int SDPProtocol::writeFile(const uint8_t* data, size_t size, uint32_t address) {
    if (!checkStatus()) {
        return WRITE_NO_ACK;
    }
    const std::vector<uint8_t> frame =
        command(kWriteFile, address, 0x20, static_cast<uint32_t>(size));
    std::ptrdiff_t written = transport_->write(frame);
    Debug_Print(DEBUG_iMXSerial, "Write Res: %td\n", written);
    logBytes(frame);
    if (written < 0) {
        return WRITE_ABORTED;
    }
    size_t position = 0;
    size_t total = 0;
    std::vector<uint8_t> report;
    for (int loop = 0; position < size; ++loop) {
        std::vector<uint8_t> early;
        if (transport_->read(early, 0) > 0) {
            Debug_Print(DEBUG_iMXSerial, "Read Data: %zu\n", early.size());
            logBytes(early);
            Debug_Print(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return WRITE_ABORTED;
        }
        const size_t take = std::min(kDataPerReport, size - position);
        report.assign(1, 2);
        report.insert(report.end(), data + position, data + position + take);
        written = transport_->write(report);
        position += take;
        Debug_Print(DEBUG_iMXSerial,
                    "Write Res: %td , Total: %zu, Loop: %d, tell: %zu, size: %zu\n", written, total,
                    loop, position, report.size());
        if (written < 0) {
            // A port that takes nothing ends the transfer instead of being fed for ever.
            return WRITE_ABORTED;
        }
        total += static_cast<size_t>(written);
        if (sent) {
            sent(position);
        }
    }
    Debug_Print(DEBUG_iMXSerial, "Written Bytes: %zu\n", total);
    // The status follows the last byte; what the transport still holds must cross first.
    std::vector<uint8_t> reply;
    transport_->read(reply, 100 + static_cast<int>(transport_->pendingMs(total + frame.size())),
                     transport_->replySize(true));
    Debug_Print(DEBUG_iMXSerial, "Data Read: \n");
    logBytes(reply);
    uint32_t status = 0;
    if (transport_->parseStatus(reply, 0, status) && status == kWriteComplete) {
        Debug_Print(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return WRITE_OK;
    }
    Debug_Print(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return WRITE_NOT_CONFIRMED;
}

void SDPProtocol::jumpAddress(uint32_t address) {
    if (!transport_) {
        return;
    }
    const std::vector<uint8_t> frame = command(kJumpAddress, address);
    const std::ptrdiff_t written = transport_->write(frame);
    Debug_Print(DEBUG_iMXSerial, "Write Res: %td\n", written);
    logBytes(frame);
    // The ROM answers with its security mode before it jumps; what the started image sends
    // after that is not the ROM's.
    std::vector<uint8_t> reply;
    transport_->read(reply, 100 + static_cast<int>(transport_->pendingMs(frame.size())),
                     transport_->replySize(false));
}

std::unique_ptr<SDPLoader_Interface> sdpLoaderForPort(const std::string& portName,
                                                      std::unique_ptr<HidTransport> hid) {
    if (portName == "USB") {
        if (!hid) {
            hid = makePlatformHidTransport();
        }
        return std::make_unique<HID_SDPLoader>(SDPProtocol::kRecoveryVendorId,
                                               SDPProtocol::kRecoveryProductId, std::move(hid));
    }
    return std::make_unique<Serial_SDPLoader>(portName);
}
