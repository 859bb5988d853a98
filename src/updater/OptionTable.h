// The Updater's option table and the rules that tell an option word from an ordinary word and
// pick its table entry.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class OptionKind { Command, Help, Parameter };

enum class OptionId {
    ListBuilds,
    ListLocal,
    Discover,
    GetBuild,
    DeviceInfo,
    Update,
    Override,
    Fingerprint,
    Unhandled,
    CheckBird,
    GetJwt,
    Help,
    Network,
    DebugMask,
    ReservedZ,
    UeiBytes,
    StoreBase,
    Build,
    Serial,
    Transport,
    BirdFile,
    RouterSerial,
    SerialPort,
    BaudRate,
    Echo,
    LogMessage,
    LogFileName,
    ServerUrl,
    // Double-dash options beyond the single letters; the prefix rule keeps them apart.
    Json,
    AllModules,
    Jobs,
    Doctor,
    CaFile,
    MetricsFile,
};

struct OptionEntry {
    const char* name; // as written on the command line, dashes included
    OptionKind kind;
    bool takesValue;
    OptionId id;
};

// The Updater's own table.
std::span<const OptionEntry> updaterOptionTable();

struct OptionMatch {
    enum Result { Found, Unknown, Ambiguous } result = Unknown;
    const OptionEntry* entry = nullptr;      // set when Found
    std::vector<const OptionEntry*> matches; // the candidates when Ambiguous
};

// Looks a dashed name ("-d", "--he", "-OVER") up, case-sensitively: an exact match wins; else a
// name that is a proper prefix of exactly one entry with the same number of leading dashes
// selects it. A prefix of several entries is ambiguous.
OptionMatch matchOption(std::span<const OptionEntry> table, std::string_view name);

// The dashed form of a command-line word when the word is an option, else an empty text.
// A word starting with "-" is always an option (possibly unknown). A word starting with "/" is
// one only when "-" followed by its rest names an entry (exactly or by prefix, before any "=")
// and it holds no further "/", so paths such as /dev/ttyUSB0 stay ordinary words.
std::string optionForm(std::span<const OptionEntry> table, std::string_view word);
