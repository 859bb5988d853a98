// The run configuration the command line is turned into, and the parser that fills it.
#pragma once

#include "ServerUrl.h"
#include "UpdaterDisplayInterface.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Command bits of UpdaterOptions::flags.
enum UpdaterFlag : uint32_t {
    FLAG_DISCOVER = 0x00000001,    // -D
    FLAG_UPDATE = 0x00000002,      // -U
    FLAG_LIST_BUILDS = 0x00000004, // -B
    FLAG_GET_BUILD = 0x00000008,   // -G
    FLAG_DEVICE_INFO = 0x00000010, // -I
    FLAG_CHECK_BIRD = 0x00000020,  // -C
    FLAG_FINGERPRINT = 0x00000040, // -N
    FLAG_RESERVED_Z = 0x00000080,  // -Z
    FLAG_GET_JWT = 0x00000100,     // -J
    FLAG_LIST_LOCAL = 0x00000200,  // -L
    FLAG_HELP = 0x80000000,        // -h, -H, --help
};
// Any of these bits means a command was asked for.
constexpr uint32_t FLAG_ANY_COMMAND = 0x000307FF;

enum UpdaterTransport : int32_t {
    TRANSPORT_NONE = 0, // after an invalid -t
    TRANSPORT_USB = 1,
    TRANSPORT_TCPIP = 2,
    TRANSPORT_RECOVER = 255,
};

struct UpdaterOptions {
    uint32_t flags = 0;
    uint32_t serial = 0;       // -d, 0 = none
    uint32_t routerSerial = 0; // -r, 0 = none
    int32_t transport = TRANSPORT_USB;
    bool transportGiven = false;
    std::string serialPort; // -s
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0; // 0: the update looks the address up through the router
    std::string birdFile;      // -f
    std::string logMessage;    // -l, stored only
    std::string build;         // -b or the -G result, decimal text; empty = latest
    bool echo = false;         // -e
    std::string serverUrl = kDefaultServerUrl; // -u as given; the driver normalises it
    bool networkFlag = false;                  // -n, stored only
    std::string storeBase;                     // -i; empty = home directory joined with ".quendra"
    std::string programName = "Updater";
    std::string homeDirectory;
    std::string logMode = "a+";              // stored only
    std::string logFileName = "Updater.log"; // -k, stored only
    bool override = false;                   // -OVERRIDE
    bool useUeiBytes = true;                 // -m
    uint32_t debugMask = 0;                  // the last -X value
    bool extendedUsage = true;
    bool helpRequested = false;

    // For scripts and racks, set only by the double-dash options.
    bool json = false;             // --json: one JSON document on standard output
    bool allModules = false;       // --all: -U every module with a newer build
    uint32_t jobs = 0;             // --jobs: updates at once; 0 = the default
    std::vector<uint32_t> serials; // every -d, each once, in order; serial holds the last
    bool doctor = false;           // --doctor: the pre-flight check runs in place of the commands
    std::string caFile;            // --ca-file, else CORVANE_CA_FILE: the lab's CA for https
    std::string metricsFile;       // --metrics-file: the Prometheus text of -D, -G and -U
};

// Updates one rack run starts at once unless --jobs says otherwise; --jobs takes 1 to the most.
constexpr uint32_t kDefaultJobs = 8;
constexpr uint32_t kMostJobs = 64;

// Fills options from the command line, reporting every rejected option on the display's error
// level as it is met. Reads every word unless help is asked for. Returns 0, or 1 when any option
// was rejected.
int parseOptions(UpdaterDisplayInterface& display, int argc, const char* const* argv,
                 UpdaterOptions& options);

// strtoull(text, end, 16) when text holds only hexadecimal digits, else 0 with end untouched.
// 0 when end is null; an empty text is 0.
unsigned long long parseHexNumber(const char* text, char** end);
// The same with decimal digits and base 10.
unsigned long long parseDecimalNumber(const char* text, char** end);

// Writes the usage texts to stream: always the short block; with full, the parameter and
// command block, the extended block when extended, and the samples.
void printUsage(FILE* stream, bool extended, bool full);
// printUsage to standard error.
void printUsage(bool extended, bool full);
