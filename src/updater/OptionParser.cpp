// Turns the Updater's command line into UpdaterOptions, reporting each bad option as it is met.
#include "Debug.h"
#include "OptionTable.h"
#include "UpdaterOptions.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr const char* kHexDigits = "0123456789ABCDEFabcdef";
constexpr const char* kDecimalDigits = "0123456789";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// strtoull: an unsigned long has only 32 bits on Windows, too few to tell a 32-bit overflow.
unsigned long long parseNumber(const char* text, char** end, const char* digits, int base) {
    if (end == nullptr || text == nullptr) {
        return 0;
    }
    if (text[strspn(text, digits)] != '\0') {
        return 0;
    }
    return strtoull(text, end, base);
}

// The parser's state for one command line.
class OptionParser {
  public:
    OptionParser(UpdaterDisplayInterface& display, UpdaterOptions& options)
        : display_(display), options_(options), table_(updaterOptionTable()) {}

    int parse(int argc, const char* const* argv);

  private:
    void reject(const char* format, const char* a, const char* b = nullptr) {
        displayPrint(display_, DISPLAY_ERROR, format, a, b);
        failed_ = true;
    }
    // Applies one matched option; false when parsing is to stop here (help).
    bool apply(const OptionEntry& entry, const std::string& value);
    void setDebugMask(const OptionEntry& entry, const std::string& value);
    bool parseSerial(const std::string& value, const char* prefixTrace, const char* invalidMessage,
                     uint32_t& out);
    bool parseUnsigned(const OptionEntry& entry, const std::string& value, uint32_t& out);
    void setTransport(const std::string& value);
    void setJobs(const OptionEntry& entry, const std::string& value);

    UpdaterDisplayInterface& display_;
    UpdaterOptions& options_;
    std::span<const OptionEntry> table_;
    bool failed_ = false;
};

int OptionParser::parse(int argc, const char* const* argv) {
    if (argc > 0 && argv[0] != nullptr) {
        std::string_view program(argv[0]);
        size_t slash = program.find_last_of("\\/");
        options_.programName =
            std::string(slash == std::string_view::npos ? program : program.substr(slash + 1));
    }
    // Options and their values in the order read, then the ordinary words, as traced below.
    std::vector<const char*> ordered;
    std::vector<const char*> ordinary;
    if (argc > 0) {
        ordered.push_back(argv[0]);
    }
    for (int i = 1; i < argc; ++i) {
        std::string word = optionForm(table_, argv[i]);
        if (word.empty()) {
            ordinary.push_back(argv[i]);
            reject("Unexpected argument: [%s]", argv[i]);
            continue;
        }
        ordered.push_back(argv[i]);
        size_t equals = word.find('=');
        std::string name = word.substr(0, equals);
        OptionMatch match = matchOption(table_, name);
        if (match.result == OptionMatch::Unknown) {
            reject("Unknown option: [%s]", name.c_str());
            continue;
        }
        if (match.result == OptionMatch::Ambiguous) {
            std::string candidates;
            for (const OptionEntry* candidate : match.matches) {
                candidates += candidates.empty() ? "" : ", ";
                candidates += candidate->name;
            }
            reject("Ambiguous option: [%s] could be %s", name.c_str(), candidates.c_str());
            continue;
        }
        const OptionEntry& entry = *match.entry;
        std::string value;
        if (entry.takesValue) {
            if (equals != std::string::npos) {
                value = word.substr(equals + 1);
            } else if (i + 1 < argc && optionForm(table_, argv[i + 1]).empty()) {
                value = argv[++i];
                ordered.push_back(argv[i]);
            } else {
                reject("Missing value for option [%s]", entry.name);
                continue;
            }
        } else if (equals != std::string::npos) {
            reject("Option [%s] does not take a value", entry.name);
            continue;
        }
        if (!apply(entry, value)) {
            return 0;
        }
    }
    ordered.insert(ordered.end(), ordinary.begin(), ordinary.end());
    Debug_Print(DEBUG_APP, "\nApplication parameters:[%s]\n", options_.programName.c_str());
    for (const char* word : ordered) {
        Debug_Print(DEBUG_APP, "\t[%s]\n", word);
    }
    return failed_ ? 1 : 0;
}

