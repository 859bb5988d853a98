// The steps of the fingerprint (-N) and serial recovery (-U -t RECOVER) commands, for a chip
// whose firmware no longer runs: NXP parts through their serial ISP boot loader, i.MX parts
// through their serial download ROM and a RAM-resident liveloader.
#pragma once

#include "BirdFile.h"
#include "UpdaterContext.h"

#include "corvane/Module.h"

#include <corvane/aError.h>

#include <array>
#include <cstdint>
#include <string>

using ChipIdentifier = std::array<uint32_t, 4>;

// The serial number a chip in recovery goes by until its own is known.
inline constexpr uint32_t kPlaceholderSerial = 0xDEADDEAD;
// The rate the recovery identifies an NXP chip at; its flash flow starts there and moves the
// chip to the rate asked for with the boot loader's own command.
inline constexpr uint32_t kNxpIdentifyBaud = 115200;
// Where the NXP flow stages each chunk before copying it to flash.
inline constexpr uint32_t kNxpRamBuffer = 0x10001000;
inline constexpr uint32_t kNxpChunkSize = 4096;
// The i.MX liveloader's start when the image does not say.
inline constexpr uint32_t kImxDefaultLoaderStart = 0x20000400;

// How long the i.MX liveloader is given to appear on USB: attempts a pause apart.
inline constexpr uint32_t kLiveloaderAttempts = 15;
inline constexpr uint32_t kLiveloaderPauseMs = 1000;

// Reads the chip identifier: the NXP ISP first, else the i.MX path. Sets context.recoveryChip.
bool getFingerprint(UpdaterContext& context, const std::string& port, uint32_t serial,
                    const std::string& birdPath, uint32_t baudRate, bool resetAfter,
                    ChipIdentifier& identifier);

// The NXP identification over port. verdict (when given) receives, in words for the user, why no
// chip of another kind is to be looked for there either: the port cannot be opened or written,
// or the NXP chip on it needs a reset first.
bool nxpGetInfo(const std::string& port, uint32_t baudRate, ChipIdentifier& identifier,
                std::string* verdict = nullptr);

// Loads and starts the i.MX liveloader, then reads the identifier through it over USB; with
// resetAfter the liveloader is reset afterwards, else it keeps running for a firmware transfer.
bool _get_fingerprint_imx(UpdaterDisplayInterface& display, UpdaterContext& context,
                          const std::string& port, uint32_t serial, const std::string& birdPath,
                          ChipIdentifier& identifier, bool resetAfter);

// Waits, within kLiveloaderAttempts, for the started liveloader to enumerate on USB under the
// placeholder serial number or under serial (when it is another), and connects module to it.
// When it does not appear, says what was waited for and returns false; after an interrupt it
// stops waiting and says nothing.
bool connectLiveloader(UpdaterDisplayInterface& display, Corvane::Module& module, uint32_t serial);

// Writes the image's loader blocks through the serial download ROM on port ("USB": the HID
// device) and jumps to the loader. aErrNotReady when the loader transport cannot be opened,
// aErrConnection when a block cannot be written, aErrCancel when an interrupt stopped it between
// two blocks.
aErr _load_liveloader_imx(UpdaterDisplayInterface& display, const BirdFile& image,
                          const std::string& port);

// The loader start: the first loader-start block's big-endian word, else 0x20000400.
uint32_t imxLoaderStartAddress(const BirdFile& image);

// -U -t RECOVER.
bool recoverFirmware(UpdaterContext& context, const std::string& port, uint32_t build,
                     uint32_t baudRate, uint32_t serial, const std::string& birdPath,
                     bool override);

// Unlocks, erases sectors 0 to 29 and writes the image's firmware blocks through RAM, proving
// each chunk in flash. The chip was identified at kNxpIdentifyBaud; baudRate is the rate the
// writing runs at. An image with nothing to write, or a block outside the flash, is refused
// before anything is erased.
// After an interrupt it stops between two commands, with the chip in command mode, and shows
// rerun as the command that writes the firmware (NxpFlash.cpp).
bool nxpFlashFirmware(UpdaterDisplayInterface& display, const BirdFile& image,
                      const std::string& port, uint32_t baudRate, const std::string& rerun = {});

// A recovery an interrupt stopped between two commands: where it left the chip (state), and the
// command that writes the firmware after all (rerun), as errors.
void showStoppedRecovery(UpdaterDisplayInterface& display, const std::string& state,
                         const std::string& rerun);

// The firmware phase over USB once the liveloader runs.
// Once the transfer began, an interrupt lets it finish; before, it stops and shows rerun.
bool imxRecoverFirmware(UpdaterDisplayInterface& display, const BirdFile& image, uint32_t serial,
                        bool useUeiBytes, const std::string& rerun = {});
