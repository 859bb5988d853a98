// Parses the virtual-module command line; numbers are checked in full, nothing is guessed.
#include "VirtualModuleOptions.h"

#include "BuildText.h"
#include "ToolOptions.h"
#include "ToolSockets.h"

#include "corvane/aVersion.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

namespace Corvane::Tools {

const char* const kVirtualModuleHelp =
    "Usage: virtual-module [options]\n"
    "\n"
    "Serves a simulated Corvane module over TCP, speaking the module link protocol as a real\n"
    "module does: it answers synchronisation requests, sends heartbeats and checks their\n"
    "answers and accepts routing packets. It serves its model's entities as UEIs (gets, sets,\n"
    "calls and byte arrays, with error replies for unknown entities and options), the module\n"
    "queries (build, UEI presence, entity counts and groups), the debug echo, store slots and\n"
    "factory data. Point a TCP/IP link at it to test software without hardware.\n"
    "Once listening it prints \"listening on ADDRESS:PORT\" and serves until interrupted.\n"
    "\n"
    "Options:\n"
    "  --port N          TCP port to listen on; 0 picks a free one (default 0)\n"
    "  --bind ADDRESS    IPv4 address to listen on (default 127.0.0.1)\n"
    "  --serial HEX      serial number, up to eight hexadecimal digits (default 1A2B3C4D)\n"
    "  --model N         model code, 1 to 255 (default 19)\n"
    "  --address N       module address, even, 2 to 254 (default 2)\n"
    "  --heartbeat-ms N  milliseconds between heartbeats; 0 sends none (default 1000)\n"
    "  --latency-us N    delay every packet the module sends by N microseconds, to mimic\n"
    "                    USB frame timing (default 0)\n"
    "  --discovery ADDRESS\n"
    "                    answer TCP/IP discovery requests (multicast 232.2.2.2, port 9888)\n"
    "                    heard on the interface with this IPv4 address, from that address;\n"
    "                    the module then listens on it too unless --bind says otherwise.\n"
    "                    Several modules may answer on one interface.\n"
    "\n"
    "Faults, to see how the host copes:\n"
    "  --drop-after N    reset each connection once it brought N packets (default 0: never)\n"
    "  --garbage         send random bytes instead of every packet\n"
    "  --mute            take every packet in and answer nothing, heartbeats included\n"
    "  --seed N          seed of the random bytes of --garbage (default 1)\n"
    "  --error-uei CMD:OPTION[:CODE]\n"
    "                    answer every request to this UEI with an error reply carrying CODE\n"
    "                    (default 29, aErrInvalidOption)\n"
    "  --no-reply CMD[:OPTION]\n"
    "                    never answer requests of this command (and option; for commands 4\n"
    "                    and 73 the request's second byte, for 94 the data block index)\n"
    "  --bad-slot-checksum N\n"
    "                    the Nth store slot write reply carries a wrong checksum, once\n"
    "  --bytes-out-of-sequence\n"
    "                    the next byte-array reply sends its second packet with a wrong\n"
    "                    sequence number, once\n"
    "  --exclusive       serve one host at a time; later ones are refused, as for a module\n"
    "                    another program holds\n"
    "  --endless-bytes CMD:OPTION[:MS]\n"
    "                    answer gets of this byte-array UEI (3:32 is the module's name) with\n"
    "                    a run that never ends: one packet every MS milliseconds (default\n"
    "                    500), each saying more follows, until the host leaves\n"
    "  --discovery-copies N\n"
    "                    answer each discovery request with N identical replies (default 1)\n"
    "  --discovery-junk N\n"
    "                    after the replies, send N datagrams that are no reply (1 to 32\n"
    "                    bytes, never 16); copies and junk follow the first reply, ten per\n"
    "                    millisecond\n"
    "  --discovery-from ADDRESS\n"
    "                    send discovery replies from this IPv4 address instead of the\n"
    "                    interface's, naming it as the module's (for example 255.255.255.255);\n"
    "                    needs a raw socket (CAP_NET_RAW, as in a private network namespace)\n"
    "\n"
    "Firmware upgrade (command 0x5F): the module takes a boot loader, starts it with LOAD\n"
    "(ending the connection, as a module that enumerates anew does), takes the firmware chunk\n"
    "by chunk and reboots into it with REBOOT. An image names its build and version with the\n"
    "tag \"CVFW\" followed by the build and the packed version (4 bytes each, big-endian);\n"
    "after the reboot the module reports them.\n"
    "  --build N         build of the running firmware (default: the model's)\n"
    "  --firmware-version MAJOR.MINOR.PATCH\n"
    "                    version of the running firmware (default 2.11.4)\n"
    "  --chunk-size N    bytes per chunk announced by PREPARE, 1 to 65535 (default 1024)\n"
    "  --upgrade-fault NAME\n"
    "                    wrong-sum-once, zero-count-once, zero-count, drop-in-data\n"
    "                    (reset the connection at the next data packet, DATA or one of a\n"
    "                    byte array; drop-in-data:N at the Nth, counted over loader and\n"
    "                    firmware), load-after-reconnect (the answer to LOAD goes out once\n"
    "                    a host opens a new connection), refuse-prepare, zero-chunk,\n"
    "                    reboot-keeps-link, refuse-write (every\n"
    "                    WRITE answered with an error status), or one of how the restart\n"
    "                    after REBOOT goes: slow-reboot:MS (the module stays on its link,\n"
    "                    silent, MS milliseconds before it drops it), gone-after-reboot (it\n"
    "                    never comes back: connections are refused from then on),\n"
    "                    reboot-serial:HEX (it comes back reporting this serial number) or\n"
    "                    reboot-keeps-firmware (it comes back running its old firmware); may\n"
    "                    be repeated\n"
    "\n"
    "Module network: with --bus-module the module is a router with modules behind it on an\n"
    "I2C bus. It answers I2C transfers (command 8) on its bus, so a host can probe which bus\n"
    "addresses answer, and passes every packet addressed to a module on the bus to it; the\n"
    "answers come back over the router's link. Each module behind it has its own serial number,\n"
    "model, build and version and takes firmware updates through the router. The router's own\n"
    "bus address is its --address.\n"
    "  --bus-module SERIAL:MODEL@ADDRESS[:BUILD[:MAJOR.MINOR.PATCH]]\n"
    "                    a module at bus address ADDRESS (even, 2 to 252), serial number and\n"
    "                    model in hexadecimal, build decimal (default: the model's), version\n"
    "                    (default 2.11.4); may be repeated\n"
    "  --bus-upgrade-fault ADDRESS:NAME\n"
    "                    an upgrade fault (names as for --upgrade-fault, but for\n"
    "                    slow-reboot and gone-after-reboot, which need a link of the\n"
    "                    module's own) of the module at bus address ADDRESS, given after it;\n"
    "                    may be repeated\n"
    "  --bus-present-everywhere\n"
    "                    a fault: every bus address acknowledges a probe, though only the\n"
    "                    modules given with --bus-module answer; makes the module a router\n"
    "\n"
    "Streaming (command 93): a host enables streams of UEI values (0xFF is a wildcard) and the\n"
    "module sends samples of the enabled values with 64-bit timestamps until they are disabled.\n"
    "  --stream-interval-us N\n"
    "                    microseconds between two rounds of samples (default 10000)\n"
    "  --stream-burst N  after each enable, also send N samples as fast as the connection\n"
    "                    takes them, enough to overflow a slow host's callback queue\n"
    "                    (default 0)\n"
    "\n"
    "  --verbose         trace connections and faults on standard error\n"
    "  --help            print this help and exit\n"
    "  --version         print the version and exit\n"
    "\n"
    "Numbers are decimal, or hexadecimal with a 0x prefix.\n"
    "\n"
    "USB emulation: programs using the Corvane library see the modules listed in the\n"
    "environment variable CORVANE_USB_EMULATION as USB-attached modules: USB discovery\n"
    "reports them and USB links reach them over TCP, with the USB transfer rules. Its value is\n"
    "a comma-separated list of SERIAL:MODEL@ADDRESS:PORT entries (serial number and model in\n"
    "hexadecimal); once listening the program prints the entry for this module as\n"
    "\"usb emulation: CORVANE_USB_EMULATION=...\". A listed module that is not running is not\n"
    "attached. As on a bus, one program at a time has a listed module open; another is told\n"
    "the device is busy, whatever this program's --exclusive says.\n";

namespace {

// A whole-text unsigned number in [low, high]; base 16 forces hexadecimal (0x allowed).
bool parseNumber(const char* text, unsigned long low, unsigned long high, int base,
                 unsigned long& value) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+' || *text == ' ')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        return false;
    value = v;
    return true;
}

// CMD[:OPTION[:CODE]], each a number; CODE only where code is given. The option defaults to
// every option of the command.
bool parseUeiName(const char* text, UeiName& name, uint8_t* code) {
    std::string parts[3];
    int count = 0;
    for (const char* p = text; count < 3; ++p) {
        if (*p == ':' || *p == '\0') {
            ++count;
            if (*p == '\0')
                break;
        } else {
            parts[count] += *p;
        }
    }
    if (count == 0 || count > (code ? 3 : 2))
        return false;
    unsigned long command = 0, option = UeiName::kAnyOption, value = 0;
    if (!parseNumber(parts[0].c_str(), 0, 255, 0, command))
        return false;
    if (count >= 2 && !parseNumber(parts[1].c_str(), 0, 255, 0, option))
        return false;
    if (count == 3 && !parseNumber(parts[2].c_str(), 1, 255, 0, value))
        return false;
    name.enabled = true;
    name.command = static_cast<uint8_t>(command);
    name.option = static_cast<uint8_t>(option);
    if (code && count == 3)
        *code = static_cast<uint8_t>(value);
    return true;
}

// CMD:OPTION[:MS] of --endless-bytes; MS 1 to 60000.
bool parseEndlessBytes(const std::string& text, ModelFaults& faults) {
    const std::size_t first = text.find(':');
    const std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    unsigned long interval = ModelFaults{}.endlessIntervalMs;
    if (second != std::string::npos &&
        !parseNumber(text.substr(second + 1).c_str(), 1, 60000, 0, interval))
        return false;
    UeiName name;
    if (first == std::string::npos || !parseUeiName(text.substr(0, second).c_str(), name, nullptr))
        return false;
    faults.endlessBytes = name;
    faults.endlessIntervalMs = static_cast<uint32_t>(interval);
    return true;
}

// NAME or NAME:VALUE. The faults of a restart that act on the module's own link are refused
// for a module behind a router (onOwnLink false), which has none.
bool parseUpgradeFault(std::string_view text, UpgradeFaults& faults, bool onOwnLink = true) {
    const std::size_t colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    const std::string value(colon == std::string_view::npos ? "" : text.substr(colon + 1));
    unsigned long number = 0;
    if (name == "drop-in-data" && colon != std::string_view::npos) {
        if (!parseNumber(value.c_str(), 1, 0xFFFFFFFFul, 0, number))
            return false;
        faults.dropInData = static_cast<uint32_t>(number);
        return true;
    }
    if (name == "slow-reboot" && onOwnLink) {
        // Up to ten minutes: beyond any module's restart.
        if (!parseNumber(value.c_str(), 1, 600000, 0, number))
            return false;
        faults.rebootDropMs = static_cast<uint32_t>(number);
        return true;
    }
    if (name == "reboot-serial") {
        if (!parseNumber(value.c_str(), 1, 0xFFFFFFFFul, 16, number))
            return false;
        faults.rebootSerial = static_cast<uint32_t>(number);
        return true;
    }
    if (colon != std::string_view::npos)
        return false;
    if (name == "gone-after-reboot" && onOwnLink)
        faults.goneAfterReboot = true;
    else if (name == "reboot-keeps-firmware")
        faults.rebootKeepsFirmware = true;
    else if (name == "wrong-sum-once")
        faults.wrongSumOnce = true;
    else if (name == "zero-count-once")
        faults.zeroCountOnce = true;
    else if (name == "zero-count")
        faults.zeroCountAlways = true;
    else if (name == "drop-in-data")
        faults.dropInData = 1;
    else if (name == "load-after-reconnect")
        faults.loadAfterReconnect = true;
    else if (name == "refuse-prepare")
        faults.refusePrepare = true;
    else if (name == "zero-chunk")
        faults.zeroChunk = true;
    else if (name == "reboot-keeps-link")
        faults.rebootKeepsLink = true;
    else if (name == "refuse-write")
        faults.refuseWrite = true;
    else
        return false;
    return true;
}

// MAJOR.MINOR.PATCH into the packed form the module reports. A version the packed word cannot
// carry (the legacy layout keeps 4 bits of minor below 2.15, either layout one byte of patch) is
// refused: no real module could report it.
bool parseVersion(std::string_view text, uint32_t& packed) {
    const auto version = parseFirmwareVersion(text);
    if (!version)
        return false;
    const uint32_t word = aVersion_Pack(version->major, version->minor, version->patch);
    if (aVersion_ParseMajor(word) != version->major ||
        aVersion_ParseMinor(word) != version->minor || aVersion_ParsePatch(word) != version->patch)
        return false;
    packed = word;
    return true;
}

// A build the module can run: a build number other than 0.
bool parseBuild(const std::string& text, uint32_t& build) {
    const auto number = parseBuildNumber(text);
    if (!number || *number == 0)
        return false;
    build = *number;
    return true;
}

// SERIAL:MODEL@ADDRESS[:BUILD[:MAJOR.MINOR.PATCH]]
bool parseBusModule(const std::string& text, BusModuleConfig& module) {
    const std::size_t at = text.find('@');
    const std::size_t colon = text.find(':');
    if (at == std::string::npos || colon == std::string::npos || colon > at)
        return false;
    std::vector<std::string> fields(1);
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        if (text[i] == ':')
            fields.emplace_back();
        else
            fields.back() += text[i];
    }
    unsigned long serial = 0, model = 0, address = 0;
    uint32_t build = 0;
    if (fields.size() > 3 ||
        !parseNumber(text.substr(0, colon).c_str(), 0, 0xFFFFFFFFul, 16, serial) ||
        !parseNumber(text.substr(colon + 1, at - colon - 1).c_str(), 1, 255, 16, model) ||
        !parseNumber(fields[0].c_str(), 0, 255, 0, address) ||
        (fields.size() >= 2 && !parseBuild(fields[1], build)) ||
        (fields.size() == 3 && !parseVersion(fields[2], module.packedVersion)))
        return false;
    module.identity.serialNumber = static_cast<uint32_t>(serial);
    module.identity.model = static_cast<uint8_t>(model);
    module.identity.address = static_cast<uint8_t>(address);
    module.build = build;
    return true;
}