bool OptionParser::apply(const OptionEntry& entry, const std::string& value) {
    switch (entry.id) {
    case OptionId::ListBuilds: options_.flags |= FLAG_LIST_BUILDS; break;
    case OptionId::ListLocal: options_.flags |= FLAG_LIST_LOCAL; break;
    case OptionId::Discover: options_.flags |= FLAG_DISCOVER; break;
    case OptionId::GetBuild: options_.flags |= FLAG_GET_BUILD; break;
    case OptionId::DeviceInfo: options_.flags |= FLAG_DEVICE_INFO; break;
    case OptionId::Update: options_.flags |= FLAG_UPDATE; break;
    case OptionId::Override: options_.override = true; break;
    case OptionId::Fingerprint: options_.flags |= FLAG_FINGERPRINT; break;
    case OptionId::Unhandled: reject("Unhandled command: [%s]", entry.name); break;
    case OptionId::CheckBird: options_.flags |= FLAG_CHECK_BIRD; break;
    case OptionId::GetJwt: options_.flags |= FLAG_GET_JWT; break;
    case OptionId::Help:
        options_.flags |= FLAG_HELP;
        options_.helpRequested = true;
        return false;
    case OptionId::Network: options_.networkFlag = true; break;
    case OptionId::DebugMask: setDebugMask(entry, value); break;
    case OptionId::ReservedZ: options_.flags |= FLAG_RESERVED_Z; break;
    case OptionId::UeiBytes:
        options_.useUeiBytes = startsWith(value, "1") || startsWith(value, "true");
        break;
    case OptionId::StoreBase: options_.storeBase = value; break;
    case OptionId::Build: {
        uint32_t build = 0;
        if (parseUnsigned(entry, value, build)) {
            options_.build = std::to_string(build);
        }
        break;
    }
    case OptionId::Serial:
        if (parseSerial(value, "Discarding '0x' serial number prefix\n",
                        "Invalid serial number obtained from argument [%s]", options_.serial) &&
            std::find(options_.serials.begin(), options_.serials.end(), options_.serial) ==
                options_.serials.end()) {
            options_.serials.push_back(options_.serial);
        }
        break;
    case OptionId::Transport: setTransport(value); break;
    case OptionId::BirdFile: options_.birdFile = value; break;
    case OptionId::RouterSerial:
        parseSerial(value, "Discarding '0x' router serial number prefix\n",
                    "Invalid router serial number obtained from argument [%s]",
                    options_.routerSerial);
        break;
    case OptionId::SerialPort: options_.serialPort = value; break;
    case OptionId::BaudRate: parseUnsigned(entry, value, options_.baudRate); break;
    case OptionId::Echo: options_.echo = true; break;
    case OptionId::LogMessage: options_.logMessage = value; break;
    case OptionId::LogFileName: options_.logFileName = value; break;
    case OptionId::ServerUrl: options_.serverUrl = value; break;
    case OptionId::Json: options_.json = true; break;
    case OptionId::AllModules: options_.allModules = true; break;
    case OptionId::Jobs: setJobs(entry, value); break;
    case OptionId::Doctor: options_.doctor = true; break;
    case OptionId::CaFile: options_.caFile = value; break;
    case OptionId::MetricsFile: options_.metricsFile = value; break;
    }
    return true;
}

void OptionParser::setDebugMask(const OptionEntry& entry, const std::string& value) {
    int base = startsWith(value, "0x") || startsWith(value, "0X") ? 16 : 10;
    char* end = nullptr;
    // A mask wider than 32 bits asks for every bit, as a 32-bit strtoul saturates; cutting it
    // would keep an arbitrary low part.
    unsigned long mask = std::min<unsigned long>(strtoul(value.c_str(), &end, base), UINT32_MAX);
    options_.debugMask = static_cast<uint32_t>(mask);
    if (*end != '\0') {
        // A mask with stray characters is reported but does not fail the run.
        displayPrint(display_, DISPLAY_ERROR,
                     "Invalid format for \"%s\" parameter, unprocessed characters [%s]", entry.name,
                     end);
        return;
    }
    // Takes effect at once, so the options after -X are traced under the new mask.
    Debug_AddMask(static_cast<uint32_t>(mask));
}

bool OptionParser::parseSerial(const std::string& value, const char* prefixTrace,
                               const char* invalidMessage, uint32_t& out) {
    const char* text = value.c_str();
    if (startsWith(value, "0x") || startsWith(value, "0X")) {
        Debug_Print(DEBUG_Updater, "%s", prefixTrace);
        text += 2;
    }
    char* end = nullptr;
    unsigned long long serial = parseHexNumber(text, &end);
    // A serial number wider than 32 bits names no module; truncating it would name another one.
    if (serial == 0 || serial > std::numeric_limits<uint32_t>::max()) {
        reject(invalidMessage, text);
        return false;
    }
    out = static_cast<uint32_t>(serial);
    return true;
}

bool OptionParser::parseUnsigned(const OptionEntry& entry, const std::string& value,
                                 uint32_t& out) {
    size_t digits = strspn(value.c_str(), kDecimalDigits);
    if (digits != value.size()) {
        reject("Invalid format for \"%s\" parameter, unprocessed characters [%s]", entry.name,
               value.c_str() + digits);
        return false;
    }
    char* end = nullptr;
    // A number too large for strtoull comes back as ULLONG_MAX, beyond 32 bits as well.
    static_assert(std::numeric_limits<unsigned long long>::max() >
                  std::numeric_limits<uint32_t>::max());
    unsigned long long number = parseDecimalNumber(value.c_str(), &end);
    if (number > std::numeric_limits<uint32_t>::max()) {
        reject("Value out of range for \"%s\" parameter [%s]", entry.name, value.c_str());
        return false;
    }
    out = static_cast<uint32_t>(number);
    return true;
}

void OptionParser::setTransport(const std::string& value) {
    options_.transportGiven = true;
    if (startsWith(value, "USB")) {
        options_.transport = TRANSPORT_USB;
    } else if (startsWith(value, "TCP")) {
        options_.transport = TRANSPORT_TCPIP;
    } else if (startsWith(value, "RECOVER")) {
        options_.transport = TRANSPORT_RECOVER;
    } else {
        options_.transport = TRANSPORT_NONE;
        reject("Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
               value.c_str());
    }
}

void OptionParser::setJobs(const OptionEntry& entry, const std::string& value) {
    uint32_t jobs = 0;
    if (!parseUnsigned(entry, value, jobs)) {
        return;
    }
    if (jobs == 0 || jobs > kMostJobs) {
        const std::string format =
            "Value out of range for \"%s\" parameter [%s]: 1 to " + std::to_string(kMostJobs);
        reject(format.c_str(), entry.name, value.c_str());
        return;
    }
    options_.jobs = jobs;
}

} // namespace

unsigned long long parseHexNumber(const char* text, char** end) {
    return parseNumber(text, end, kHexDigits, 16);
}

unsigned long long parseDecimalNumber(const char* text, char** end) {
    return parseNumber(text, end, kDecimalDigits, 10);
}

int parseOptions(UpdaterDisplayInterface& display, int argc, const char* const* argv,
                 UpdaterOptions& options) {
    return OptionParser(display, options).parse(argc, argv);
}
