// usb-testbed: emulated kernel USB devices for unmodified libusb and hidapi (through umockdev's
// preload library): Corvane modules carried to virtual modules, and the i.MX boot ROM's HID
// interface carried to bootrom-sim. Serves until interrupted, or runs one command under it.
#include "ModuleDevice.h"
#include "RomDevice.h"
#include "Testbed.h"
#include "ToolOptions.h"
#include "ToolVersion.h"
#include "corvane/aUSB.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace {

using namespace usbtestbed;

constexpr const char* kPreload = "libumockdev-preload.so.0";

constexpr const char* kHelp = R"HELP(Usage: usb-testbed [OPTIONS] [-- COMMAND [ARG...]]

Emulates kernel USB devices so that programs using libusb and hidapi, unchanged, find and use
Corvane modules and an i.MX boot ROM without hardware. The devices live under a umockdev root
directory; a program sees them when it runs with
  LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=<root>
With a COMMAND, usb-testbed runs it so, waits for it and exits with its status. Without one it
prints the two lines to export ("export NAME=VALUE"), then "usb-testbed: ready", and serves
until interrupted (SIGINT or SIGTERM).

Each module is a USB device of the family: vendor id CORVANE_USB_VENDOR_ID (environment, hex;
default @VENDOR@), product id 00MM (MM the model), serial-number string SERIAL as eight
hexadecimal digits, and one interface of class FF, subclass 88, protocol 10 with 512-byte bulk
pipes. Its transfers are carried to a virtual module over loopback TCP: a transfer reaches the
virtual module when it ends with a short or zero-length packet, and what the virtual module sends
comes back in packets, a zero-length packet closing a burst that filled its last packet. The
device is plugged while the virtual module accepts a connection; when the virtual module closes
it (a reboot, an exit) the device is unplugged, and plugged again under a new address once the
virtual module listens again.

Lines on standard output: "usb-testbed: plugged SERIAL at NODE", "usb-testbed: unplugged
SERIAL (WHY)", "usb-testbed: rom at NODE", and answers to commands.

Options:
  --module SERIAL:MODEL@ADDRESS:PORT
                        a module served by the virtual module at ADDRESS:PORT (the entry
                        virtual-module prints for USB emulation); repeatable
  --busy SERIAL         the module's interface is held by another process (claims fail)
  --unreadable SERIAL   the module's node cannot be opened, so its strings cannot be read (as
                        without the udev rule's permission)
  --latency-us N        each transfer waits N microseconds before it moves [0]
  --imx-rom DEVICE      the i.MX boot ROM as a USB HID device (vendor 1FC9, product 0130),
                        its reports carried to `bootrom-sim --chip imx --hid` on DEVICE
  --rom-baud RATE       the rate of that line, as bootrom-sim's --baud [115200]
  --trace               write every claim, release and transfer to standard error
  -h, --help            show this text
  --version             show the version

Commands on standard input, one a line, while serving:
  remove SERIAL | add SERIAL    unplug a module / plug it again
  hold SERIAL | release SERIAL  another process takes / lets go of its interface
  latency-us N                  change the delay of every module
Each is answered with "usb-testbed: ok" or "usb-testbed: error: WHY".

Needs the umockdev package; runs itself under the preload library (so its uevents reach the
clients). Clients built with AddressSanitizer also need ASAN_OPTIONS=verify_asan_link_order=0.
)HELP";

std::mutex gOutput;

void say(const std::string& line) {
    std::lock_guard lock(gOutput);
    std::printf("usb-testbed: %s\n", line.c_str());
    std::fflush(stdout);
}

// The library's rule, so the testbed's devices carry the id the library looks for.
uint16_t vendorId() {
    uint16_t id = 0;
    aUSB_GetVendorId(&id);
    return id;
}

struct Options {
    std::vector<ModuleSettings> modules;
    std::vector<std::string> busy, unreadable;
    std::chrono::microseconds latency{0};
    std::string romDevice;
    uint32_t romBaud = 115200;
    std::vector<std::string> command;
};

