// bootrom-sim: plays a chip's boot ROM on a pseudo-terminal so the Updater's recovery paths run
// without hardware. Prints the device to use, then serves until SIGINT or SIGTERM.
#include "ImxSdpRom.h"
#include "Liveloader.h"
#include "LpcIspRom.h"
#include "PacedLine.h"
#include "ToolVersion.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

constexpr const char* kHelp = R"(Usage: bootrom-sim [OPTIONS]

Plays the boot ROM of a Corvane module's microcontroller on a pseudo-terminal, at the pace of a
real serial line. Prints "bootrom-sim: <chip> on <device>" once it listens; give that device to
the Updater with -s. Runs until interrupted (SIGINT or SIGTERM), then prints
"bootrom-sim: received N bytes, sent M bytes, busy T ms" (T: erase and programming time).

The lpc part answers what an LPC ISP boot ROM answers (part id 0x26013F37: 512 KiB of flash in
30 sectors, RAM at 0x10000000 and 0x2007C000): "?" auto-baud and the crystal line, then the
commands U B A W R P C G E I J K M N, each line ended as --line-end says. E, C and G are refused
until U. Flash and RAM start with the leftovers of an earlier program, neither erased nor zero.

The imx part answers the serial download protocol at --baud: the association handshake, then
ERROR_STATUS, READ_REGISTER, WRITE_REGISTER, WRITE_FILE, DCD_WRITE and JUMP_ADDRESS. After a jump
the ROM falls silent: the started image owns the line until it resets the chip. The part also
prints "bootrom-sim: liveloader on USB emulation: CORVANE_USB_EMULATION=..." at start. After a
jump into a loaded image, the liveloader comes up as a virtual module with the serial number
DEADDEAD, which the Updater sees as a USB module when that variable is set in its environment as
printed (add the entry to any list the variable already holds). The module takes the firmware
through the link upgrade protocol and serves the chip's identifier (--uid); a system reset before
it took firmware puts the chip back into the ROM ("bootrom-sim: reset into the boot ROM"). At
exit the simulator prints "bootrom-sim: liveloader runs build N".

By default the simulator is no kinder than a chip. It reads the rate the host set on its end of
the terminal (a terminal alone carries any rate) and garbles every byte that crosses at a rate
the chip's UART is not at, both ways, as a real line does; the pace follows the chip's rate. The
lpc UART takes the rate of the "?" that synchronises it and changes it only with "B". The imx
ROM ignores everything before the association handshake (unless reached through --hid) and
never abandons a frame left unfinished, however long its remaining bytes take. --lenient makes
it kinder.

Options:
  --chip lpc|imx        lpc: an NXP LPC part speaking the UART ISP protocol (default)
                        imx: an i.MX part speaking the Serial Download Protocol over UART
  --baud RATE           line rate the pacing follows; imx: also the ROM's UART rate [115200]
  --lenient             kinder than a chip, for trying a host out: bytes cross at any rate and
                        the pace stays at --baud; imx: frames count from the first byte without
                        the association handshake, and a frame that stops for 50 ms is dropped
  --check-rate, --strict-framing, --require-association
                        the default (rates checked; imx: unfinished frames kept, nothing taken
                        before the association); accepted so that older scripts still run
  --line-end cr|lf      lpc: what ends a line the chip receives, in every state (commands, data
                        lines, the synchronisation dialogue); LPC parts differ in this [cr]
                          cr  a CR or an LF; an LF right behind its CR belongs to the same
                              ending
                          lf  only an LF; a CR is swallowed as it arrives (not echoed) and the
                              whole CR LF is echoed when the LF arrives, before the reply
  --uid W0,W1,W2,W3     the chip's identifier words, hexadecimal (lpc: the identification
                        answer; imx: what the liveloader reports)
                        [12345678,9ABCDEF0,0F1E2D3C,4B5A6978]
  --erase-ms MS         lpc: erase time per sector [100]
  --copy-ms MS          lpc: programming time per 256 bytes copied to flash [1]
  --flash-dump FILE     lpc: write the 512 KiB flash to FILE after "G" and at exit
  --already-synced      lpc: the chip was synchronised at --baud by an earlier session and takes
                        commands at once
  --echo on|off         lpc, with --already-synced: the echo that session left [on]
  --flip-bit N,FIELD,BIT
                        lpc: flip bit BIT (0 to 31) of one argument of the N-th W or C command
                        line as it arrives (the echo shows it): FIELD ram (the RAM address of W
                        and C), flash (the flash address of C) or count (of W and C); N counts
                        from 1 over the lines that have FIELD
  --hid                 imx: the ROM is reached through its USB HID interface, whose reports
                        usb-testbed --imx-rom carries to this line: frames count from the
                        first byte, as no association handshake comes over USB
  --ram-dump FILE       imx: write the loaded images to FILE at a jump, each as a line
                        "ADDRESS SIZE" followed by its bytes
  --require-ivt         imx: JUMP_ADDRESS needs an image vector table at its address (and runs
                        its DCD); without it any address inside a loaded image is taken
  --banner TEXT         imx: what the started image writes on the line after a jump, as a
                        boot loader's console greeting does [nothing]
  --usb-port PORT       imx: loopback TCP port of the liveloader's emulated USB module;
                        0 picks a free one [0]
  --usb-model N         imx: model code of the liveloader's module, 1 to 255 [19]
  --fault NAME          inject a fault; may be repeated:
                          no-answer    never answer anything
                          resend-once  lpc: answer the first data checksum with RESEND
                          stray-byte   lpc: send a 0xFF byte before every return code
                          stray-lf     lpc: follow every return code line with one more LF
                          no-liveloader  imx: a jump starts nothing on USB
  --slow-erase-ms MS    lpc: the first erase takes MS instead of its usual time
  -h, --help            show this text
  --version             show the version
)";

