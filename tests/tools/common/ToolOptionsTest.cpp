// The tools' option walk: names and aliases, values, operands, the entries that stop it, and
// which error wins, over one small table.
#include "ToolOptions.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace Corvane::Tools;
using Outcome = OptionWalk::Outcome;

struct Settings {
    bool flag = false;
    std::string name;
    std::vector<std::string> pair;
    std::vector<std::string> operands;
};

struct Case {
    std::vector<std::string> words;
    bool operands; // whether the rules take operands
    Outcome outcome;
    std::string error;   // when Failed
    std::string stopper; // when Stopped: the entry's name
    std::size_t next;    // when Stopped
    Settings after;
};

// A failing case names its words.
void PrintTo(const Case& c, std::ostream* out) {
    for (const std::string& word : c.words)
        *out << '"' << word << "\" ";
}

class ToolOptionsWalk : public testing::TestWithParam<Case> {
  protected:
    OptionWalk walk(bool withOperands) {
        if (withOperands)
            rules.operand = [this](const std::string& word) {
                s.operands.push_back(word);
                return std::string();
            };
        return walkOptions(table, rules, GetParam().words);
    }

    Settings s;
    const std::vector<ToolOption> table{
        {.name = "--help", .alias = "-h", .stops = true},
        {.name = "--", .stops = true},
        {.name = "--flag", .handler = setsFlag(s.flag)},
        {.name = "--name",
         .values = 1,
         .valueName = "a name",
         .handler = [this](OptionValues v) -> std::string {
             if (v[0] == "bad")
                 return "bad name";
             s.name = v[0];
             return {};
         }},
        {.name = "--pair",
         .values = 2,
         .handler =
             [this](OptionValues v) {
                 s.pair.assign(v.begin(), v.end());
                 return std::string();
             }},
    };
    OptionRules rules{
        .unknown = [](const std::string& word,
                      bool followed) { return "unknown " + word + (followed ? " +" : ""); },
        .missingValue =
            [](const ToolOption& option, const std::string& word) {
                return word + " needs " +
                       (option.valueName.empty() ? std::to_string(option.values)
                                                 : option.valueName);
            },
    };
};

TEST_P(ToolOptionsWalk, TakesWhatTheTableSays) {
    const Case& c = GetParam();
    const OptionWalk result = walk(c.operands);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.error, c.error);
    if (c.outcome == Outcome::Stopped) {
        ASSERT_NE(result.stoppedBy, nullptr);
        EXPECT_EQ(result.stoppedBy->name, c.stopper);
        EXPECT_EQ(result.next, c.next);
    }
    EXPECT_EQ(s.flag, c.after.flag);
    EXPECT_EQ(s.name, c.after.name);
    EXPECT_EQ(s.pair, c.after.pair);
    EXPECT_EQ(s.operands, c.after.operands);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolOptionsWalk,
    testing::Values(
        Case{{}, false, Outcome::Done, "", "", 0, {}},
        Case{{"--flag", "--name", "x", "--pair", "1", "2"},
             false,
             Outcome::Done,
             "",
             "",
             0,
             {true, "x", {"1", "2"}, {}}},
        // A value is taken as it stands, dashes and all.
        Case{{"--name", "--flag"}, false, Outcome::Done, "", "", 0, {false, "--flag", {}, {}}},
        // Help ends the walk where it stands: later words are not looked at, earlier ones were.
        Case{{"--name", "x", "-h", "--bogus"},
             false,
             Outcome::Stopped,
             "",
             "--help",
             3,
             {false, "x", {}, {}}},
        Case{{"--bogus", "--help"}, false, Outcome::Failed, "unknown --bogus +", "", 0, {}},
        Case{{"--", "run", "--flag"}, false, Outcome::Stopped, "", "--", 1, {}},
        // Nothing is abbreviated or split at "=".
        Case{{"--fla"}, false, Outcome::Failed, "unknown --fla", "", 0, {}},
        Case{{"--name=x"}, false, Outcome::Failed, "unknown --name=x", "", 0, {}},
        // Too few values: the rules phrase it, with the entry's value name or count.
        Case{{"--name"}, false, Outcome::Failed, "--name needs a name", "", 0, {}},
        Case{{"--pair", "1"}, false, Outcome::Failed, "--pair needs 2", "", 0, {}},
        // A handler's error ends the walk; what came before stays taken.
        Case{{"--flag", "--name", "bad", "--pair", "1", "2"},
             false,
             Outcome::Failed,
             "bad name",
             "",
             0,
             {true, "", {}, {}}},
        // Without an operand rule a plain word is an unknown option; with one, any word that
        // does not start with "-" is an operand, the empty word too.
        Case{{"file"}, false, Outcome::Failed, "unknown file", "", 0, {}},
        Case{{"file", "", "--flag"}, true, Outcome::Done, "", "", 0, {true, "", {}, {"file", ""}}},
        Case{{"file", "-"}, true, Outcome::Failed, "unknown -", "", 0, {false, "", {}, {"file"}}}));

} // namespace
