// An i.MX boot ROM speaking the Serial Download Protocol over a UART: the association handshake,
// ERROR_STATUS, READ_REGISTER, WRITE_REGISTER, WRITE_FILE, DCD_WRITE and JUMP_ADDRESS. After a
// jump the started image owns the line and the ROM is silent until that image resets the chip.
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
    // A frame left unfinished by a quiet line is abandoned after the quiet time, unless strict: a
    // strict ROM waits for the frame's remaining bytes however long they take.
    bool strictFraming = true;
    // Frames before the association handshake (0x23 0x45 0x45 0x23, echoed) are ignored.
    bool requireAssociation = true;
    // JUMP_ADDRESS needs an image vector table at its address (and runs the table's DCD); without
    // this, any address inside a loaded image is taken.
    bool requireIvt = false;
    // What the started image writes on the line once it runs (a boot loader's console greeting).
    std::string banner;
    // Called after a successful JUMP_ADDRESS with the address: the started loader comes up on
    // USB (Liveloader.h).
    std::function<void(uint32_t)> onJump;
    // Asked while the started image runs: true once it has reset the chip into the ROM.
    std::function<bool()> backInRom;
};

class ImxSdpRom : public BootRom {
  public:
    static constexpr uint32_t kHabOpen = 0x56787856;
    static constexpr uint32_t kWriteComplete = 0x88888888;
    static constexpr uint32_t kRegisterWritten = 0x128A8A12;
    static constexpr uint32_t kStatusOk = 0xF0F0F0F0;
    static constexpr uint32_t kStatusBadJump = 0x33333333;
    static constexpr uint32_t kStatusBadDcd = 0x3C3C3C3C;
    static constexpr uint32_t kStatusBadCommand = 0x55555555;

    explicit ImxSdpRom(const ImxSdpSettings& settings) : settings_(settings) {}

    void receive(const uint8_t* bytes, size_t count, RomLine& line) override;
    void quiet() override;
    void poll(RomLine& line) override;

    // Images written so far by their load address.
    const std::map<uint32_t, std::vector<uint8_t>>& images() const { return images_; }

  private:
    enum class Phase { Frames, FileData, DcdData, Running };

    void frame(RomLine& line);
    void jump(uint32_t address, RomLine& line);
    bool runDcd(uint32_t address);
    void store(uint32_t address, std::vector<uint8_t> bytes);
    uint8_t byteAt(uint32_t address) const;
    uint32_t valueAt(uint32_t address, unsigned width) const; // little-endian, as the core reads
    void setValue(uint32_t address, uint32_t value, unsigned width);
    void reset();
    static std::string word(uint32_t value); // little-endian, as the ROM sends it

    ImxSdpSettings settings_;
    Phase phase_ = Phase::Frames;
    bool associated_ = false;
    std::vector<uint8_t> frame_;
    uint32_t dataAddress_ = 0;
    uint32_t dataLeft_ = 0;
    std::vector<uint8_t> data_;
    uint32_t status_ = kStatusOk;
    std::map<uint32_t, std::vector<uint8_t>> images_;
    std::map<uint32_t, uint8_t> registers_; // bytes written outside every image
};