volatile sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

uint32_t number(const char* text, int base, const char* option) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, base);
    if (end == text || *end != '\0' || errno != 0 || value > UINT32_MAX) {
        throw std::invalid_argument(std::string("bad value for ") + option + ": " + text);
    }
    return static_cast<uint32_t>(value);
}

// "N,FIELD,BIT": which W or C line, which argument, which bit.
void parseFlip(const std::string& text, LpcIspSettings& lpc) {
    const size_t first = text.find(','), second = text.find(',', first + 1);
    if (first == std::string::npos || second == std::string::npos) {
        throw std::invalid_argument("--flip-bit needs N,FIELD,BIT");
    }
    const std::string field = text.substr(first + 1, second - first - 1);
    using Field = LpcIspSettings::Field;
    lpc.flipField = field == "ram"     ? Field::RamAddress
                    : field == "flash" ? Field::FlashAddress
                    : field == "count" ? Field::Count
                                       : Field::None;
    if (lpc.flipField == Field::None) {
        throw std::invalid_argument("--flip-bit FIELD must be ram, flash or count");
    }
    lpc.flipLine = number(text.substr(0, first).c_str(), 10, "--flip-bit");
    lpc.flipBit = number(text.substr(second + 1).c_str(), 10, "--flip-bit");
    if (lpc.flipLine == 0 || lpc.flipBit > 31) {
        throw std::invalid_argument("--flip-bit needs N from 1 and BIT from 0 to 31");
    }
}

} // namespace

