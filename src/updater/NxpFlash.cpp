// The NXP boot ROM's flash, written through its UART ISP: the recovery's way for NXP parts. The
// image is checked before anything is erased; each chunk goes through RAM and is proven in flash.
#include "Debug.h"
#include "FormattedText.h"
#include "Interruption.h"
#include "NxpIspClient.h"
#include "Recovery.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// One firmware block the NXP flow writes: where in flash, and the bytes.
struct FlashBlock {
    uint32_t address;
    const uint8_t* data;
    uint32_t length;
};

// The firmware blocks before the 4-byte block that ends the image. Empty, with the reason, when
// the image holds nothing to write or a block the chip cannot take, so that nothing is erased
// for an image that cannot be written.
std::vector<FlashBlock> blocksToFlash(const BirdFile& image, std::string& reason) {
    std::vector<FlashBlock> blocks;
    for (const BirdBlock& block : image.blocksOfType(BIRD_BLOCK_FIRMWARE)) {
        const uint32_t length = block.length - 4;
        if (length == 4) {
            break; // the 4-byte block marks the end of the image
        }
        if (length == 0) {
            continue;
        }
        // Copies to flash go in whole 256-byte pages.
        if (block.address % 256 != 0) {
            reason = formatted("its firmware block at 0x%08X does not start on a 256-byte page",
                               block.address);
            return {};
        }
        if (block.address >= NxpIspClient::kFlashSize ||
            length > NxpIspClient::kFlashSize - block.address) {
            reason = formatted("its firmware block of %u bytes at 0x%08X does not fit the chip's "
                               "%u KiB of flash",
                               length, block.address, NxpIspClient::kFlashSize / 1024);
            return {};
        }
        blocks.push_back({block.address, block.data + 4, length});
    }
    if (blocks.empty()) {
        reason = "it holds no firmware to write";
    }
    return blocks;
}

// The copy size for size bytes at flashAddress (a page start inside the flash): the next allowed
// copy length, made smaller near the end of the flash so that the copy stays inside it. size
// comes back cut to what that copy covers.
uint32_t copySizeAt(uint32_t flashAddress, uint32_t& size) {
    uint32_t copySize = NxpIspClient::copySizeFor(size);
    while (copySize > NxpIspClient::kFlashSize - flashAddress) {
        copySize = copySize == 4096 ? 1024 : copySize / 2;
    }
    size = std::min(size, copySize);
    return copySize;
}

// Writes chunks through the RAM buffer and proves each step: that the RAM write landed in the
// buffer, and that the flash holds the buffer after the copy. With the echo off nothing shows
// what the chip made of a command line, and a single flipped bit in an address still names
// memory that exists. Each RAM write therefore starts one word early with a sentinel unlike the
// word there now: read back, it shows the write went where it was sent (a write that went
// elsewhere leaves the old word; one shifted down brings a word of the chunk, which the
// sentinel is chosen not to equal). Echo kept on would show the command lines too, but it sends
// every data byte back and costs the transfer far more than two short commands per chunk.
class NxpChunkWriter {
  public:
    explicit NxpChunkWriter(NxpIspClient& client) : client_(client) {}