std::string invalidValue(const std::string& option, const std::string& text) {
    return "invalid value '" + text + "' for " + option;
}

// An option whose one value parse takes whole; anything else is named as invalid.
ToolOption valueOption(const std::string& name, std::function<bool(const std::string&)> parse,
                       const std::string& valueName = {}) {
    return {.name = name,
            .values = 1,
            .valueName = valueName,
            .handler = [name, parse](OptionValues values) {
                return parse(values[0]) ? std::string() : invalidValue(name, values[0]);
            }};
}

// An option whose value is a number in [low, high] (base 0: decimal, or 0x hexadecimal).
ToolOption numberOption(const std::string& name, unsigned long low, unsigned long high, int base,
                        std::function<void(unsigned long)> store) {
    return valueOption(name, [=](const std::string& text) {
        unsigned long value = 0;
        if (!parseNumber(text.c_str(), low, high, base, value))
            return false;
        store(value);
        return true;
    });
}

ToolOption flagOption(const std::string& name, bool& flag) {
    return {.name = name, .handler = setsFlag(flag)};
}

// Who the module is and where it listens.
void addModuleOptions(std::vector<ToolOption>& table, VirtualModuleConfig& config,
                      bool& bindGiven) {
    table.push_back(numberOption("--port", 0, 65535, 0, [&config](unsigned long value) {
        config.port = static_cast<uint16_t>(value);
    }));
    table.push_back(valueOption(
        "--bind",
        [&](const std::string& text) {
            config.bindAddress = text;
            bindGiven = true;
            return true;
        },
        "an address"));
    table.push_back(numberOption("--serial", 0, 0xFFFFFFFFul, 16, [&config](unsigned long value) {
        config.identity.serialNumber = static_cast<uint32_t>(value);
    }));
    table.push_back(numberOption("--model", 1, 255, 0, [&config](unsigned long value) {
        config.identity.model = static_cast<uint8_t>(value);
    }));
    table.push_back({.name = "--address", .values = 1, .handler = [&config](OptionValues values) {
                         unsigned long value = 0;
                         if (!parseNumber(values[0].c_str(), 2, 254, 0, value))
                             return invalidValue("--address", values[0]);
                         if (value % 2 != 0)
                             return "the module address must be even: '" + values[0] + "'";
                         config.identity.address = static_cast<uint8_t>(value);
                         return std::string();
                     }});
    table.push_back(numberOption("--heartbeat-ms", 0, 3600000, 0, [&config](unsigned long value) {
        config.heartbeatMs = static_cast<uint32_t>(value);
    }));
    table.push_back(numberOption("--latency-us", 0, 10000000, 0, [&config](unsigned long value) {
        config.latencyUs = static_cast<uint32_t>(value);
    }));
    table.push_back(valueOption(
        "--discovery",
        [&config](const std::string& text) {
            config.discoveryInterface = text;
            return true;
        },
        "an interface address"));
    table.push_back(flagOption("--verbose", config.verbose));
}

