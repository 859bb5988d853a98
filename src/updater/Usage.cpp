// The Updater's usage texts: the short block, the full help with its extended part, the debug
// bits and the samples. The help is part of the interface; tests hold it to a golden copy.
#include "Debug.h"
#include "ServerUrl.h"
#include "UpdaterOptions.h"

#include <cstdarg>
#include <initializer_list>
#include <string>

namespace {

constexpr const char* kProgramName = "Updater";
constexpr int kContinuationIndent = 32; // 5 spaces + 25 columns + "- "
constexpr int kSampleColumn = 31;

struct DebugBitName {
    const char* name;
    uint32_t bit;
    bool blankAfter;
};

// As the help lists them; 0x10 is shown under its old name.
constexpr DebugBitName kDebugBits[] = {
    {"DEBUG_Updater", DEBUG_Updater, false},
    {"DEBUG_History", DEBUG_History, false},
    {"DEBUG_Attributes", DEBUG_Attributes, false},
    {"DEBUG_BirdFile", DEBUG_BirdFile, false},
    {"DEBUG_Network", DEBUG_Network_Legacy, false},
    {"DEBUG_ServerComm", DEBUG_ServerComm, true},
    {"DEBUG_Network", DEBUG_Network, false},
    {"DEBUG_Network_SR", DEBUG_Network_SR, false},
    {"DEBUG_Network_FIRM", DEBUG_Network_FIRM, true},
    {"DEBUG_NXPSerial", DEBUG_NXPSerial, false},
    {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E, false},
    {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR, true},
    {"DEBUG_APP", DEBUG_APP, true},
    {"DEBUG_iMXSerial", DEBUG_iMXSerial, true},
};

class UsageWriter {
  public:
    explicit UsageWriter(FILE* stream) : stream_(stream) {}

    void printf(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        vfprintf(stream_, format, args);
        va_end(args);
    }
    void line(const char* text = "") { printf("%s\n", text); }
    // One entry: the option, its first description line and its continuation lines; a blank
    // line after it when asked.
    void entry(const char* option, std::initializer_list<const char*> lines, bool blankAfter) {
        bool first = true;
        for (const char* text : lines) {
            if (first) {
                printf("     %-25s- %s\n", option, text);
                first = false;
            } else {
                printf("%*s%s\n", kContinuationIndent, "", text);
            }
        }
        if (blankAfter) {
            line();
        }
    }
    void sample(const char* command, std::initializer_list<const char*> lines) {
        bool first = true;
        for (const char* text : lines) {
            printf("%-*s%s\n", kSampleColumn, first ? command : "", text);
            first = false;
        }
        line();
    }

