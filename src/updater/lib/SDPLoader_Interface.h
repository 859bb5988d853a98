// The transport of the i.MX Serial Download Protocol: HID reports (USB) or the same bytes
// without their report id (UART).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class SDPLoader_Interface {
  public:
    virtual ~SDPLoader_Interface() = default;
    // True when the device is open.
    virtual bool open() = 0;
    // Sends one host message, bytes[0] being its report id. The count written, negative on failure.
    virtual std::ptrdiff_t write(const std::vector<uint8_t>& bytes) = 0;
    // Appends what the device sends within timeoutMs; the count appended. With enough above 0
    // the read ends as soon as that many bytes have come (a complete reply) instead of waiting
    // for the device to fall quiet.
    virtual std::ptrdiff_t read(std::vector<uint8_t>& bytesOut, int timeoutMs,
                                size_t enough = 0) = 0;
    // True when bytes hold a complete reply; its 32-bit status (little-endian) is ORed into
    // valueOut.
    virtual bool parseStatus(const std::vector<uint8_t>& bytes, size_t index,
                             uint32_t& valueOut) = 0;
    // The bytes of a complete reply as read() delivers it: the security mode alone, or the
    // security mode and a status.
    virtual size_t replySize(bool withStatus) const = 0;

    // How long the transport may still need to carry count bytes already handed to it, so a
    // reply is not given up while the request is still on the wire.
    virtual uint32_t pendingMs(size_t count) const {
        (void)count;
        return 0;
    }
    // Why the last failing operation failed, naming the device; empty when none failed.
    const std::string& failure() const { return failure_; }

  protected:
    SDPLoader_Interface() = default;
    SDPLoader_Interface(const SDPLoader_Interface&) = delete;
    SDPLoader_Interface& operator=(const SDPLoader_Interface&) = delete;

    std::string failure_;
};
