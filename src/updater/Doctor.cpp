// The pre-flight checks and their table. Each check says what it found in words that name the
// file, device or service, and the command that puts it right.
#include "Doctor.h"
#include "FormattedText.h"

#include "DoctorDriverChecks.h"
#include "PrintableText.h"
#include "RegularFile.h"
#include "ServerUrl.h"
#include "ShellWord.h"

#include "os/files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <regex>

using corvane::platform::DirectoryEntry;
using corvane::platform::PathInfo;
using corvane::platform::PathKind;

namespace {

constexpr const char* kRuleName = "70-corvane.rules";
constexpr const char* kReloadRules = "sudo udevadm control --reload-rules && sudo udevadm trigger";
constexpr size_t kMaxRuleFileBytes = size_t{1} << 20;
// Below this a store cannot take a download; below the warning level a few more.
constexpr uint64_t kStoreFailBytes = uint64_t{16} << 20;
constexpr uint64_t kStoreWarnBytes = uint64_t{256} << 20;

std::string vendorHex(uint16_t vendor) {
    return formatted("%04x", vendor);
}

std::string joinWords(const std::vector<std::string>& words, const char* separator = ", ") {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : separator) + word;
    return text;
}

// The words as a command line takes them, each quoted as the shell needs.
std::string shellWords(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + shellWord(word);
    return text;
}

// ---- udev rule -------------------------------------------------------------------------------

// One rule of a rules file: its lines joined where they end in a backslash.
std::vector<std::string> ruleLines(const std::string& text) {
    std::vector<std::string> rules;
    std::string rule;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const bool continued = !line.empty() && line.back() == '\\';
        if (continued)
            line.pop_back();
        rule += line;
        if (!continued) {
            const size_t first = rule.find_first_not_of(" \t");
            if (first != std::string::npos && rule[first] != '#')
                rules.push_back(rule);
            rule.clear();
        }
    }
    return rules;
}

// What the rules files say about the vendor: udev compares the attribute with the rule's text
// as written, and the system writes the vendor id in lower case.
struct RuleSurvey {
    std::string grantingFile;  // a rule for the vendor that sets who may open its devices
    std::string wrongCaseFile; // a rule naming the vendor in upper case, which never matches
    std::string wrongCaseText;
    std::string ourFile;     // the packaged rule, when it names another whole vendor
    std::string ourVendor;   // that vendor
    std::string ruleExample; // a line of the packaged rule, for the fix
};

