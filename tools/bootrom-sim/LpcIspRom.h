// An NXP LPC boot ROM speaking the UART ISP protocol: synchronisation, echo, identification,
// unlock, prepare, erase, RAM writes with checksums, copy to a simulated 512 KiB flash, go.
#pragma once

#include "BootRom.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct LpcIspSettings {
    std::array<uint32_t, 4> uid{0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
    uint32_t eraseMsPerSector = 4; // erase time of one sector
    uint32_t copyMsPer256 = 1;     // programming time of 256 bytes
    std::string flashDump;         // file the flash is written to after "G" and at exit
    // Faults.
    bool noAnswer = false;      // the ROM never answers
    bool resendOnce = false;    // the first data checksum is answered "RESEND"
    bool strayByte = false;     // a 0xFF byte goes before every return code
    bool strayLineFeed = false; // every return code line is followed by one more LF
    uint32_t slowEraseMs = 0;   // when set, the first erase takes this long instead
};

class LpcIspRom : public BootRom {
  public:
    static constexpr uint32_t kFlashSize = 0x80000;
    static constexpr uint32_t kRamStart = 0x10000000;
    static constexpr uint32_t kRamSize = 0x8000;

    explicit LpcIspRom(const LpcIspSettings& settings);

    void receive(const uint8_t* bytes, size_t count, RomLine& line) override;
    void finish() override;

    const std::vector<uint8_t>& flash() const { return flash_; }

  private:
    enum class State { Unsynced, AwaitSynchronized, AwaitCrystal, Command, Data, Running };

    void onLine(const std::string& text, RomLine& line);
    void command(const std::string& text, RomLine& line);
    void dataLine(const std::string& text, RomLine& line);
    void reply(int code, RomLine& line, const std::string& extra = "");
    bool sectorsPrepared(uint32_t first, uint32_t last) const;
    void dumpFlash() const;

    LpcIspSettings settings_;
    State state_ = State::Unsynced;
    bool echo_ = true;
    bool unlocked_ = false;
    bool slowEraseUsed_ = false;
    bool resendUsed_ = false;
    int preparedFirst_ = -1, preparedLast_ = -1;
    std::string lineBuffer_;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;
    // The RAM write in progress.
    uint32_t writeAddress_ = 0, writeCount_ = 0, written_ = 0, blockStart_ = 0, blockLines_ = 0;
    bool expectChecksum_ = false;
};
