// An NXP LPC boot ROM speaking the UART ISP protocol: auto-baud synchronisation, echo, baud rate,
// unlock, identification (part id, boot code version, serial number), prepare, erase, blank check,
// RAM writes and memory reads in UU-encoded lines with checksums, compare, copy to a simulated
// 512 KiB flash, go. Flash and RAM start with the leftovers of an earlier life, not blank.
#pragma once

#include "BootRom.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct LpcIspSettings {
    // What ends a line the chip receives; LPC parts differ in this. Cr: a CR or an LF, and an LF
    // right behind its CR belongs to the same ending. Lf: only an LF; a CR is swallowed as it
    // arrives and the whole CR LF is echoed when the LF arrives, before the reply.
    enum class LineEnd { Cr, Lf };
    LineEnd lineEnd = LineEnd::Cr;
    std::array<uint32_t, 4> uid{0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
    uint32_t eraseMsPerSector = 100; // erase time of one sector
    uint32_t copyMsPer256 = 1;       // programming time of 256 bytes
    std::string flashDump;           // file the flash is written to after "G" and at exit
    // The state a host meets: a chip fresh from reset waits for "?"; one that an earlier session
    // synchronised takes commands at once, with the echo as that session left it.
    bool alreadySynced = false;
    bool echo = true;
    // Faults.
    bool noAnswer = false;      // the ROM never answers
    bool resendOnce = false;    // the first data checksum is answered "RESEND"
    bool strayByte = false;     // a 0xFF byte goes before every return code
    bool strayLineFeed = false; // every return code line is followed by one more LF
    uint32_t slowEraseMs = 0;   // when set, the first erase takes this long instead
    // One bit of one argument of a W or C command line flips on the way in (the echo shows the
    // damage): the flipLine-th line, counted from 1 over the lines that have the argument.
    enum class Field { None, RamAddress, FlashAddress, Count };
    Field flipField = Field::None;
    uint32_t flipLine = 0;
    uint32_t flipBit = 0;
};

class LpcIspRom : public BootRom {
  public:
    static constexpr uint32_t kFlashSize = 0x80000;
    static constexpr uint32_t kPartId = 0x26013F37; // 512 KiB flash, 64 KiB RAM
    static constexpr uint32_t kUnlockCode = 23130;

    explicit LpcIspRom(const LpcIspSettings& settings);

    void receive(const uint8_t* bytes, size_t count, RomLine& line) override;
    void finish() override;

    const std::vector<uint8_t>& flash() const { return flash_; }

  private:
    enum class State { Unsynced, AwaitSynchronized, AwaitCrystal, Command, Data, Reading, Running };

    // A command line taken apart: its decimal parameters and, for G, the mode letter.
    struct Arguments {
        std::vector<uint32_t> numbers;
        std::string mode;
    };
    using CommandHandler = void (LpcIspRom::*)(const Arguments&, RomLine&);

    void endOfLine(std::string text, const std::string& terminator, RomLine& line);
    // Checks a command line's form and lock, then runs the command's handler.
    void command(const std::string& text, RomLine& line);
    void unlock(const Arguments& arguments, RomLine& line);
    void setBaudRate(const Arguments& arguments, RomLine& line);
    void setEcho(const Arguments& arguments, RomLine& line);
    void readPartId(const Arguments& arguments, RomLine& line);
    void readBootCodeVersion(const Arguments& arguments, RomLine& line);
    void readSerialNumber(const Arguments& arguments, RomLine& line);
    void writeRam(const Arguments& arguments, RomLine& line);
    void readMemory(const Arguments& arguments, RomLine& line);
    void compare(const Arguments& arguments, RomLine& line);
    void prepareSectors(const Arguments& arguments, RomLine& line);
    void blankCheck(const Arguments& arguments, RomLine& line);
    void eraseSectors(const Arguments& arguments, RomLine& line);
    void copyToFlash(const Arguments& arguments, RomLine& line);
    void go(const Arguments& arguments, RomLine& line);
    // The bytes of a word-aligned area for W and R; null, with the error replied, otherwise.
    uint8_t* wordArea(uint32_t address, uint32_t count, bool ramOnly, RomLine& line);
    void dataLine(const std::string& text, RomLine& line);
    void readAnswer(const std::string& text, RomLine& line);
    void sendReadBlock(RomLine& line);
    void reply(int code, RomLine& line, const std::string& extra = "");
    void echo(const std::string& bytes, RomLine& line);
    bool flipsThisLine(char command);
    std::string flipped(const std::string& text) const;
    bool sectorsPrepared(uint32_t first, uint32_t last) const;
    // The bytes at address when [address, address + count) lies in one memory; null otherwise.
    uint8_t* memory(uint64_t address, uint64_t count, bool ramOnly);
    void dumpFlash() const;

    LpcIspSettings settings_;
    State state_ = State::Unsynced;
    bool echo_ = true;
    bool unlocked_ = false;
    bool slowEraseUsed_ = false;
    bool resendUsed_ = false;
    int preparedFirst_ = -1, preparedLast_ = -1;
    std::string lineBuffer_;
    bool crHeld_ = false;   // line end lf: a CR arrived and waits for its LF
    bool holdEcho_ = false; // the line being received is echoed when complete (a flipped line)
    uint32_t flipCandidates_ = 0;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;    // the local SRAM
    std::vector<uint8_t> ahbRam_; // the two AHB SRAM banks
    // The RAM write in progress.
    uint8_t* writeTarget_ = nullptr;
    uint32_t writeCount_ = 0, written_ = 0, blockStart_ = 0, blockLines_ = 0;
    bool expectChecksum_ = false;
    // The memory read in progress.
    const uint8_t* readSource_ = nullptr;
    uint32_t readCount_ = 0, readDone_ = 0, readBlockStart_ = 0;
};
