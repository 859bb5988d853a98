// The tools' command-line parser: each tool lists its options in a table (names, how many words
// follow, a handler) and keeps its own help and its own error texts.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace Corvane::Tools {

// The words that follow an option on the command line, as many as its entry takes.
using OptionValues = std::span<const std::string>;

// Takes an option's values into the tool's settings. An empty text accepts them; any other text
// is the error the tool prints, and the walk ends there.
using OptionHandler = std::function<std::string(OptionValues values)>;

struct ToolOption {
    std::string name{};     // as written, dashes included
    std::string alias{};    // a second spelling ("-h" beside "--help"), or empty
    std::size_t values = 0; // words taken after it: 0 for a flag
    // What those words are ("an address"), for the tool's missing-value error; may be empty.
    std::string valueName{};
    OptionHandler handler{}; // null for an entry that only ends the walk
    bool stops = false;      // the walk ends once it is taken (help, "--")
};

// What a tool says about the words its table does not take.
struct OptionRules {
    // The error for a word that names no entry; followed: another word comes after it.
    std::function<std::string(const std::string& word, bool followed)> unknown{};
    // The error for an option given without all of its values; word is the spelling used. Needed
    // only where an entry takes values.
    std::function<std::string(const ToolOption& option, const std::string& word)> missingValue{};
    // Takes a word that does not start with "-" (a file, a directory); null: such a word is an
    // unknown option like any other.
    std::function<std::string(const std::string& word)> operand{};
};

struct OptionWalk {
    enum class Outcome { Done, Stopped, Failed };
    Outcome outcome = Outcome::Done;
    std::string error;                     // Failed: what a handler or the rules said
    const ToolOption* stoppedBy = nullptr; // Stopped: the entry that ended the walk
    std::size_t next = 0;                  // Stopped: the index of the first word after it
};

// Walks the words left to right. A word equal to an entry's name or alias takes that entry and
// the words after it that the entry needs; nothing is abbreviated. The first error ends the walk.
OptionWalk walkOptions(std::span<const ToolOption> table, const OptionRules& rules,
                       std::span<const std::string> words);

// The words of a command line after the program's name.
std::vector<std::string> commandWords(int argc, const char* const* argv);

// The rules of the simulators' command lines, which take no operands: a value-taking option at
// the end reads as "unknown option or missing value", as it always has.
OptionRules unknownOrMissingRules();

// A handler for a flag: sets flag and accepts.
OptionHandler setsFlag(bool& flag);

} // namespace Corvane::Tools
