// bootrom-sim: plays a chip's boot ROM on a pseudo-terminal so the Updater's recovery paths run
// without hardware. Prints the device to use, then serves until SIGINT or SIGTERM.
#include "ImxSdpRom.h"
#include "Liveloader.h"
#include "LpcIspRom.h"
#include "PacedLine.h"
#include "ToolOptions.h"
#include "ToolVersion.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

using Corvane::Tools::OptionRules;
using Corvane::Tools::OptionValues;
using Corvane::Tools::OptionWalk;
using Corvane::Tools::setsFlag;
using Corvane::Tools::unknownOrMissingRules;
using Corvane::Tools::ToolOption;
using Corvane::Tools::walkOptions;

// What the command line asks for.
struct SimOptions {
    std::string chip = "lpc";
    uint32_t baud = 115200;
    bool lenient = false;
    bool hid = false;
    LpcIspSettings lpc;
    ImxSdpSettings imx;
    LiveloaderSettings liveloader;
    // Checked once every option is in.
    bool echoGiven = false;
    std::string strictOption; // the last flag given that names the default behaviour
};

// A whole number in base that fits 32 bits; otherwise the error, naming option and text.
std::string number(const std::string& text, int base, const char* option, uint32_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = strtoul(text.c_str(), &end, base);
    if (end == text.c_str() || *end != '\0' || errno != 0 || parsed > UINT32_MAX) {
        return std::string("bad value for ") + option + ": " + text;
    }
    value = static_cast<uint32_t>(parsed);
    return {};
}

// "N,FIELD,BIT": which W or C line, which argument, which bit.
std::string parseFlip(const std::string& text, LpcIspSettings& lpc) {
    const size_t first = text.find(','), second = text.find(',', first + 1);
    if (first == std::string::npos || second == std::string::npos) {
        return "--flip-bit needs N,FIELD,BIT";
    }
    const std::string field = text.substr(first + 1, second - first - 1);
    using Field = LpcIspSettings::Field;
    lpc.flipField = field == "ram"     ? Field::RamAddress
                    : field == "flash" ? Field::FlashAddress
                    : field == "count" ? Field::Count
                                       : Field::None;
    if (lpc.flipField == Field::None) {
        return "--flip-bit FIELD must be ram, flash or count";
    }
    std::string error = number(text.substr(0, first), 10, "--flip-bit", lpc.flipLine);
    if (error.empty()) {
        error = number(text.substr(second + 1), 10, "--flip-bit", lpc.flipBit);
    }
    if (error.empty() && (lpc.flipLine == 0 || lpc.flipBit > 31)) {
        error = "--flip-bit needs N from 1 and BIT from 0 to 31";
    }
    return error;
}

// Four hexadecimal words, comma-separated: the chip's identifier for the ROM and the liveloader.
std::string parseUid(std::string text, SimOptions& options) {
    for (size_t w = 0; w < 4; ++w) {
        const size_t comma = text.find(',');
        if ((comma == std::string::npos) != (w == 3)) {
            return "--uid needs four words separated by commas";
        }
        if (std::string error = number(text.substr(0, comma), 16, "--uid", options.lpc.uid[w]);
            !error.empty()) {
            return error;
        }
        options.liveloader.uid[w] = options.lpc.uid[w];
        text = comma == std::string::npos ? "" : text.substr(comma + 1);
    }
    return {};
}

std::string parseFault(const std::string& fault, SimOptions& options) {
    if (fault == "no-answer") {
        options.lpc.noAnswer = options.imx.noAnswer = true;
    } else if (fault == "resend-once") {
        options.lpc.resendOnce = true;
    } else if (fault == "stray-byte") {
        options.lpc.strayByte = true;
    } else if (fault == "stray-lf") {
        options.lpc.strayLineFeed = true;
    } else if (fault == "no-liveloader") {
        options.liveloader.absent = true;
    } else {
        return "unknown fault: " + fault;
    }
    return {};
}

