// The --doctor checks for USB devices reached through the WinUSB driver and for COM ports.
#include "DoctorDriverChecks.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string hardwareId(uint16_t vendor, uint16_t product) {
    char text[32];
    snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor, product);
    return text;
}

std::string listed(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : ", ") + word;
    return text;
}

} // namespace

DoctorCheck checkUsbDriver(const DoctorEnvironment& env) {
    DoctorCheck check{"usb-access", "USB access"};
    corvane::platform::UsbAccessSurvey survey;
    if (env.surveyUsb(env.vendor.inUse, survey) != aErrNone) {
        check.status = DoctorStatus::Warn;
        check.finding = "the USB devices cannot be listed: this machine shows no USB bus";
        return check;
    }
    char counts[96];
    if (survey.present == 0) {
        check.status = DoctorStatus::Warn;
        snprintf(counts, sizeof counts, "no Corvane module is on USB (vendor id %04X)",
                 env.vendor.inUse);
        check.finding = counts;
        return check;
    }
    if (survey.denied == 0) {
        snprintf(counts, sizeof counts, "%u Corvane module(s) on USB, all with the WinUSB driver",
                 survey.present);
        check.finding = counts;
        return check;
    }
    std::vector<std::string> ids;
    for (const uint16_t product : survey.deniedProducts) {
        const std::string id = hardwareId(env.vendor.inUse, product);
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            ids.push_back(id);
    }
    check.status = DoctorStatus::Fail;
    snprintf(counts, sizeof counts, "%u of %u Corvane module(s) on USB have no WinUSB driver",
             survey.denied, survey.present);
    check.finding = std::string(counts) + " (" + listed(ids) + ")";
    check.fix = "bind WinUSB to " + listed(ids) +
                " with Zadig (Options > List All Devices, choose the module, WinUSB, Replace "
                "Driver) or an INF file that names it, then plug the module in again";
    return check;
}

DoctorCheck checkComPorts(const DoctorEnvironment& env) {
    DoctorCheck check{"serial-access", "serial ports"};
    const std::vector<std::string> ports = env.serialPorts();
    if (ports.empty()) {
        check.status = DoctorStatus::Warn;
        check.finding = "no serial port (COM port) on this machine; recovery needs the module's "
                        "boot ROM on one";
        return check;
    }
    std::vector<std::string> held;
    for (const std::string& port : ports)
        if (!env.mayReadAndWrite("\\\\.\\" + port))
            held.push_back(port);
    char counts[64];
    if (held.empty()) {
        snprintf(counts, sizeof counts, "%zu serial port(s), none held by another program",
                 ports.size());
        check.finding = counts;
        return check;
    }
    // Windows lets one program at a time have a COM port.
    check.status = DoctorStatus::Warn;
    check.finding = listed(held) + (held.size() == 1 ? " is" : " are") +
                    " in use by another program, so recovery cannot open " +
                    (held.size() == 1 ? "it" : "them");
    check.fix = "close the program that holds " + listed(held);
    return check;
}
