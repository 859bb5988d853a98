// Fuzz entry for the i.MX serial download protocol client: arbitrary ROM answers (security mode,
// status) to a scripted session, over the UART transport and as USB HID reports.
#pragma once

#include "FuzzChipScript.h"
#include "HID_SDPLoader.h"
#include "SDPProtocol.h"
#include "Serial_SDPLoader.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// The ROM's HID reports: each answer of the script is one report, id first.
class ScriptedHid : public HidTransport {
  public:
    explicit ScriptedHid(ChipScript& chip) : chip_(chip) {}
    bool open(uint16_t, uint16_t) override { return true; }
    int write(const uint8_t*, size_t count) override {
        chip_.hostSent();
        return static_cast<int>(count);
    }
    int read(uint8_t* buffer, size_t size, int) override {
        std::vector<uint8_t> report;
        if (!chip_.takeAnswer(report)) {
            return 0; // nothing came in time
        }
        const size_t length = std::min(report.size(), size);
        if (length > 0) {
            std::memcpy(buffer, report.data(), length);
        }
        return static_cast<int>(length);
    }
    void close() override {}

  private:
    ChipScript& chip_;
};

// The session the target and its seed recorder run over an open transport: the status, a load
// of a small file and the jump to it, from the step bits 1 and 2 of selector pick.
inline std::string sdpSession(SDPProtocol& sdp, uint8_t selector) {
    std::vector<uint8_t> file(1500);
    for (size_t i = 0; i < file.size(); ++i) {
        file[i] = static_cast<uint8_t>(i);
    }
    const unsigned first = (selector >> 1) & 3;
    if (first == 0) {
        (void)sdp.checkStatus();
    }
    if (first <= 1) {
        size_t last = 0;
        std::string problem;
        sdp.sent = [&](size_t position) {
            if (position <= last || position > file.size()) {
                problem = "writeFile reported progress out of order";
            }
            last = position;
        };
        const int result = sdp.writeFile(file.data(), file.size(), 0x00907000);
        sdp.sent = nullptr;
        if (!problem.empty()) {
            return problem;
        }
        if (result != SDPProtocol::WRITE_OK && result != SDPProtocol::WRITE_NO_ACK &&
            result != SDPProtocol::WRITE_ABORTED && result != SDPProtocol::WRITE_NOT_CONFIRMED) {
            return "writeFile returned " + std::to_string(result);
        }
        if (result == SDPProtocol::WRITE_OK && last != file.size()) {
            return "writeFile succeeded without sending the whole file";
        }
    }
    sdp.jumpAddress(0x00907000);
    return {};
}

// The first byte: bit 0 picks HID (set) or the UART, bits 1 and 2 the first step; the rest is the
// ROM's answers (ChipScript). A status is taken only from a complete reply.
inline std::string fuzzImxSdp(const uint8_t* data, size_t size) {
    if (size == 0) {
        return {};
    }
    ChipScript chip(data + 1, size - 1);
    SDPProtocol sdp;
    if (data[0] & 1) {
        auto loader = std::make_unique<HID_SDPLoader>(SDPProtocol::kRecoveryVendorId,
                                                      SDPProtocol::kRecoveryProductId,
                                                      std::make_unique<ScriptedHid>(chip));
        sdp.setTransport(std::move(loader));
    } else {
        auto loader = std::make_unique<Serial_SDPLoader>("fuzz");
        loader->interByteGapMs = 0;
        loader->attach(chip.stream());
        sdp.setTransport(std::move(loader));
    }
    if (sdp.open() != aErrNone) {
        return "the scripted transport did not open";
    }
    std::string problem = sdpSession(sdp, data[0]);
    if (!problem.empty()) {
        return problem;
    }
    // Every answer as a reply: a status is taken only from a complete one.
    SDPLoader_Interface& transport = *sdp.transport();
    const std::vector<uint8_t> reply(data + 1, data + size);
    for (size_t index : {size_t{0}, size_t{3}, size_t{15}, size_t{16}}) {
        uint32_t value = 0;
        if (transport.parseStatus(reply, index, value) &&
            reply.size() < transport.replySize(true)) {
            return "a status was read from a reply shorter than a complete one";
        }
    }
    return {};
}