bool parseSerial(const std::string& text, uint32_t& serial) {
    if (text.empty() || text.size() > 8 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    serial = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
    return true;
}

bool parseMicroseconds(const std::string& text, std::chrono::microseconds& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::chrono::microseconds(std::stoul(text));
    return true;
}

using Corvane::Tools::OptionValues;
using Corvane::Tools::ToolOption;

// The options that name modules and how they behave.
void addModuleOptions(std::vector<ToolOption>& table, Options& options) {
    table.push_back({.name = "--module", .values = 1, .handler = [&options](OptionValues values) {
                         const std::string& value = values[0];
                         ModuleSettings settings;
                         std::string why;
                         if (!parseModuleEntry(value, settings, why))
                             return "bad --module " + value + ": " + why;
                         for (const ModuleSettings& other : options.modules)
                             if (other.serialNumber == settings.serialNumber)
                                 return "the module " + value + " is given twice";
                         options.modules.push_back(settings);
                         return std::string();
                     }});
    for (auto [name, list] :
         {std::pair{"--busy", &options.busy}, std::pair{"--unreadable", &options.unreadable}})
        table.push_back({.name = name, .values = 1, .handler = [name, list](OptionValues values) {
                             uint32_t serial = 0;
                             if (!parseSerial(values[0], serial))
                                 return std::string(name) +
                                        " needs a serial number of 1 to 8 hexadecimal digits";
                             list->push_back(values[0]);
                             return std::string();
                         }});
    table.push_back({.name = "--latency-us", .values = 1, .handler = [&options](OptionValues v) {
                         if (!parseMicroseconds(v[0], options.latency))
                             return std::string("--latency-us needs a number of microseconds");
                         return std::string();
                     }});
}

void addRomOptions(std::vector<ToolOption>& table, Options& options) {
    table.push_back({.name = "--imx-rom", .values = 1, .handler = [&options](OptionValues values) {
                         options.romDevice = values[0];
                         return std::string();
                     }});
    table.push_back({.name = "--rom-baud", .values = 1, .handler = [&options](OptionValues v) {
                         const std::string& value = v[0];
                         if (value.empty() || value.size() > 7 ||
                             value.find_first_not_of("0123456789") != std::string::npos ||
                             !RomDevice::supportedRate(static_cast<uint32_t>(std::stoul(value))))
                             return std::string(
                                 "--rom-baud must be one of 9600, 19200, 38400, 57600, 115200, "
                                 "230400, 460800, 921600");
                         options.romBaud = static_cast<uint32_t>(std::stoul(value));
                         return std::string();
                     }});
}

// 0 to run, 1 after --help, 2 on an error (already printed).
int parseOptions(int argc, char** argv, Options& options) {
    auto bad = [](const std::string& why) {
        std::fprintf(stderr, "usb-testbed: %s\nTry 'usb-testbed --help'.\n", why.c_str());
        return 2;
    };
    std::vector<ToolOption> table{
        {.name = "--help", .alias = "-h", .stops = true},
        {.name = "--trace", .handler = Corvane::Tools::setsFlag(UsbfsDevice::tracing)},
        {.name = "--", .stops = true}, // the command to run follows
    };
    addModuleOptions(table, options);
    addRomOptions(table, options);
    const Corvane::Tools::OptionRules rules = Corvane::Tools::unknownOrMissingRules();
    const std::vector<std::string> words = Corvane::Tools::commandWords(argc, argv);
    const auto walk = Corvane::Tools::walkOptions(table, rules, words);
    if (walk.outcome == Corvane::Tools::OptionWalk::Outcome::Failed)
        return bad(walk.error);
    if (walk.outcome == Corvane::Tools::OptionWalk::Outcome::Stopped) {
        if (walk.stoppedBy->name != "--")
            return 1;
        options.command.assign(words.begin() + static_cast<std::ptrdiff_t>(walk.next), words.end());
        if (options.command.empty())
            return bad("-- must be followed by a command");
    }
    for (const auto* list : {&options.busy, &options.unreadable})
        for (const std::string& text : *list) {
            uint32_t serial = 0;
            parseSerial(text, serial);
            bool found = false;
            for (ModuleSettings& module : options.modules)
                if (module.serialNumber == serial) {
                    found = true;
                    (list == &options.busy ? module.held : module.unreadable) = true;
                }
            if (!found)
                return bad("no --module has the serial number " + text);
        }
    if (options.modules.empty() && options.romDevice.empty())
        return bad("nothing to emulate: give --module or --imx-rom");
    return 0;
}

// The testbed's own uevents reach clients only from inside the preload, so the program runs
// itself again under it. False (with the reason printed) when the library is not there.
bool underPreload(char** argv) {
    if (dlopen(kPreload, RTLD_NOW | RTLD_NOLOAD) != nullptr)
        return true;
    if (std::getenv("USB_TESTBED_REEXEC") != nullptr) {
        std::fprintf(stderr, "usb-testbed: %s cannot be preloaded; install the umockdev package\n",
                     kPreload);
        return false;
    }
    std::string preload = kPreload;
    if (const char* previous = std::getenv("LD_PRELOAD"); previous && *previous)
        preload += std::string(":") + previous;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("USB_TESTBED_REEXEC", "1", 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "usb-testbed: cannot run itself again: %s\n", std::strerror(errno));
    return false;
}

class Session {
  public:
    explicit Session(const Options& options) {
        for (ModuleSettings settings : options.modules) {
            settings.vendorId = vendorId();
            settings.latency = options.latency;
            modules_.push_back(std::make_unique<ModuleDevice>(testbed_, settings, say));
        }
        if (!options.romDevice.empty())
            rom_ = std::make_unique<RomDevice>(testbed_, options.romDevice, options.romBaud, say);
        for (auto& module : modules_)
            module->waitSettled();
        sweeper_ = std::thread([this] {
            std::unique_lock lock(sweepLock_);
            while (!sweepCv_.wait_for(lock, std::chrono::milliseconds(100),
                                      [this] { return stopping_; }))
                sweepClosedClients();
        });
    }
    ~Session() {
        {
            std::lock_guard lock(sweepLock_);
            stopping_ = true;
        }
        sweepCv_.notify_all();
        sweeper_.join();
        rom_.reset();
        modules_.clear();
    }
    const Testbed& testbed() const { return testbed_; }

    std::string command(const std::string& line) {
        std::istringstream words(line);
        std::string verb, argument;
        words >> verb >> argument;
        if (verb == "latency-us") {
            std::chrono::microseconds latency{};
            if (!parseMicroseconds(argument, latency))
                return "error: latency-us needs a number of microseconds";
            for (auto& module : modules_)
                module->setLatency(latency);
            return "ok";
        }
        uint32_t serial = 0;
        if (verb != "remove" && verb != "add" && verb != "hold" && verb != "release")
            return "error: unknown command: " + verb;
        if (!parseSerial(argument, serial))
            return "error: " + verb + " needs a serial number";
        for (auto& module : modules_) {
            if (module->serialNumber() != serial)
                continue;
            if (verb == "remove" || verb == "add")
                module->want(verb == "add");
            else
                module->hold(verb == "hold");
            return "ok";
        }
        return "error: no module " + argument;
    }

  private:
    Testbed testbed_;
    std::vector<std::unique_ptr<ModuleDevice>> modules_;
    std::unique_ptr<RomDevice> rom_;
    // Finds clients that closed their nodes, so what they claimed is free again.
    std::thread sweeper_;
    std::mutex sweepLock_;
    std::condition_variable sweepCv_;
    bool stopping_ = false;
};

int runCommand(const std::vector<std::string>& command, int signals) {
    std::vector<char*> args;
    for (const std::string& a : command)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = -1;
    const int rc = posix_spawnp(&child, args[0], nullptr, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        std::fprintf(stderr, "usb-testbed: cannot run %s: %s\n", args[0], std::strerror(rc));
        return 127;
    }
    for (;;) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pollfd p{signals, POLLIN, 0};
        if (::poll(&p, 1, 100) == 1) {
            signalfd_siginfo info{};
            if (::read(signals, &info, sizeof info) == sizeof info && info.ssi_signo != SIGCHLD)
                kill(child, static_cast<int>(info.ssi_signo));
        }
    }
}

