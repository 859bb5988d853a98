// Fuzz entry for the NXP ISP client: arbitrary chip answers to a scripted session, through the
// synchronisation, return codes, identification and UU-encoded reads and writes.
#pragma once

#include "FuzzChipScript.h"
#include "NxpIspClient.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

// The session the target and its seed recorder run: from the step the low 3 bits of selector
// pick, then a read of 4 to 32 bytes (the next 3 bits), until the chip has nothing more to say
// (spent). Every failing step must say why in failure(), and a failed read must leave its buffer
// alone.
inline std::string nxpSession(NxpIspClient& client, uint8_t selector,
                              const std::function<bool()>& spent) {
    std::array<uint8_t, 96> image{};
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7);
    }
    const std::vector<std::pair<const char*, std::function<aErr()>>> steps = {
        {"synchronize", [&] { return client.synchronize(); }},
        {"readUid", [&] { return client.readUid(); }},
        {"unlock", [&] { return client.unlock(); }},
        {"prepareSectors", [&] { return client.prepareSectors(0, 1); }},
        {"eraseSectors", [&] { return client.eraseSectors(0, 1); }},
        {"Write", [&] { return client.Write(0x10000200, image.size(), image.data()); }},
        {"copyRamToFlash", [&] { return client.copyRamToFlash(0x1000, 0x10000200, 256); }},
        {"compare", [&] { return client.compare(0x1000, 0x10000200, 64); }},
    };
    for (size_t i = selector & 7; i < steps.size() && !spent(); ++i) {
        const aErr err = steps[i].second();
        if (err != aErrNone && client.failure().empty()) {
            return std::string(steps[i].first) + " failed with " + aError_GetErrorText(err) +
                   " and no reason";
        }
    }
    std::array<uint8_t, 32> read;
    read.fill(0xA5);
    const uint32_t readCount = 4 * (1 + (selector >> 3) % 8);
    const aErr err = client.Read(0x200, readCount, read.data());
    if (err != aErrNone) {
        for (uint8_t byte : read) {
            if (byte != 0xA5) {
                return "a failed Read wrote to its buffer";
            }
        }
        if (client.failure().empty()) {
            return std::string("Read failed with ") + aError_GetErrorText(err) + " and no reason";
        }
    }
    return {};
}

// The first byte is the session's selector, the rest the chip's answers (ChipScript). No more
// bytes may be counted than the chip sent.
inline std::string fuzzNxpIsp(const uint8_t* data, size_t size) {
    if (size == 0) {
        return {};
    }
    ChipScript chip(data + 1, size - 1);
    NxpIspClient client;
    client.budgets.echo = 0; // the script never keeps the host waiting
    client.attach(chip.stream(), "fuzz", 115200);
    const std::string problem = nxpSession(client, data[0], [&] { return chip.spent(); });
    if (!problem.empty()) {
        return problem;
    }
    if (client.bytesReceived() != chip.delivered()) {
        return "the client counted " + std::to_string(client.bytesReceived()) + " bytes of " +
               std::to_string(chip.delivered()) + " received";
    }
    // The line helpers on the raw input, the way every reply line is judged.
    int code = -1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    if (nxpReplyCode(text, size - 1, code) && (code < 0 || code > 999999999)) {
        return "a reply code out of range";
    }
    (void)NxpIspClient::returnCodeText(std::string(text, size - 1).c_str());
    std::string bytes;
    if (NxpIspClient::uuDecodeLine(text, size - 1, bytes) &&
        bytes.size() > NxpIspClient::kBytesPerLine) {
        return "a UU line decoded to more than a line holds";
    }
    return {};
}