int main(int argc, char** argv) {
    if (printToolVersion("bootrom-sim", argc, argv))
        return 0;
    std::string chip = "lpc";
    uint32_t baud = 115200;
    bool lenient = false;
    bool hid = false;
    LpcIspSettings lpc;
    ImxSdpSettings imx;
    LiveloaderSettings liveloader;
    try {
        bool echoGiven = false;
        std::string strictOption; // the last flag given that names the default behaviour
        for (int i = 1; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "-h" || option == "--help") {
                fputs(kHelp, stdout);
                return 0;
            }
            if (option == "--lenient") {
                lenient = true;
                continue;
            }
            if (option == "--check-rate" || option == "--strict-framing" ||
                option == "--require-association") {
                strictOption = option;
                continue;
            }
            if (option == "--hid") {
                hid = true;
                continue;
            }
            if (option == "--already-synced") {
                lpc.alreadySynced = true;
                continue;
            }
            if (option == "--require-ivt") {
                imx.requireIvt = true;
                continue;
            }
            if (i + 1 >= argc) {
                throw std::invalid_argument("unknown option or missing value: " + option);
            }
            const char* value = argv[++i];
            if (option == "--chip") {
                chip = value;
                if (chip != "lpc" && chip != "imx") {
                    throw std::invalid_argument("--chip must be lpc or imx");
                }
            } else if (option == "--baud") {
                baud = number(value, 10, "--baud");
                if (baud < 300) {
                    throw std::invalid_argument("--baud must be at least 300");
                }
            } else if (option == "--uid") {
                std::string text = value;
                for (size_t w = 0; w < 4; ++w) {
                    const size_t comma = text.find(',');
                    if ((comma == std::string::npos) != (w == 3)) {
                        throw std::invalid_argument("--uid needs four words separated by commas");
                    }
                    lpc.uid[w] = number(text.substr(0, comma).c_str(), 16, "--uid");
                    liveloader.uid[w] = lpc.uid[w];
                    text = comma == std::string::npos ? "" : text.substr(comma + 1);
                }
            } else if (option == "--erase-ms") {
                lpc.eraseMsPerSector = number(value, 10, "--erase-ms");
            } else if (option == "--copy-ms") {
                lpc.copyMsPer256 = number(value, 10, "--copy-ms");
            } else if (option == "--flash-dump") {
                lpc.flashDump = value;
            } else if (option == "--banner") {
                imx.banner = value;
            } else if (option == "--ram-dump") {
                imx.ramDump = value;
            } else if (option == "--usb-port") {
                const uint32_t port = number(value, 10, "--usb-port");
                if (port > 65535) {
                    throw std::invalid_argument("--usb-port must be 0 to 65535");
                }
                liveloader.port = static_cast<uint16_t>(port);
            } else if (option == "--usb-model") {
                const uint32_t model = number(value, 10, "--usb-model");
                if (model < 1 || model > 255) {
                    throw std::invalid_argument("--usb-model must be 1 to 255");
                }
                liveloader.model = static_cast<uint8_t>(model);
            } else if (option == "--echo") {
                const std::string echo = value;
                if (echo != "on" && echo != "off") {
                    throw std::invalid_argument("--echo must be on or off");
                }
                lpc.echo = echo == "on";
                echoGiven = true;
            } else if (option == "--line-end") {
                const std::string end = value;
                if (end != "cr" && end != "lf") {
                    throw std::invalid_argument("--line-end must be cr or lf");
                }
                lpc.lineEnd =
                    end == "cr" ? LpcIspSettings::LineEnd::Cr : LpcIspSettings::LineEnd::Lf;
            } else if (option == "--flip-bit") {
                parseFlip(value, lpc);
            } else if (option == "--slow-erase-ms") {
                lpc.slowEraseMs = number(value, 10, "--slow-erase-ms");
            } else if (option == "--fault") {
                const std::string fault = value;
                if (fault == "no-answer") {
                    lpc.noAnswer = imx.noAnswer = true;
                } else if (fault == "resend-once") {
                    lpc.resendOnce = true;
                } else if (fault == "stray-byte") {
                    lpc.strayByte = true;
                } else if (fault == "stray-lf") {
                    lpc.strayLineFeed = true;
                } else if (fault == "no-liveloader") {
                    liveloader.absent = true;
                } else {
                    throw std::invalid_argument("unknown fault: " + fault);
                }
            } else {
                throw std::invalid_argument("unknown option: " + option);
            }
        }
        if (echoGiven && !lpc.alreadySynced) {
            throw std::invalid_argument("--echo needs --already-synced: a ROM starts with echo on");
        }
        if (lenient && !strictOption.empty()) {
            throw std::invalid_argument(strictOption +
                                        " cannot go with --lenient, which turns it off");
        }
        imx.strictFraming = !lenient;
        imx.requireAssociation = !lenient && !hid;
    } catch (const std::exception& e) {
        fprintf(stderr, "bootrom-sim: %s\nTry 'bootrom-sim --help'.\n", e.what());
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    try {
        PacedLine line(baud, !lenient);
        std::unique_ptr<BootRom> rom;
        std::unique_ptr<Liveloader> loader;
        if (chip == "lpc") {
            rom = std::make_unique<LpcIspRom>(lpc);
            // Fresh from reset the UART waits to measure the host's rate.
            line.setRate(lpc.alreadySynced ? baud : 0);
        } else {
            line.setRate(baud);
            loader = std::make_unique<Liveloader>(liveloader);
            imx.onJump = [&loader, &liveloader](uint32_t) {
                std::string error;
                if (!loader->start(&error)) {
                    fprintf(stderr, "bootrom-sim: the liveloader did not start: %s\n",
                            error.c_str());
                } else if (!liveloader.absent) {
                    printf("bootrom-sim: liveloader up as %s\n", loader->emulationEntry().c_str());
                    fflush(stdout);
                }
            };
            imx.backInRom = [&loader] {
                if (!loader->resetRequested()) {
                    return false;
                }
                loader->stop();
                return true;
            };
            rom = std::make_unique<ImxSdpRom>(imx);
        }
        printf("bootrom-sim: %s on %s\n", chip.c_str(), line.devicePath().c_str());
        if (loader) {
            printf("bootrom-sim: liveloader on USB emulation: CORVANE_USB_EMULATION=%s\n",
                   loader->emulationEntry().c_str());
        }
        fflush(stdout);
        line.run(*rom, g_stop, 50);
        rom->finish();
        printf("bootrom-sim: received %llu bytes, sent %llu bytes, busy %llu ms\n",
               static_cast<unsigned long long>(line.bytesReceived()),
               static_cast<unsigned long long>(line.bytesSent()),
               static_cast<unsigned long long>(line.busyMs()));
        if (loader && loader->runningBuild() != 0) {
            printf("bootrom-sim: liveloader runs build %u\n", loader->runningBuild());
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "bootrom-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