  private:
    FILE* stream_;
};

void writeShort(UsageWriter& out) {
    out.printf("\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
               "    [-d serial_num]\n    [-t transport] [-r router_serial]\n"
               "    [-s serial_port] [-o baud_rate]\n\n"
               "  Corvane Update and Maintenance Application\n"
               "    -H -h or --help for full usage information.\n\n",
               kProgramName);
}

void writeCommands(UsageWriter& out) {
    out.line("  Parameters to commands:");
    out.entry(
        "-i <quendra_directory>",
        {"The Quendra directory used for storage of ", "firmware files. [Default: ~/.quendra ]."},
        false);
    out.entry(
        "-b <build number>",
        {"Build version of the firmware to transfer.", "[Default: latest version available]."},
        false);
    out.entry("-d <device>", {"Device serial number of the device to access."}, false);
    out.entry("-t <transport type>", {"communications method [USB,TCP,RECOVER]."}, false);
    out.entry("-f <bird file>", {"Firmware file to be transferred to device."}, false);
    out.entry("-r <router serial>", {"indirect connection through router device"}, false);
    out.entry("-s <serial port>", {"name of serial port to use for recovery"}, false);
    out.entry(
        "-o <baud rate>",
        {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"},
        false);
    out.line();
    out.line("  Commands:");
    out.entry("-B", {"list the Builds available for given device."}, true);
    out.entry("-L", {"list the local Builds available for given device."}, true);
    out.entry("-D", {"Discover devices that are currently connected."}, true);
    out.entry("-G",
              {"Get build file from the Quendra server and",
               "store on local machine for download to device.",
               "Must specify a specific device [\"-d\" option].",
               "Default is to obtain the latest build for the",
               "given device, override with \"-b\" option."},
              true);
    out.entry("-U",
              {"Update the firmware on device specified.",
               "Must specify a specific device [\"-d\" option].",
               "Default is to download the latest build for the",
               "given device, override with \"-b\" option or",
               "specify specific BIRD file using \"-f\" option."},
              false);
    out.entry("-J", {"Get a JWT containing the devices software features"}, false);
    out.entry("-H or -h", {"Display extended usage information."}, true);
}

void writeExtended(UsageWriter& out) {
    std::string serverDefault = std::string("Default: ") + kDefaultServerHostPort;
    out.line("  Extended Parameters:");
    out.entry("-e", {"echoing of bytes enabled during recovery."}, true);
    out.entry("-m", {"Attemps to use UEIBytes for faster loading"}, false);
    out.entry("-l 'log message'", {"message to place in device history log"}, false);
    out.entry("-k <filename>", {"log messages written into given filename", "Default:[APP.log]"},
              false);
    out.entry("-u <host:port>",
              {"The hostname and port of the update server", serverDefault.c_str()}, false);
    out.entry("--ca-file <PEM>",
              {"Certificate authorities to trust for an https", "update server (a lab's own CA).",
               "Default: $CORVANE_CA_FILE, else the system's"},
              false);
    out.line();
    out.line("  Extended Commands:");
    out.entry("-I",
              {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
               "specify a specific device [\"-d\" option]."},
              true);
    out.entry("-OVERRIDE",
              {"Override the model checks for BIRD firmware files.",
               "This option should only be used when authorized by",
               "Quendra development engineers."},
              true);
    out.entry("-N", {"Get fingerprint from a device, requires -s"}, true);
    out.entry("-X <BIT_MASK>", {"Bitmask for Logging"}, false);
    for (const DebugBitName& bit : kDebugBits) {
        out.printf("%*s%-20s0x%08X\n", kContinuationIndent, "", bit.name, bit.bit);
        if (bit.blankAfter) {
            out.line();
        }
    }
    out.entry("-C", {"Check the given BIRDFILE"}, true);
}

// The double-dash options that no single letter stands for.
void writeChecks(UsageWriter& out) {
    out.line("  For scripts, racks and checks:");
    out.entry("--json",
              {"Write one JSON document of what -D, -B, -L, -I, -C,",
               "-N, -J, -G, -U or --doctor did on standard output;",
               "messages go to standard error."},
              false);
    out.entry("--all", {"With -U: every module found that has a newer build."}, false);
    out.entry("--jobs <n>", {"Modules a rack update works on at once (1-64).", "Default: 8"},
              false);
    out.entry("--metrics-file <path>",
              {"After -D, -G or -U: write the modules' firmware",
               "and each update's outcome for Prometheus", "(node_exporter's textfile collector)."},
              false);
    out.entry("--doctor",
              {"Check why modules may not be seen or updated:",
               "udev rule, USB and serial port access, store,",
               "update server, emulation; each with its fix.", "Exit status 1 when a check fails."},
              true);
}

void writeSamples(UsageWriter& out) {
    out.line(" Sample usage:");
    out.line();
    out.sample("-D", {"Discover all devices connected by either USB or TCPIP,",
                      "recording the device information into the settings", "for that device."});
    out.sample("-D -t USB", {"Discover all devices connected by USB, recording the",
                             "device information into the settings for that device."});
    out.sample("-D -t USB -d 0F5849A",
               {"Discover settings of the specific device (serial number 0x40F5849A)"});
    out.sample("-G -d 40F5849A", {"Get the latest firmware for the device and store it in",
                                  "the updater specific device directory."});
    out.sample("-U -d 40F5849A", {"Update the device, locating the latest firmware available."});
    out.sample("-G -d 40F5849A -b 99528558",
               {"Get the specified build, stored with the build number", "as the file name."});
    out.sample("-G -U -d 40F5849A", {"Get the latest firmware, then update the device with it."});
    out.sample("-U -t RECOVER -s /dev/serial", {"Update the device over the serial interface."});
    out.line(" Sample usage for network discovery and updates:");
    out.line();
    out.sample("-D -r D272031D", {"Discover all devices connected to the I2C Corvane network",
                                  "of the given routing device D272031D."});
    out.line("-G -U -d 2181F0EE -r D272031D");
    out.sample("", {"Get and Update to the latest firmware for device 2181F0EE",
                    "indirectly through routing device D272031D."});
}

} // namespace

void printUsage(FILE* stream, bool extended, bool full) {
    UsageWriter out(stream);
    writeShort(out);
    if (!full) {
        return;
    }
    writeCommands(out);
    if (extended) {
        writeExtended(out);
    }
    writeChecks(out);
    writeSamples(out);
}

void printUsage(bool extended, bool full) {
    printUsage(stderr, extended, full);
}