// Misbehaviour of the link, the model and discovery.
void addFaultOptions(std::vector<ToolOption>& table, VirtualModuleConfig& config) {
    ModelFaults& model = config.modelFaults;
    table.push_back(numberOption("--drop-after", 0, 0xFFFFFFFFul, 0, [&config](unsigned long v) {
        config.faults.dropAfter = static_cast<uint32_t>(v);
    }));
    table.push_back(flagOption("--garbage", config.faults.garbage));
    table.push_back(flagOption("--mute", config.faults.mute));
    table.push_back(numberOption("--seed", 0, 0xFFFFFFFFul, 0, [&config](unsigned long value) {
        config.seed = static_cast<uint32_t>(value);
    }));
    table.push_back(valueOption("--error-uei", [&model](const std::string& text) {
        return parseUeiName(text.c_str(), model.errorUei, &model.errorCode);
    }));
    table.push_back(valueOption("--no-reply", [&model](const std::string& text) {
        return parseUeiName(text.c_str(), model.silentUei, nullptr);
    }));
    table.push_back(
        numberOption("--bad-slot-checksum", 0, 0xFFFFFFFFul, 0, [&model](unsigned long value) {
            model.badSlotChecksum = static_cast<uint32_t>(value);
        }));
    table.push_back(flagOption("--bytes-out-of-sequence", model.bytesOutOfSequence));
    table.push_back(flagOption("--exclusive", config.faults.exclusive));
    table.push_back(valueOption("--endless-bytes", [&model](const std::string& text) {
        return parseEndlessBytes(text, model);
    }));
    table.push_back(numberOption("--discovery-copies", 1, 100000, 0, [&config](unsigned long v) {
        config.discoveryFaults.copies = static_cast<uint32_t>(v);
    }));
    table.push_back(numberOption("--discovery-junk", 0, 100000, 0, [&config](unsigned long v) {
        config.discoveryFaults.junk = static_cast<uint32_t>(v);
    }));
    table.push_back(valueOption(
        "--discovery-from",
        [&config](const std::string& text) {
            uint32_t address = 0;
            if (!os::ipv4FromText(text, address))
                return false;
            config.discoveryFaults.forgedSource = text;
            return true;
        },
        "an address"));
}