int serve(Session& session, int signals) {
    std::string pending;
    bool input = true;
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {input ? 0 : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return 1;
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signals, &info, sizeof info) == sizeof info && info.ssi_signo != SIGCHLD)
                return 0;
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buffer[512];
            const ssize_t n = ::read(0, buffer, sizeof buffer);
            if (n <= 0) {
                input = false; // no more commands; serve on until a signal
                continue;
            }
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (line.find_first_not_of(" \t\r") != std::string::npos)
                    say(session.command(line));
            }
            if (pending.size() > 4096)
                pending.clear(); // not a command line
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (printToolVersion("usb-testbed", argc, argv))
        return 0;
    Options options;
    switch (parseOptions(argc, argv, options)) {
    case 1: {
        std::string help = kHelp;
        uint16_t builtIn = 0;
        aUSB_GetDefaultVendorId(&builtIn);
        char vendor[8];
        std::snprintf(vendor, sizeof vendor, "%04X", builtIn);
        help.replace(help.find("@VENDOR@"), 8, vendor);
        std::fputs(help.c_str(), stdout);
        return 0;
    }
    case 2: return 2;
    default: break;
    }
    if (!underPreload(argv))
        return 1;
    unsetenv("USB_TESTBED_REEXEC");

    sigset_t stops;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    const int signals = signalfd(-1, &stops, SFD_CLOEXEC);
    if (signals < 0) {
        std::fprintf(stderr, "usb-testbed: cannot watch signals: %s\n", std::strerror(errno));
        return 1;
    }
    int status = 0;
    {
        Session session(options);
        const std::string root = session.testbed().root();
        setenv("UMOCKDEV_DIR", root.c_str(), 1);
        if (!options.command.empty()) {
            status = runCommand(options.command, signals);
        } else {
            std::printf("export LD_PRELOAD=%s\nexport UMOCKDEV_DIR=%s\n", kPreload, root.c_str());
            say("ready");
            status = serve(session, signals);
        }
    }
    return status;
}
