// The tools' table-driven command-line walk.
#include "ToolOptions.h"

namespace Corvane::Tools {

namespace {

const ToolOption* find(std::span<const ToolOption> table, const std::string& word) {
    for (const ToolOption& option : table)
        if (word == option.name || (!option.alias.empty() && word == option.alias))
            return &option;
    return nullptr;
}

} // namespace

OptionWalk walkOptions(std::span<const ToolOption> table, const OptionRules& rules,
                       std::span<const std::string> words) {
    OptionWalk walk;
    auto fail = [&walk](std::string error) {
        walk.outcome = OptionWalk::Outcome::Failed;
        walk.error = std::move(error);
        return walk;
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const bool followed = i + 1 < words.size();
        if (rules.operand && (word.empty() || word.front() != '-')) {
            if (std::string error = rules.operand(word); !error.empty())
                return fail(std::move(error));
            continue;
        }
        const ToolOption* option = find(table, word);
        if (option == nullptr)
            return fail(rules.unknown(word, followed));
        if (words.size() - i - 1 < option->values)
            return fail(rules.missingValue(*option, word));
        const OptionValues values = words.subspan(i + 1, option->values);
        i += option->values;
        if (option->handler)
            if (std::string error = option->handler(values); !error.empty())
                return fail(std::move(error));
        if (option->stops) {
            walk.outcome = OptionWalk::Outcome::Stopped;
            walk.stoppedBy = option;
            walk.next = i + 1;
            return walk;
        }
    }
    return walk;
}

std::vector<std::string> commandWords(int argc, const char* const* argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

OptionRules unknownOrMissingRules() {
    return {
        .unknown =
            [](const std::string& word, bool followed) {
                return (followed ? "unknown option: " : "unknown option or missing value: ") + word;
            },
        .missingValue =
            [](const ToolOption&, const std::string& word) {
                return "unknown option or missing value: " + word;
            },
        .operand = nullptr,
    };
}

OptionHandler setsFlag(bool& flag) {
    return [&flag](OptionValues) {
        flag = true;
        return std::string();
    };
}

} // namespace Corvane::Tools