// The running firmware and the upgrade protocol.
void addUpgradeOptions(std::vector<ToolOption>& table, VirtualModuleConfig& config) {
    table.push_back(valueOption(
        "--build", [&config](const std::string& text) { return parseBuild(text, config.build); }));
    table.push_back(valueOption("--firmware-version", [&config](const std::string& text) {
        return parseVersion(text, config.packedVersion);
    }));
    table.push_back(numberOption("--chunk-size", 1, 65535, 0, [&config](unsigned long value) {
        config.chunkSize = static_cast<uint16_t>(value);
    }));
    table.push_back(valueOption("--upgrade-fault", [&config](const std::string& text) {
        return parseUpgradeFault(text, config.upgradeFaults);
    }));
}

// The modules behind the module, which make it a router; without busModules only the fault
// that needs none.
void addNetworkOptions(std::vector<ToolOption>& table, VirtualModuleConfig& config,
                       std::vector<BusModuleConfig>* busModules) {
    table.push_back(flagOption("--bus-present-everywhere", config.busPresentEverywhere));
    if (busModules == nullptr)
        return;
    table.push_back(valueOption("--bus-module", [busModules](const std::string& text) {
        BusModuleConfig module;
        if (!parseBusModule(text, module))
            return false;
        busModules->push_back(module);
        return true;
    }));
    // ADDRESS:NAME of a module given before it.
    table.push_back(valueOption("--bus-upgrade-fault", [busModules](const std::string& text) {
        const std::size_t colon = text.find(':');
        unsigned long address = 0;
        auto module = busModules->end();
        if (colon != std::string::npos &&
            parseNumber(text.substr(0, colon).c_str(), 0, 255, 0, address))
            module =
                std::find_if(busModules->begin(), busModules->end(), [&](const BusModuleConfig& m) {
                    return m.identity.address == address;
                });
        return module != busModules->end() &&
               parseUpgradeFault(std::string_view(text).substr(colon + 1), module->upgradeFaults,
                                 false);
    }));
}