    // Stages, copies and compares one chunk of at most 4096 bytes at flashAddress.
    bool write(uint32_t flashAddress, const uint8_t* chunk, uint32_t size, uint32_t copySize,
               std::string& why) {
        std::vector<uint8_t> staged(4 + copySize, 0xFF);
        std::copy(chunk, chunk + size, staged.begin() + 4);
        Debug_Print(DEBUG_Updater, "\t Write %u bytes to address 0x%08X\n", copySize,
                    kNxpRamBuffer);
        if (!stage(staged, why)) {
            Debug_Print(DEBUG_Updater, "\t Write to RAM failed\n");
            return false;
        }
        const uint32_t first = NxpIspClient::sectorOfAddress(flashAddress);
        const uint32_t last = NxpIspClient::sectorOfAddress(flashAddress + copySize - 1);
        Debug_Print(DEBUG_Updater, "\t Prepare to copy to sector(s) %u to %u\n", first, last);
        if (client_.prepareSectors(first, last) != aErrNone) {
            Debug_Print(DEBUG_Updater, "\t Prepare failed\n");
            why = client_.failure();
            return false;
        }
        Debug_Print(DEBUG_Updater, "\t Copy %u bytes from %08X to %08X\n", copySize, kNxpRamBuffer,
                    flashAddress);
        if (client_.copyRamToFlash(flashAddress, kNxpRamBuffer, copySize) != aErrNone) {
            Debug_Print(DEBUG_Updater, "\t Transfer to flash failed\n");
            why = client_.failure();
            return false;
        }
        // The boot ROM hides the first bytes of flash from the compare.
        const uint32_t skip = flashAddress < NxpIspClient::kRemappedBytes
                                  ? NxpIspClient::kRemappedBytes - flashAddress
                                  : 0;
        if (skip < copySize && client_.compare(flashAddress + skip, kNxpRamBuffer + skip,
                                               copySize - skip) != aErrNone) {
            why = formatted("the flash at 0x%08X does not hold what was written: ", flashAddress) +
                  client_.failure();
            return false;
        }
        return true;
    }

  private:
    static constexpr uint32_t kSentinelAddress = kNxpRamBuffer - 4;
    // Address bits 2 to 11 are all set, so one of them flipped moves the write down by 4 to 2048
    // bytes: those are the words chooseSentinel avoids. Any other flipped bit moves it by 4 KiB
    // or more, or out of the RAM (which the chip refuses).
    static_assert((kSentinelAddress & 0xFFC) == 0xFFC);
    static constexpr int kWriteTries = 3;

    // Writes staged (sentinel word first) to the RAM buffer and reads the sentinel back; a
    // write that went elsewhere is sent again.
    bool stage(std::vector<uint8_t>& staged, std::string& why) {
        if (!sentinelKnown_ && !readSentinel(why)) {
            return false;
        }
        for (int attempt = 0; attempt < kWriteTries; ++attempt) {
            const uint32_t sentinel = chooseSentinel(staged);
            for (int i = 0; i < 4; ++i) {
                staged[static_cast<size_t>(i)] = static_cast<uint8_t>(sentinel >> (8 * i));
            }
            if (client_.Write(kSentinelAddress, static_cast<uint32_t>(staged.size()),
                              staged.data()) != aErrNone) {
                why = client_.failure();
                return false;
            }
            if (!readSentinel(why)) {
                return false;
            }
            if (sentinel_ == sentinel) {
                return true;
            }
            Debug_Print(DEBUG_Updater, "\t RAM write went astray: read %08X for %08X\n", sentinel_,
                        sentinel);
        }
        why = formatted("the chip wrote the data for RAM at 0x%08X elsewhere %d times",
                        kSentinelAddress, kWriteTries);
        return false;
    }

    bool readSentinel(std::string& why) {
        uint8_t word[4] = {};
        if (client_.Read(kSentinelAddress, 4, word) != aErrNone) {
            why = client_.failure();
            return false;
        }
        sentinel_ = uint32_t{word[0]} | uint32_t{word[1]} << 8 | uint32_t{word[2]} << 16 |
                    uint32_t{word[3]} << 24;
        sentinelKnown_ = true;
        return true;
    }

    // A word unlike the one the sentinel address holds now and unlike every word of staged that
    // a write shifted down by one flipped address bit (4 to 2048 bytes) would put there.
    uint32_t chooseSentinel(const std::vector<uint8_t>& staged) const {
        auto wordAt = [&](size_t at) {
            return uint32_t{staged[at]} | uint32_t{staged[at + 1]} << 8 |
                   uint32_t{staged[at + 2]} << 16 | uint32_t{staged[at + 3]} << 24;
        };
        for (uint32_t candidate = 0x5E471E10;; ++candidate) {
            bool taken = candidate == sentinel_;
            for (size_t shift = 4; shift <= 2048 && shift + 4 <= staged.size() && !taken;
                 shift *= 2) {
                taken = wordAt(shift) == candidate;
            }
            if (!taken) {
                return candidate;
            }
        }
    }

    NxpIspClient& client_;
    uint32_t sentinel_ = 0; // what the sentinel address holds, once read
    bool sentinelKnown_ = false;
};