RuleSurvey surveyRules(const DoctorEnvironment& env, const std::string& vendor) {
    // A file in an earlier directory hides one of the same name in a later one, as in udev.
    std::map<std::string, std::string> files;
    for (const std::string& directory : env.udevRuleDirectories)
        corvane::platform::listDirectory(directory.c_str(), [&](const DirectoryEntry& entry) {
            const std::string name = entry.name;
            if (!entry.isDirectory && name.size() > 6 &&
                name.compare(name.size() - 6, 6, ".rules") == 0 && files.count(name) == 0)
                files[name] = directory + "/" + name;
            return true;
        });
    static const std::regex vendorMatch(R"re(ATTRS?\{idVendor\}\s*==\s*"([^"]*)")re");
    static const std::regex grants(R"re((MODE|GROUP|OWNER)\s*:?=|TAG\s*\+=\s*"uaccess")re");
    RuleSurvey survey;
    for (const auto& [name, path] : files) {
        std::string text;
        if (readRegularFile(path, kMaxRuleFileBytes, text) != aErrNone)
            continue;
        for (const std::string& rule : ruleLines(text)) {
            std::smatch match;
            if (!std::regex_search(rule, match, vendorMatch))
                continue;
            std::string named = match[1].str();
            std::string lower = named;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            const bool wholeVendor = rule.find("idProduct") == std::string::npos;
            if (named == vendor && std::regex_search(rule, grants)) {
                if (survey.grantingFile.empty())
                    survey.grantingFile = path;
            } else if (lower == vendor && named != vendor) {
                survey.wrongCaseFile = path;
                survey.wrongCaseText = named;
            } else if (name == kRuleName && wholeVendor && lower != vendor) {
                survey.ourFile = path;
                survey.ourVendor = named;
            }
        }
    }
    return survey;
}

std::string installRuleCommand(const DoctorEnvironment& env, const std::string& vendor) {
    const std::string directory = env.udevRuleDirectories.empty() ? std::string("/etc/udev/rules.d")
                                                                  : env.udevRuleDirectories.front();
    return "echo 'SUBSYSTEM==\"usb\", ATTR{idVendor}==\"" + vendor +
           "\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"' | sudo tee " +
           shellWord(directory + "/" + kRuleName) + " && " + kReloadRules;
}

std::string replaceVendorCommand(const std::string& file, const std::string& from,
                                 const std::string& to) {
    // The vendor text is the rules file's: the whole script is one quoted word.
    return "sudo sed -i " + shellWord("s/idVendor}==\"" + from + "\"/idVendor}==\"" + to + "\"/") +
           " " + shellWord(file) + " && " + kReloadRules;
}

DoctorCheck checkUdevRule(const DoctorEnvironment& env, bool& ruleGrants) {
    DoctorCheck check{"udev-rule", "udev rule"};
    const std::string vendor = vendorHex(env.vendor.inUse);
    const std::string source =
        env.vendor.fromEnvironment ? " (from CORVANE_USB_VENDOR_ID)" : " (the built-in id)";
    const RuleSurvey rules = surveyRules(env, vendor);
    ruleGrants = !rules.grantingFile.empty();
    if (ruleGrants) {
        check.finding = rules.grantingFile + " grants access to vendor " + vendor + source;
    } else if (!rules.wrongCaseFile.empty()) {
        check.status = DoctorStatus::Fail;
        check.finding = rules.wrongCaseFile + " names vendor " + rules.wrongCaseText +
                        ", which udev never matches: the system writes it " + vendor;
        check.fix = replaceVendorCommand(rules.wrongCaseFile, rules.wrongCaseText, vendor);
    } else if (!rules.ourFile.empty()) {
        check.status = DoctorStatus::Fail;
        check.finding = rules.ourFile + " grants vendor " + rules.ourVendor +
                        ", but the vendor id in use is " + vendor + source;
        check.fix = env.vendor.fromEnvironment && rules.ourVendor == vendorHex(env.vendor.builtIn)
                        ? "unset CORVANE_USB_VENDOR_ID"
                        : replaceVendorCommand(rules.ourFile, rules.ourVendor, vendor);
    } else {
        // The superuser opens every device; the rule is for everyone else.
        check.status = env.user.privileged ? DoctorStatus::Warn : DoctorStatus::Fail;
        check.finding = "no udev rule grants access to vendor " + vendor + source + " (looked in " +
                        joinWords(env.udevRuleDirectories) + ")";
        check.fix = installRuleCommand(env, vendor);
    }
    if (!env.vendor.ignored.empty() && check.status == DoctorStatus::Pass) {
        check.status = DoctorStatus::Warn;
        check.finding += "; CORVANE_USB_VENDOR_ID=" + printableText(env.vendor.ignored) +
                         " is no vendor id and is ignored";
        check.fix = "unset CORVANE_USB_VENDOR_ID";
    }
    return check;
}

// ---- USB access ------------------------------------------------------------------------------

bool inSessionGroup(const DoctorEnvironment& env, const std::string& group) {
    const auto& groups = env.user.sessionGroups;
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

DoctorCheck checkUsbAccess(const DoctorEnvironment& env, bool ruleGrants) {
    DoctorCheck check{"usb-access", "USB access"};
    const std::string vendor = vendorHex(env.vendor.inUse);
    corvane::platform::UsbAccessSurvey survey;
    if (env.surveyUsb(env.vendor.inUse, survey) != aErrNone) {
        check.status = DoctorStatus::Warn;
        check.finding = "the USB devices cannot be listed: this machine shows no USB bus";
        return check;
    }
    if (survey.present == 0) {
        check.status = DoctorStatus::Warn;
        check.finding =
            "no Corvane module is on USB (lsusb -d " + vendor + ": lists one plugged in)";
        return check;
    }
    if (survey.denied == 0) {
        check.finding =
            formatted("%u Corvane module(s) on USB, all open to this user", survey.present);
        return check;
    }
    // The module is listed but cannot be opened, so discovery cannot read who it is.
    check.status = DoctorStatus::Fail;
    check.finding = formatted("%u of %u Corvane module(s) on USB cannot be opened by %s",
                           survey.denied, survey.present, env.user.name.c_str());
    check.fix = ruleGrants ? kReloadRules : installRuleCommand(env, vendor);
    // The rule lets in the user at the seat and the plugdev group; a remote login is not at it.
    if (!inSessionGroup(env, "plugdev")) {
        check.finding += ", who is not in the plugdev group";
        check.fix += " && sudo usermod -aG plugdev " + shellWord(env.user.name);
    }
    check.fix += ", then plug the module in again";
    return check;
}

// ---- Serial ports ----------------------------------------------------------------------------

bool isSerialPortName(const std::string& name, bool& usb) {
    for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
        const std::string p = prefix;
        if (name.size() > p.size() && name.compare(0, p.size(), p) == 0 &&
            name.find_first_not_of("0123456789", p.size()) == std::string::npos) {
            usb = p != "ttyS";
            return true;
        }
    }
    return false;
}

DoctorCheck checkSerialAccess(const DoctorEnvironment& env) {
    DoctorCheck check{"serial-access", "serial ports"};
    std::vector<std::string> ports;
    std::vector<std::string> denied;
    std::string deniedGroup;
    bool usbDenied = false;
    corvane::platform::listDirectory(env.deviceDirectory.c_str(), [&](const DirectoryEntry& entry) {
        bool usb = false;
        if (entry.isDirectory || !isSerialPortName(entry.name, usb))
            return true;
        const std::string path = env.deviceDirectory + "/" + entry.name;
        ports.push_back(path);
        if (!env.mayReadAndWrite(path)) {
            denied.push_back(path);
            // A USB adapter's group is the one the user needs for recovery.
            if (deniedGroup.empty() || (usb && !usbDenied))
                deniedGroup = env.pathGroup(path);
            usbDenied = usbDenied || usb;
        }
        return true;
    });
    if (ports.empty()) {
        check.status = DoctorStatus::Warn;
        check.finding = "no serial port (ttyS*, ttyUSB*, ttyACM*) in " + env.deviceDirectory +
                        "; recovery needs the module's boot ROM on one";
        return check;
    }
    if (denied.empty()) {
        check.finding = formatted("%zu serial port(s), all open to this user", ports.size());
        return check;
    }
    std::sort(denied.begin(), denied.end());
    // Built-in ports that no one uses are no reason to fail; an adapter plugged in is.
    check.status = usbDenied ? DoctorStatus::Fail : DoctorStatus::Warn;
    const std::string shown =
        denied.size() <= 3 ? joinWords(denied) : formatted("%zu ports", denied.size());
    const std::string& user = env.user.name;
    if (deniedGroup.empty()) {
        check.finding = shown + " cannot be opened by " + user;
        check.fix = "sudo chmod g+rw " + shellWords(denied);
    } else if (inSessionGroup(env, deniedGroup)) {
        check.finding = shown + " cannot be opened by " + user + ", though the group " +
                        deniedGroup + " owns it and " + user + " runs with it";
        check.fix = "sudo chmod g+rw " + shellWords(denied);
    } else if (env.groupLists(deniedGroup, user)) {
        check.finding = user + " joined the group " + deniedGroup + ", which owns " + shown +
                        ", after this login; log in again or start a shell with the group";
        check.fix = "newgrp " + shellWord(deniedGroup);
    } else {
        check.finding = user + " is not in the group " + deniedGroup + ", which owns " + shown;
        check.fix = "sudo usermod -aG " + shellWord(deniedGroup) + " " + shellWord(user) +
                    ", then log in again";
    }
    return check;
}

DoctorCheck checkSerialHolder(const DoctorEnvironment& env) {
    DoctorCheck check{"serial-holder", "serial port users"};
    const std::vector<std::string> programs = env.runningPrograms();
    if (std::find(programs.begin(), programs.end(), "ModemManager") == programs.end()) {
        check.finding = "ModemManager is not running";
        return check;
    }
    check.status = DoctorStatus::Warn;
    check.finding = "ModemManager is running: it opens new serial ports to look for modems and "
                    "can disturb a boot ROM on one";
    check.fix = "sudo systemctl stop ModemManager";
    return check;
}

// ---- Store -----------------------------------------------------------------------------------

std::string parentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes and removes a file in directory: permissions alone do not tell a read-only mount.
aErr probeWrite(const std::string& directory) {
    const std::string probe =
        directory + formatted("/.doctor-%u", corvane::platform::currentProcessId());
    corvane::platform::FileHandle file = corvane::platform::invalidFile;
    const aErr err = corvane::platform::createExclusiveFile(probe.c_str(), file);
    if (err != aErrNone)
        return err;
    corvane::platform::closeFile(file);
    corvane::platform::removeFile(probe.c_str());
    return aErrNone;
}

const char* reasonText(aErr err) {
    switch (err) {
    case aErrPermission: return "permission denied";
    case aErrMedia: return "the file system is full";
    case aErrNotFound: return "it does not exist";
    default: return "the system refuses it";
    }
}

DoctorCheck checkStore(const DoctorEnvironment& env) {
    DoctorCheck check{"store", "store folder"};
    const std::string& store = env.storeDirectory;
    const std::string& user = env.user.name;
    if (store.empty()) {
        check.status = DoctorStatus::Fail;
        check.finding = "the home directory cannot be found, so the store has no place";
        check.fix = "Updater -i DIR ... (a folder for the store)";
        return check;
    }
    // The store, or the nearest entry above it that exists, which must be a folder: the
    // commands make the missing rest below it, and a link to nothing stands in their way.
    std::string existing = store;
    PathInfo entry;
    while (corvane::platform::pathInfo(existing.c_str(), false, entry) == aErrNotFound &&
           existing != "/" && existing != ".")
        existing = parentOf(existing);
    PathInfo info;
    corvane::platform::pathInfo(existing.c_str(), true, info);
    if (info.kind != PathKind::directory) {
        check.status = DoctorStatus::Fail;
        check.finding =
            existing + " is in the way of the store " + store +
            (entry.isLink && info.kind == PathKind::missing ? ": it is a symbolic link to nothing"
                                                            : ": it is no folder");
        check.fix = "mv " + shellWord(existing) + " " + shellWord(existing + ".old");
        return check;
    }
    if (const aErr err = probeWrite(existing); err != aErrNone) {
        check.status = DoctorStatus::Fail;
        check.finding = (existing == store ? "the store " + store
                                           : existing + ", where the store " + store + " goes,") +
                        " cannot be written: " + reasonText(err);
        check.fix = existing == store
                        ? "sudo chown -R " + shellWord(user + ":") + " " + shellWord(store)
                        : "sudo install -d -o " + shellWord(user) + " " + shellWord(store);
        return check;
    }
    check.finding = existing == store
                        ? store + " can be written"
                        : store + " is made at first use; " + existing + " can be written";
    uint64_t free = 0;
    if (env.freeSpace(existing, free) != aErrNone) {
        check.status = DoctorStatus::Warn;
        check.finding += ", but its free space cannot be read";
        return check;
    }
    if (free < kStoreWarnBytes) {
        check.status = free < kStoreFailBytes ? DoctorStatus::Fail : DoctorStatus::Warn;
        check.finding += formatted(", but only %llu MiB are free there",
                                static_cast<unsigned long long>(free >> 20));
        check.fix = "du -sh " + shellWord(store) +
                    "/* shows what the store keeps; or use a store "
                    "elsewhere: Updater -i DIR ...";
    }
    return check;
}

// ---- Update server ---------------------------------------------------------------------------

DoctorCheck checkServer(const DoctorEnvironment& env, bool isDefault) {
    DoctorCheck check{"update-server", "update server"};
    std::string why;
    if (env.pingServer(env.serverUrl, why)) {
        check.finding = env.serverUrl + " answers a ping";
        return check;
    }
    check.status = DoctorStatus::Fail;
    check.finding = env.serverUrl + " does not answer a ping: " + why;
    check.fix = isDefault ? "update-server --port 8380 CATALOGUE & (the local mirror), or name "
                            "the server with -u URL"
                          : "name the server with -u URL (now -u " + shellWord(env.serverUrl) + ")";
    return check;
}

// ---- Emulation -------------------------------------------------------------------------------

DoctorCheck checkEmulation(const DoctorEnvironment& env) {
    DoctorCheck check{"usb-emulation", "USB emulation"};
    std::vector<std::string> found;
    std::vector<std::string> variables;
    if (!env.usbEmulation.empty()) {
        const auto entries = std::count(env.usbEmulation.begin(), env.usbEmulation.end(), ',') + 1;
        found.push_back(formatted("CORVANE_USB_EMULATION shows %ld virtual module(s) as USB modules",
                               static_cast<long>(entries)));
        variables.push_back("CORVANE_USB_EMULATION");
    }
    // usb-testbed serves its devices through umockdev's preload library.
    if (env.preload.find("umockdev") != std::string::npos) {
        found.push_back("a usb-testbed's emulated devices stand in for the USB stack (" +
                        (env.umockdevDirectory.empty()
                             ? std::string("LD_PRELOAD")
                             : "UMOCKDEV_DIR=" + printableText(env.umockdevDirectory)) +
                        ")");
        variables.push_back("LD_PRELOAD");
        if (!env.umockdevDirectory.empty())
            variables.push_back("UMOCKDEV_DIR");
    }
    if (found.empty()) {
        check.finding = "neither USB emulation nor a usb-testbed is in effect";
        return check;
    }
    check.status = DoctorStatus::Warn;
    check.finding = joinWords(found, "; ");
    check.fix = "unset " + joinWords(variables, " ");
    return check;
}

} // namespace

std::vector<DoctorCheck> runDoctorChecks(const DoctorEnvironment& env) {
    std::vector<DoctorCheck> checks;
    if (env.usbAccess == corvane::platform::UsbAccessKind::driverBinding) {
        checks.push_back(checkUsbDriver(env));
        checks.push_back(checkComPorts(env));
    } else {
        bool ruleGrants = false;
        checks.push_back(checkUdevRule(env, ruleGrants));
        checks.push_back(checkUsbAccess(env, ruleGrants));
        checks.push_back(checkSerialAccess(env));
        checks.push_back(checkSerialHolder(env));
    }
    checks.push_back(checkStore(env));
    checks.push_back(checkServer(env, env.serverUrl == normaliseServerUrl(kDefaultServerUrl)));
    checks.push_back(checkEmulation(env));
    return checks;
}

const char* doctorStatusName(DoctorStatus status) {
    switch (status) {
    case DoctorStatus::Pass: return "pass";
    case DoctorStatus::Warn: return "warn";
    case DoctorStatus::Fail: return "fail";
    }
    return "fail";
}

int doctorExitStatus(const std::vector<DoctorCheck>& checks) {
    return std::any_of(checks.begin(), checks.end(),
                       [](const DoctorCheck& c) { return c.status == DoctorStatus::Fail; })
               ? 1
               : 0;
}

void printDoctorTable(UpdaterDisplayInterface& display, const std::vector<DoctorCheck>& checks) {
    constexpr const char* kRow = "    %-18s %-6s %s";
    displayPrint(display, DISPLAY_INFO, "Pre-flight check:");
    displayPrint(display, DISPLAY_INFO, kRow, "Check", "Result", "Finding");
    unsigned counts[3] = {};
    for (const DoctorCheck& check : checks) {
        ++counts[static_cast<int>(check.status)];
        std::string result = doctorStatusName(check.status);
        std::transform(result.begin(), result.end(), result.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        displayPrint(display, DISPLAY_INFO, kRow, check.title, result.c_str(),
                     check.finding.c_str());
        if (!check.fix.empty())
            displayPrint(display, DISPLAY_INFO, kRow, "", "", ("fix: " + check.fix).c_str());
    }
    displayPrint(display, DISPLAY_INFO, "%u passed, %u warned, %u failed", counts[0], counts[1],
                 counts[2]);
}
