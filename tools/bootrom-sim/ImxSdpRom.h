// An i.MX boot ROM speaking the Serial Download Protocol over a UART: ERROR_STATUS, WRITE_FILE
// into RAM and JUMP_ADDRESS. A frame left half-sent by a quiet line is abandoned.
#pragma once

#include "BootRom.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ImxSdpSettings {
    bool noAnswer = false; // the ROM never answers
    std::string ramDump;   // file the loaded images are written to at a jump (address, size, bytes)
    // Called after a successful JUMP_ADDRESS with the address: the started loader comes up on
    // USB (Liveloader.h).
    std::function<void(uint32_t)> onJump;
};

class ImxSdpRom : public BootRom {
  public:
    static constexpr uint32_t kHabOpen = 0x56787856;
    static constexpr uint32_t kWriteComplete = 0x88888888;
    static constexpr uint32_t kStatusOk = 0xF0F0F0F0;
    static constexpr uint32_t kStatusBadJump = 0x33333333;

    explicit ImxSdpRom(const ImxSdpSettings& settings) : settings_(settings) {}

    void receive(const uint8_t* bytes, size_t count, RomLine& line) override;
    void quiet() override;

    // Images written so far by their load address.
    const std::map<uint32_t, std::vector<uint8_t>>& images() const { return images_; }

  private:
    void frame(RomLine& line);
    static std::string word(uint32_t value); // little-endian, as the ROM sends it

    ImxSdpSettings settings_;
    std::vector<uint8_t> frame_;
    uint32_t dataAddress_ = 0;
    uint32_t dataLeft_ = 0;
    std::vector<uint8_t> data_;
    uint32_t status_ = kStatusOk;
    std::map<uint32_t, std::vector<uint8_t>> images_;
};