void addStreamingOptions(std::vector<ToolOption>& table, VirtualModuleConfig& config) {
    table.push_back(
        numberOption("--stream-interval-us", 0, 60000000, 0, [&config](unsigned long v) {
            config.streamIntervalUs = static_cast<uint32_t>(v);
        }));
    table.push_back(numberOption("--stream-burst", 0, 10000000, 0, [&config](unsigned long value) {
        config.streamBurst = static_cast<uint32_t>(value);
    }));
}

const OptionRules kRules{
    .unknown = [](const std::string& word, bool) { return "unknown option '" + word + "'"; },
    .missingValue =
        [](const ToolOption& option, const std::string& word) {
            return "option " + word + " needs " +
                   (option.valueName.empty() ? "a value" : option.valueName);
        },
    .operand = nullptr,
};

} // namespace

OptionsResult parseVirtualModuleOptions(int argc, const char* const* argv,
                                        VirtualModuleConfig& config, std::string* error,
                                        std::vector<BusModuleConfig>* busModules) {
    bool bindGiven = false;
    std::vector<ToolOption> table{{.name = "--help", .alias = "-h", .stops = true}};
    addModuleOptions(table, config, bindGiven);
    addFaultOptions(table, config);
    addUpgradeOptions(table, config);
    addNetworkOptions(table, config, busModules);
    addStreamingOptions(table, config);
    const std::vector<std::string> words = commandWords(argc, argv);
    const OptionWalk walk = walkOptions(table, kRules, words);
    if (walk.outcome == OptionWalk::Outcome::Stopped)
        return OptionsResult::Help;
    if (walk.outcome == OptionWalk::Outcome::Failed) {
        if (error)
            *error = walk.error;
        return OptionsResult::Error;
    }
    if (busModules)
        for (BusModuleConfig& module : *busModules)
            module.chunkSize = config.chunkSize;
    // Discovery replies come from the interface's address, so the module is reached there.
    if (!config.discoveryInterface.empty() && !bindGiven)
        config.bindAddress = config.discoveryInterface;
    return OptionsResult::Run;
}

} // namespace Corvane::Tools
