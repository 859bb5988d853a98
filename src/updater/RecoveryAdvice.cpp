// The recovery advice after a failed update: a module left in its loader, or silent, is
// recovered through its boot ROM over a serial port, which is named when it can be.
#include "RecoveryAdvice.h"

#include "ServerUrl.h"
#include "ShellWord.h"

#include "os/files.h"

#include <cstdio>
#include <string_view>

namespace {

constexpr const char* kPortPlaceholder = "PORT";
constexpr const char* kFindPortLine =
    "with PORT the serial port its boot ROM is connected to (ls -l /dev/serial/by-id/ lists "
    "them), or USB for an i.MX module whose boot ROM is on USB";

// A name the system gives a USB serial adapter: the prefix and a number.
bool isUsbSerialPort(std::string_view name) {
    for (std::string_view prefix : {"ttyUSB", "ttyACM"}) {
        if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix &&
            name.find_first_not_of("0123456789", prefix.size()) == std::string_view::npos)
            return true;
    }
    return false;
}

const char* stateLine(ModuleLeft state) {
    switch (state) {
    case ModuleLeft::InLoader:
        return "Module [%08X] is left in its loader, without firmware that runs; it answers only "
               "as its loader";
    case ModuleLeft::Silent:
        return "Module [%08X] does not answer: it is left in its loader or without firmware that "
               "runs";
    case ModuleLeft::NotRestarted:
        return "Module [%08X] has not restarted into the new firmware; if it does not come back, "
               "it is left in its loader";
    }
    return "";
}

} // namespace

std::string recoveryPort(const std::string& given, const std::string& deviceDirectory) {
    if (!given.empty())
        return given;
    std::string found;
    unsigned count = 0;
    corvane::platform::listDirectory(deviceDirectory.c_str(),
                                     [&](const corvane::platform::DirectoryEntry& entry) {
                                         if (!entry.isDirectory && isUsbSerialPort(entry.name)) {
                                             found = entry.name;
                                             ++count;
                                         }
                                         return count < 2;
                                     });
    return count == 1 ? deviceDirectory + "/" + found : std::string();
}

namespace {

// The options that make a command shown to the user act on the run's store and server.
std::string runOptions(const RunSettings& run) {
    std::string text;
    if (!run.storeOption.empty())
        text += " -i " + shellWord(run.storeOption);
    if (run.serverUrl != normaliseServerUrl(kDefaultServerUrl))
        text += " -u " + shellWord(run.serverUrl);
    return text;
}

std::string imageOptions(const std::string& birdFile, uint32_t build) {
    if (!birdFile.empty())
        return " -f " + shellWord(birdFile);
    return build != 0 ? " -b " + std::to_string(build) : std::string();
}

std::string serialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

} // namespace

std::string recoveryCommand(uint32_t serial, const std::string& port, const RunSettings& run,
                            const std::string& birdFile, uint32_t build) {
    std::string command = "Updater -U -t RECOVER -s ";
    command += port.empty() ? kPortPlaceholder : shellWord(port);
    if (serial != 0)
        command += " -d " + serialText(serial);
    return command + imageOptions(birdFile, build) + runOptions(run);
}

std::string updateCommandLine(uint32_t serial, const std::string& birdFile, uint32_t build,
                              uint32_t routerSerial, const RunSettings& run) {
    std::string command = "Updater -U -d " + serialText(serial) + imageOptions(birdFile, build);
    if (routerSerial != 0)
        command += " -r " + serialText(routerSerial);
    return command + runOptions(run);
}

std::string moduleLeftLine(uint32_t serial, ModuleLeft state) {
    char line[256];
    snprintf(line, sizeof line, stateLine(state), serial);
    return line;
}

std::string showRecoveryAdvice(UpdaterDisplayInterface& display, uint32_t serial, ModuleLeft state,
                               const std::string& port, const RunSettings& run) {
    const std::string command = recoveryCommand(serial, port, run);
    displayPrint(display, DISPLAY_ERROR, "%s", moduleLeftLine(serial, state).c_str());
    displayPrint(display, DISPLAY_ERROR, "To recover it through its boot ROM, run:");
    displayPrint(display, DISPLAY_ERROR, "  %s", command.c_str());
    if (port.empty())
        displayPrint(display, DISPLAY_ERROR, "%s", kFindPortLine);
    return command;
}
