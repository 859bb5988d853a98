// The Updater's option table, option lookup with unique prefixes, and the "/" word rule.
#include "OptionTable.h"

namespace {

constexpr OptionEntry kOptions[] = {
    {"-B", OptionKind::Command, false, OptionId::ListBuilds},
    {"-L", OptionKind::Command, false, OptionId::ListLocal},
    {"-D", OptionKind::Command, false, OptionId::Discover},
    {"-G", OptionKind::Command, false, OptionId::GetBuild},
    {"-I", OptionKind::Command, false, OptionId::DeviceInfo},
    {"-U", OptionKind::Command, false, OptionId::Update},
    {"-OVERRIDE", OptionKind::Command, false, OptionId::Override},
    {"-N", OptionKind::Command, false, OptionId::Fingerprint},
    {"-Y", OptionKind::Command, false, OptionId::Unhandled},
    {"-C", OptionKind::Command, false, OptionId::CheckBird},
    {"-J", OptionKind::Command, false, OptionId::GetJwt},
    {"-h", OptionKind::Help, false, OptionId::Help},
    {"-H", OptionKind::Help, false, OptionId::Help},
    {"--help", OptionKind::Help, false, OptionId::Help},
    {"-n", OptionKind::Parameter, false, OptionId::Network},
    {"-X", OptionKind::Parameter, true, OptionId::DebugMask},
    {"-Z", OptionKind::Parameter, true, OptionId::ReservedZ},
    {"-m", OptionKind::Parameter, true, OptionId::UeiBytes},
    {"-i", OptionKind::Parameter, true, OptionId::StoreBase},
    {"-b", OptionKind::Parameter, true, OptionId::Build},
    {"-d", OptionKind::Parameter, true, OptionId::Serial},
    {"-t", OptionKind::Parameter, true, OptionId::Transport},
    {"-f", OptionKind::Parameter, true, OptionId::BirdFile},
    {"-r", OptionKind::Parameter, true, OptionId::RouterSerial},
    {"-s", OptionKind::Parameter, true, OptionId::SerialPort},
    {"-o", OptionKind::Parameter, true, OptionId::BaudRate},
    {"-e", OptionKind::Parameter, false, OptionId::Echo},
    {"-l", OptionKind::Parameter, true, OptionId::LogMessage},
    {"-k", OptionKind::Parameter, true, OptionId::LogFileName},
    {"-u", OptionKind::Parameter, true, OptionId::ServerUrl},
    // For scripts and racks, and the pre-flight check. Two dashes keep them apart from the
    // single-letter entries: no abbreviation that selected an entry above selects anything else
    // now.
    {"--json", OptionKind::Parameter, false, OptionId::Json},
    {"--all", OptionKind::Parameter, false, OptionId::AllModules},
    {"--jobs", OptionKind::Parameter, true, OptionId::Jobs},
    {"--doctor", OptionKind::Command, false, OptionId::Doctor},
    {"--ca-file", OptionKind::Parameter, true, OptionId::CaFile},
    {"--metrics-file", OptionKind::Parameter, true, OptionId::MetricsFile},
};

size_t leadingDashes(std::string_view text) {
    size_t n = 0;
    while (n < text.size() && text[n] == '-') {
        ++n;
    }
    return n;
}

} // namespace

std::span<const OptionEntry> updaterOptionTable() {
    return kOptions;
}

OptionMatch matchOption(std::span<const OptionEntry> table, std::string_view name) {
    OptionMatch match;
    for (const OptionEntry& entry : table) {
        if (name == entry.name) {
            match.result = OptionMatch::Found;
            match.entry = &entry;
            match.matches.clear();
            return match;
        }
    }
    size_t dashes = leadingDashes(name);
    // A bare "-" or "--" abbreviates nothing.
    if (dashes == name.size()) {
        return match;
    }
    for (const OptionEntry& entry : table) {
        std::string_view candidate(entry.name);
        if (leadingDashes(candidate) == dashes && candidate.size() > name.size() &&
            candidate.substr(0, name.size()) == name) {
            match.matches.push_back(&entry);
        }
    }
    if (match.matches.size() == 1) {
        match.result = OptionMatch::Found;
        match.entry = match.matches.front();
        match.matches.clear();
    } else if (match.matches.size() > 1) {
        match.result = OptionMatch::Ambiguous;
    }
    return match;
}

std::string optionForm(std::span<const OptionEntry> table, std::string_view word) {
    if (word.empty()) {
        return {};
    }
    if (word.front() == '-') {
        return std::string(word);
    }
    // On this platform "/" starts paths; "/D"-style options are kept only where no path could be
    // meant: "/-..." is never an option, and neither is a word with a second "/".
    if (word.front() != '/' || word.size() < 2 || word[1] == '-' ||
        word.find('/', 1) != std::string_view::npos) {
        return {};
    }
    std::string dashed(1, '-');
    dashed.append(word.substr(1));
    std::string_view name(dashed);
    name = name.substr(0, name.find('='));
    if (matchOption(table, name).result != OptionMatch::Found) {
        return {};
    }
    return dashed;
}