// Writes one block chunk by chunk, adding each chunk's bytes to written. After the full erase a
// chunk of nothing but 0xFF is already in flash and does not travel. An interrupt stops it
// between chunks, with every command to the chip complete.
bool nxpWriteBlock(UpdaterDisplayInterface& display, NxpChunkWriter& writer,
                   const FlashBlock& block, uint32_t& written, std::string& why) {
    uint32_t done = 0;
    while (done < block.length) {
        if (interruption::requested()) {
            return false;
        }
        uint32_t size = std::min(kNxpChunkSize, block.length - done);
        const uint32_t flashAddress = block.address + done;
        const uint32_t copySize = copySizeAt(flashAddress, size);
        const uint8_t* chunk = block.data + done;
        const bool blank = std::all_of(chunk, chunk + size, [](uint8_t b) { return b == 0xFF; });
        if (!blank) {
            Debug_Print(DEBUG_Updater, "Transferring firmware %u bytes to address 0x%08X\n", size,
                        flashAddress);
            if (!writer.write(flashAddress, chunk, size, copySize, why)) {
                return false;
            }
        }
        done += size;
        written += size;
        display.progress(static_cast<double>(done) / block.length, nullptr);
    }
    return true;
}

// One NXP flash run: the chip reached and moved to the writing rate, the flash unlocked and
// erased, the blocks written chunk by chunk, the chip started. Each failure is said once, in
// words that name the port and the step; a chip left with its echo off or at another rate is put
// back as the next run expects to find it. After an interrupt it stops between two commands.
class NxpFlash {
  public:
    NxpFlash(UpdaterDisplayInterface& display, std::vector<FlashBlock> blocks,
             const std::string& port, const std::string& rerun)
        : display_(display), blocks_(std::move(blocks)), port_(port), rerun_(rerun),
          command_(interruption::CriticalWork::Kind::ChipCommand, port) {
        command_.leaves(formatted("The chip on %s is in its boot ROM and may be left inside a "
                                  "command; its flash may be erased and partly written",
                                  port.c_str()),
                        {"To write the firmware, run:", "  " + rerun});
    }

    bool run(const std::string& imageName, uint32_t baudRate) {
        if (!reach(baudRate) || !erase())
            return false;
        Debug_Print(DEBUG_Updater, "Updating device firmware: \n");
        Debug_Print(DEBUG_Updater, "Transferring firmware to device from [%s]\n",
                    imageName.c_str());
        return write() && start();
    }

  private:
    // Open at the identification rate, synchronise, then move to the writing rate.
    bool reach(uint32_t baudRate) {
        if (client_.open(port_, kNxpIdentifyBaud) != aErrNone) {
            Debug_Print(DEBUG_Network, "Could not connect to %s\n", port_.c_str());
            return failed("could not open the port");
        }
        if (client_.synchronize() != aErrNone)
            return failed("the boot loader did not answer");
        if (!command_.begin())
            return stopped();
        if (NxpIspClient::rateIndexFor(baudRate) != NxpIspClient::rateIndexFor(kNxpIdentifyBaud)) {
            if (client_.changeBaudRate(baudRate) != aErrNone)
                return failed("the chip did not change its rate");
            rateChanged_ = true;
        }
        return true;
    }