// An option whose one value handle takes.
ToolOption valueOption(const std::string& name,
                       std::function<std::string(const std::string&)> handle) {
    return {.name = name, .values = 1, .handler = [handle](OptionValues values) {
                return handle(values[0]);
            }};
}

// An option whose value is a decimal number stored as it is.
ToolOption numberOption(const char* name, uint32_t& value) {
    return valueOption(
        name, [name, &value](const std::string& text) { return number(text, 10, name, value); });
}

// One of two words, each of which sets what it says.
ToolOption choiceOption(const char* name, const char* first, const char* second,
                        std::function<void(bool isFirst)> store) {
    return valueOption(name, [=](const std::string& text) -> std::string {
        if (text != first && text != second) {
            return std::string(name) + " must be " + first + " or " + second;
        }
        store(text == first);
        return {};
    });
}

// Options of either chip, and the line's.
void addCommonOptions(std::vector<ToolOption>& table, SimOptions& options) {
    table.push_back(valueOption("--chip", [&options](const std::string& text) -> std::string {
        if (text != "lpc" && text != "imx") {
            return "--chip must be lpc or imx";
        }
        options.chip = text;
        return {};
    }));
    table.push_back(valueOption("--baud", [&options](const std::string& text) -> std::string {
        std::string error = number(text, 10, "--baud", options.baud);
        if (error.empty() && options.baud < 300) {
            error = "--baud must be at least 300";
        }
        return error;
    }));
    table.push_back({.name = "--lenient", .handler = setsFlag(options.lenient)});
    for (const char* strict : {"--check-rate", "--strict-framing", "--require-association"}) {
        table.push_back({.name = strict, .handler = [&options, strict](OptionValues) {
                             options.strictOption = strict;
                             return std::string();
                         }});
    }
    table.push_back(valueOption(
        "--uid", [&options](const std::string& text) { return parseUid(text, options); }));
    table.push_back(valueOption(
        "--fault", [&options](const std::string& text) { return parseFault(text, options); }));
}

void addLpcOptions(std::vector<ToolOption>& table, SimOptions& options) {
    LpcIspSettings& lpc = options.lpc;
    table.push_back(choiceOption("--line-end", "cr", "lf", [&lpc](bool cr) {
        lpc.lineEnd = cr ? LpcIspSettings::LineEnd::Cr : LpcIspSettings::LineEnd::Lf;
    }));
    table.push_back(numberOption("--erase-ms", lpc.eraseMsPerSector));
    table.push_back(numberOption("--copy-ms", lpc.copyMsPer256));
    table.push_back(valueOption("--flash-dump", [&lpc](const std::string& text) {
        lpc.flashDump = text;
        return std::string();
    }));
    table.push_back({.name = "--already-synced", .handler = setsFlag(lpc.alreadySynced)});
    table.push_back(choiceOption("--echo", "on", "off", [&options](bool on) {
        options.lpc.echo = on;
        options.echoGiven = true;
    }));
    table.push_back(valueOption("--flip-bit",
                                [&lpc](const std::string& text) { return parseFlip(text, lpc); }));
    table.push_back(numberOption("--slow-erase-ms", lpc.slowEraseMs));
}

void addImxOptions(std::vector<ToolOption>& table, SimOptions& options) {
    table.push_back({.name = "--hid", .handler = setsFlag(options.hid)});
    table.push_back(valueOption("--ram-dump", [&options](const std::string& text) {
        options.imx.ramDump = text;
        return std::string();
    }));
    table.push_back({.name = "--require-ivt", .handler = setsFlag(options.imx.requireIvt)});
    table.push_back(valueOption("--banner", [&options](const std::string& text) {
        options.imx.banner = text;
        return std::string();
    }));
    table.push_back(valueOption("--usb-port", [&options](const std::string& text) {
        uint32_t port = 0;
        std::string error = number(text, 10, "--usb-port", port);
        if (error.empty() && port > 65535) {
            error = "--usb-port must be 0 to 65535";
        }
        if (error.empty()) {
            options.liveloader.port = static_cast<uint16_t>(port);
        }
        return error;
    }));
    table.push_back(valueOption("--usb-model", [&options](const std::string& text) {
        uint32_t model = 0;
        std::string error = number(text, 10, "--usb-model", model);
        if (error.empty() && (model < 1 || model > 255)) {
            error = "--usb-model must be 1 to 255";
        }
        if (error.empty()) {
            options.liveloader.model = static_cast<uint8_t>(model);
        }
        return error;
    }));
}