    // Unlocking, preparing and erasing take seconds with nothing on the line: a spinner shows
    // that the wait goes on.
    bool erase() {
        client_.waiting = [this] { display_.spinner(true, "Erasing the flash"); };
        const auto done = [this](bool ok) {
            client_.waiting = nullptr;
            display_.spinner(false, nullptr);
            return ok;
        };
        if (interruption::requested())
            return done(stopped());
        Debug_Print(DEBUG_Updater, "\n\tUnlock Memory:\n");
        if (client_.unlock() != aErrNone)
            return done(failed("could not unlock the flash"));
        Debug_Print(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
        if (client_.prepareSectors(0, NxpIspClient::kSectorCount - 1) != aErrNone)
            return done(failed("could not prepare the flash"));
        if (interruption::requested())
            return done(stopped());
        Debug_Print(DEBUG_Updater, "\n\tErase all memory before update:\n");
        if (client_.eraseSectors(0, NxpIspClient::kSectorCount - 1) != aErrNone)
            return done(failed("could not erase the flash"));
        erased_ = true;
        done(true);
        return client_.setEcho(false) == aErrNone || failed("could not turn the echo off");
    }

    bool write() {
        const int shown = static_cast<int>(blocks_.size());
        NxpChunkWriter writer(client_);
        uint32_t total = 0;
        for (size_t i = 0; i < blocks_.size(); ++i) {
            const FlashBlock& block = blocks_[i];
            displayPrint(display_, DISPLAY_INFO, "Transferring firmware block %d of %d, %u bytes",
                         static_cast<int>(i + 1), shown, block.length);
            display_.showProgress(true);
            Debug_Print(DEBUG_Updater, "Transferring firmware block: %u bytes to address 0x%08X\n",
                        block.length, block.address);
            const bool written = nxpWriteBlock(display_, writer, block, written_, why_);
            display_.showProgress(false);
            if (!written && why_.empty() && interruption::requested())
                return stopped();
            if (!written)
                return failed(
                    formatted("writing firmware block %d failed", static_cast<int>(i + 1)));
            total += block.length;
        }
        displayPrint(display_, DISPLAY_INFO, "Transferred %d blocks, %u total bytes", shown, total);
        return true;
    }

    bool start() {
        const aErr err = client_.setEcho(true);
        if (err != aErrNone) {
            // The image is in flash but the chip stopped answering: the module is not started,
            // and the recovery cannot be called a success.
            displayPrint(display_, DISPLAY_ERROR,
                         "Recovery Error transfering data to device ==> [%d, %s]", err,
                         aError_GetErrorText(err));
            return false;
        }
        displayPrint(display_, DISPLAY_INFO, "Rebooting Device");
        client_.go(0);
        return true;
    }

    // The chip back in the state every session starts from: echo on, at the rate it was found.
    void restoreChip() {
        if (!client_.isOpen())
            return;
        client_.waiting = nullptr;
        if (!client_.echo())
            client_.setEcho(true);
        if (rateChanged_)
            client_.changeBaudRate(kNxpIdentifyBaud);
    }

    bool failed(const std::string& step) {
        Debug_Print(DEBUG_Network, "%s\n", step.c_str());
        const std::string& why = why_.empty() ? client_.failure() : why_;
        displayPrint(display_, DISPLAY_ERROR, "Recovery failed: %s%s%s", step.c_str(),
                     why.empty() ? "" : ": ", why.c_str());
        restoreChip();
        return false;
    }

    bool stopped() {
        restoreChip();
        uint32_t imageBytes = 0;
        for (const FlashBlock& block : blocks_)
            imageBytes += block.length;
        showStoppedRecovery(
            display_,
            erased_ ? formatted("the chip on %s is in its boot ROM's command mode with its flash "
                                "erased and %u of %u bytes written",
                                port_.c_str(), written_, imageBytes)
                    : formatted("the chip on %s is in its boot ROM's command mode and nothing "
                                "was written",
                                port_.c_str()),
            rerun_);
        return false;
    }

    UpdaterDisplayInterface& display_;
    const std::vector<FlashBlock> blocks_;
    const std::string port_;
    const std::string rerun_;
    NxpIspClient client_;
    interruption::CriticalWork command_;
    bool rateChanged_ = false;
    bool erased_ = false;
    uint32_t written_ = 0; // image bytes in flash so far
    std::string why_;      // what went wrong in the chunk writer
};

} // namespace

bool nxpFlashFirmware(UpdaterDisplayInterface& display, const BirdFile& image,
                      const std::string& port, uint32_t baudRate, const std::string& rerun) {
    std::string why;
    std::vector<FlashBlock> blocks = blocksToFlash(image, why);
    if (blocks.empty()) {
        displayPrint(display, DISPLAY_ERROR, "Recovery refused: the image %s cannot be written: %s",
                     image.filename().c_str(), why.c_str());
        return false;
    }
    return NxpFlash(display, std::move(blocks), port, rerun).run(image.filename(), baudRate);
}