enum class Parsed { Run, Help, Error };

// Fills options from the command line; on Error, error holds what was wrong.
Parsed parseOptions(int argc, char** argv, SimOptions& options, std::string& error) {
    std::vector<ToolOption> table{{.name = "--help", .alias = "-h", .stops = true}};
    addCommonOptions(table, options);
    addLpcOptions(table, options);
    addImxOptions(table, options);
    const OptionRules rules = unknownOrMissingRules();
    const OptionWalk walk = walkOptions(table, rules, Corvane::Tools::commandWords(argc, argv));
    if (walk.outcome == OptionWalk::Outcome::Stopped) {
        return Parsed::Help;
    }
    error = walk.error;
    if (error.empty() && options.echoGiven && !options.lpc.alreadySynced) {
        error = "--echo needs --already-synced: a ROM starts with echo on";
    }
    if (error.empty() && options.lenient && !options.strictOption.empty()) {
        error = options.strictOption + " cannot go with --lenient, which turns it off";
    }
    options.imx.strictFraming = !options.lenient;
    options.imx.requireAssociation = !options.lenient && !options.hid;
    return error.empty() ? Parsed::Run : Parsed::Error;
}

// The ROM of the chosen chip on line; for imx also its liveloader, which a jump starts.
std::unique_ptr<BootRom> makeRom(SimOptions& options, PacedLine& line,
                                 std::unique_ptr<Liveloader>& loader) {
    if (options.chip == "lpc") {
        // Fresh from reset the UART waits to measure the host's rate.
        line.setRate(options.lpc.alreadySynced ? options.baud : 0);
        return std::make_unique<LpcIspRom>(options.lpc);
    }
    line.setRate(options.baud);
    loader = std::make_unique<Liveloader>(options.liveloader);
    const LiveloaderSettings& liveloader = options.liveloader;
    options.imx.onJump = [&loader, &liveloader](uint32_t) {
        std::string error;
        if (!loader->start(&error)) {
            fprintf(stderr, "bootrom-sim: the liveloader did not start: %s\n", error.c_str());
        } else if (!liveloader.absent) {
            printf("bootrom-sim: liveloader up as %s\n", loader->emulationEntry().c_str());
            fflush(stdout);
        }
    };
    options.imx.backInRom = [&loader] {
        if (!loader->resetRequested()) {
            return false;
        }
        loader->stop();
        return true;
    };
    return std::make_unique<ImxSdpRom>(options.imx);
}

// Serves the line until SIGINT or SIGTERM, then says what crossed it.
int serve(SimOptions& options) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    try {
        PacedLine line(options.baud, !options.lenient);
        std::unique_ptr<BootRom> rom;
        std::unique_ptr<Liveloader> loader;
        rom = makeRom(options, line, loader);
        printf("bootrom-sim: %s on %s\n", options.chip.c_str(), line.devicePath().c_str());
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

} // namespace

int main(int argc, char** argv) {
    if (printToolVersion("bootrom-sim", argc, argv))
        return 0;
    SimOptions options;
    std::string error;
    switch (parseOptions(argc, argv, options, error)) {
    case Parsed::Help: fputs(kHelp, stdout); return 0;
    case Parsed::Error:
        fprintf(stderr, "bootrom-sim: %s\nTry 'bootrom-sim --help'.\n", error.c_str());
        return 2;
    case Parsed::Run: break;
    }
    return serve(options);
}
