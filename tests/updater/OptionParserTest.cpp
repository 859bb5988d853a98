// The Updater's command line: option lookup, the "/" word rule, values and their messages.
#include "OptionTable.h"
#include "RecordingDisplay.h"
#include "UpdaterOptions.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace {

struct Parsed {
    int result;
    UpdaterOptions options;
    RecordingDisplay display;
};

Parsed parse(std::initializer_list<const char*> words) {
    std::vector<const char*> argv{"/usr/local/bin/Updater"};
    argv.insert(argv.end(), words.begin(), words.end());
    Parsed parsed;
    parsed.result =
        parseOptions(parsed.display, static_cast<int>(argv.size()), argv.data(), parsed.options);
    return parsed;
}

std::string dashed(std::string_view word) {
    return optionForm(updaterOptionTable(), word);
}

TEST(OptionLookup, ExactNamesWinAndUniquePrefixesSelectTheirEntry) {
    auto table = updaterOptionTable();
    EXPECT_STREQ(matchOption(table, "-h").entry->name, "-h");
    EXPECT_STREQ(matchOption(table, "-H").entry->name, "-H");
    EXPECT_STREQ(matchOption(table, "--he").entry->name, "--help");
    EXPECT_STREQ(matchOption(table, "--h").entry->name, "--help");
    EXPECT_STREQ(matchOption(table, "-O").entry->name, "-OVERRIDE");
    EXPECT_STREQ(matchOption(table, "-OVER").entry->name, "-OVERRIDE");
    EXPECT_STREQ(matchOption(table, "-OVERRIDE").entry->name, "-OVERRIDE");
    EXPECT_STREQ(matchOption(table, "--d").entry->name, "--doctor");
}

TEST(OptionLookup, DashCountCaseAndOverlongNamesDoNotMatch) {
    auto table = updaterOptionTable();
    EXPECT_EQ(matchOption(table, "-help").result,
              OptionMatch::Unknown); // one dash, "-h" is exact only
    EXPECT_EQ(matchOption(table, "--O").result, OptionMatch::Unknown);
    EXPECT_EQ(matchOption(table, "-over").result, OptionMatch::Unknown);
    EXPECT_EQ(matchOption(table, "-doctor").result, OptionMatch::Unknown); // -d takes a value
    EXPECT_EQ(matchOption(table, "-j").result, OptionMatch::Unknown);
    EXPECT_EQ(matchOption(table, "-OVERRIDES").result, OptionMatch::Unknown);
    EXPECT_EQ(matchOption(table, "-x").result, OptionMatch::Unknown);
    EXPECT_EQ(matchOption(table, "-").result, OptionMatch::Unknown);
    EXPECT_EQ(matchOption(table, "--").result, OptionMatch::Unknown);
}

TEST(OptionLookup, APrefixOfSeveralEntriesIsAmbiguous) {
    const OptionEntry table[] = {
        {"-verbose", OptionKind::Parameter, false, OptionId::Echo},
        {"-version", OptionKind::Parameter, false, OptionId::Network},
        {"-v", OptionKind::Parameter, false, OptionId::Override},
    };
    OptionMatch match = matchOption(table, "-ver");
    EXPECT_EQ(match.result, OptionMatch::Ambiguous);
    ASSERT_EQ(match.matches.size(), 2u);
    EXPECT_EQ(matchOption(table, "-verb").entry, &table[0]);
    EXPECT_EQ(matchOption(table, "-v").entry, &table[2]); // exact beats every prefix
}

// The double-dash options for scripts and racks must leave every word that matched before
// matching the same entry (or failing the same way): "--h" and "--he" still mean --help.
TEST(OptionLookup, TheScriptOptionsChangeNoEarlierMatch) {
    const auto table = updaterOptionTable();
    std::vector<OptionEntry> earlier;
    for (const OptionEntry& entry : table) {
        if (entry.id != OptionId::Json && entry.id != OptionId::AllModules &&
            entry.id != OptionId::Jobs) {
            earlier.push_back(entry);
        }
    }
    ASSERT_EQ(earlier.size() + 3, table.size());
    std::vector<std::string> words = {"-", "--", "---", "-j", "-a", "--x", "-json"};
    for (const OptionEntry& entry : earlier) {
        const std::string name = entry.name;
        for (size_t length = 1; length <= name.size(); ++length) {
            words.push_back(name.substr(0, length));
        }
    }
    for (const std::string& word : words) {
        const OptionMatch before = matchOption(earlier, word);
        const OptionMatch now = matchOption(table, word);
        ASSERT_EQ(now.result, before.result) << word;
        if (before.result == OptionMatch::Found) {
            EXPECT_STREQ(now.entry->name, before.entry->name) << word;
        }
    }
    EXPECT_STREQ(matchOption(table, "--js").entry->name, "--json");
    EXPECT_STREQ(matchOption(table, "--jo").entry->name, "--jobs");
    EXPECT_STREQ(matchOption(table, "--a").entry->name, "--all");
    EXPECT_EQ(matchOption(table, "--j").result, OptionMatch::Ambiguous);
}

TEST(Values, RepeatedSerialNumbersAreKeptOnceInOrderAndTheLastIsTheSerial) {
    Parsed p = parse({"-d", "2181F0EE", "-d", "0x40F5849A", "-d", "2181F0EE", "--jobs", "3"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.options.serial, 0x2181F0EEu);
    EXPECT_EQ(p.options.serials, (std::vector<uint32_t>{0x2181F0EE, 0x40F5849A}));
    EXPECT_EQ(p.options.jobs, 3u);
    for (const char* jobs : {"0", "65", "x"}) {
        Parsed bad = parse({"--jobs", jobs});
        EXPECT_EQ(bad.result, 1) << jobs;
        EXPECT_EQ(bad.options.jobs, 0u) << jobs;
    }
}

TEST(SlashWords, OptionNamesAreOptions) {
    EXPECT_EQ(dashed("/D"), "-D");
    EXPECT_EQ(dashed("/OVER"), "-OVER");
    EXPECT_EQ(dashed("/d=40F5849A"), "-d=40F5849A");
    EXPECT_EQ(dashed("-anything"), "-anything");
}

TEST(SlashWords, PathsAndNonOptionsStayOrdinaryWords) {
    EXPECT_EQ(dashed("/dev/ttyUSB0"), "");
    EXPECT_EQ(dashed("/dev/serial"), "");
    EXPECT_EQ(dashed("/tmp"), "");
    EXPECT_EQ(dashed("/"), "");
    EXPECT_EQ(dashed("/-help"), "");        // "/-" never starts an option
    EXPECT_EQ(dashed("/i=/tmp/store"), ""); // a second "/" makes it a path
    EXPECT_EQ(dashed("/D/"), "");
    EXPECT_EQ(dashed("40F5849A"), "");
}

TEST(SlashWords, SlashOptionsAreAcceptedOnTheCommandLine) {
    Parsed p = parse({"/D", "/d", "40F5849A", "/t=TCP"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.options.flags, FLAG_DISCOVER);
    EXPECT_EQ(p.options.serial, 0x40F5849Au);
    EXPECT_EQ(p.options.transport, TRANSPORT_TCPIP);
}

TEST(SlashWords, PathValuesAreTakenAsValues) {
    Parsed p = parse({"-U", "-t", "RECOVER", "-s", "/dev/serial", "-i", "/tmp/store", "-f",
                      "/opt/fw/12345.bird"});
    EXPECT_EQ(p.result, 0) << testing::PrintToString(p.display.errors());
    EXPECT_EQ(p.options.serialPort, "/dev/serial");
    EXPECT_EQ(p.options.storeBase, "/tmp/store");
    EXPECT_EQ(p.options.birdFile, "/opt/fw/12345.bird");
    EXPECT_EQ(p.options.transport, TRANSPORT_RECOVER);
}

TEST(SlashWords, AnOptionLikeSlashWordIsNotTakenAsAValue) {
    Parsed p = parse({"-s", "/D"});
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.options.serialPort, "");
    EXPECT_EQ(p.options.flags, FLAG_DISCOVER);
    EXPECT_EQ(p.display.errors(), std::vector<std::string>{"Missing value for option [-s]"});
}

TEST(Values, EqualsSignGivesTheValue) {
    Parsed p = parse({"-d=40F5849A", "-b=12345", "-G"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.options.serial, 0x40F5849Au);
    EXPECT_EQ(p.options.build, "12345");
}

TEST(Values, PrefixedAndPlainSerialNumbersAgree) {
    Parsed plain = parse({"-d", "40F5849A"});
    Parsed prefixed = parse({"-d", "0x40F5849A"});
    Parsed upper = parse({"-d", "0X40f5849a"});
    EXPECT_EQ(plain.options.serial, 0x40F5849Au);
    EXPECT_EQ(prefixed.options.serial, 0x40F5849Au);
    EXPECT_EQ(upper.options.serial, 0x40F5849Au);
}

TEST(Values, BadSerialNumbersAreRejectedWithTheTextAfterThePrefix) {
    struct Case {
        const char* value;
        const char* message;
    } cases[] = {
        {"0", "Invalid serial number obtained from argument [0]"},
        {"12XY", "Invalid serial number obtained from argument [12XY]"},
        {"0x", "Invalid serial number obtained from argument []"},
        {"0x12XY", "Invalid serial number obtained from argument [12XY]"},
        {"140F5849A", "Invalid serial number obtained from argument [140F5849A]"},
    };
    for (const Case& c : cases) {
        Parsed p = parse({"-d", c.value});
        EXPECT_EQ(p.result, 1) << c.value;
        EXPECT_EQ(p.options.serial, 0u) << c.value;
        EXPECT_EQ(p.display.errors(), std::vector<std::string>{c.message});
    }
    Parsed router = parse({"-r", "0xZZ"});
    EXPECT_EQ(router.result, 1);
    EXPECT_EQ(router.display.errors(),
              std::vector<std::string>{"Invalid router serial number obtained from argument [ZZ]"});
}

TEST(Values, TransportNamesArePrefixesAndCaseSensitive) {
    EXPECT_EQ(parse({"-t", "TCPIP"}).options.transport, TRANSPORT_TCPIP);
    EXPECT_EQ(parse({"-t", "USB"}).options.transport, TRANSPORT_USB);
    EXPECT_EQ(parse({"-t", "RECOVERY"}).options.transport, TRANSPORT_RECOVER);
    Parsed bad = parse({"-t", "serial"});
    EXPECT_EQ(bad.result, 1);
    EXPECT_TRUE(bad.options.transportGiven);
    EXPECT_EQ(bad.options.transport, TRANSPORT_NONE);
    EXPECT_EQ(
        bad.display.errors(),
        std::vector<std::string>{
            "Invalid transport type:[serial]\nMust be one of the following: USB, TCPIP, RECOVER"});
    EXPECT_EQ(parse({"-t", "usb"}).result, 1);
}

TEST(Values, DecimalValuesMustBeDigitsOnlyAndFitIn32Bits) {
    Parsed ok = parse({"-b", "0099528558", "-o", "230400"});
    EXPECT_EQ(ok.result, 0);
    EXPECT_EQ(ok.options.build, "99528558");
    EXPECT_EQ(ok.options.baudRate, 230400u);

    Parsed letters = parse({"-b", "12ab"});
    EXPECT_EQ(letters.result, 1);
    EXPECT_EQ(letters.options.build, "");
    EXPECT_EQ(letters.display.errors(),
              std::vector<std::string>{
                  "Invalid format for \"-b\" parameter, unprocessed characters [ab]"});

    Parsed big = parse({"-o", "4294967296"});
    EXPECT_EQ(big.result, 1);
    EXPECT_EQ(big.options.baudRate, 115200u);
}

TEST(Values, UeiBytesFlagReadsOneOrTrue) {
    EXPECT_TRUE(parse({}).options.useUeiBytes);
    EXPECT_TRUE(parse({"-m", "1"}).options.useUeiBytes);
    EXPECT_TRUE(parse({"-m", "true"}).options.useUeiBytes);
    EXPECT_FALSE(parse({"-m", "0"}).options.useUeiBytes);
    EXPECT_FALSE(parse({"-m", "yes"}).options.useUeiBytes);
}

TEST(Values, MissingValueLeavesTheNextOptionOnTheCommandLine) {
    Parsed p = parse({"-d", "-U"});
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.options.flags, FLAG_UPDATE);
    EXPECT_EQ(p.display.errors(), std::vector<std::string>{"Missing value for option [-d]"});
    Parsed last = parse({"-G", "-b"});
    EXPECT_EQ(last.result, 1);
    EXPECT_EQ(last.display.errors(), std::vector<std::string>{"Missing value for option [-b]"});
}

TEST(CommandLineErrors, EveryBadWordIsReportedAndParsingGoesOn) {
    Parsed p = parse({"-Q", "-U=1", "stray", "-Y", "-OVER", "-d", "40F5849A"});
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.display.errors(), (std::vector<std::string>{
                                      "Unknown option: [-Q]",
                                      "Option [-U] does not take a value",
                                      "Unexpected argument: [stray]",
                                      "Unhandled command: [-Y]",
                                  }));
    EXPECT_TRUE(p.options.override);
    EXPECT_EQ(p.options.serial, 0x40F5849Au);
    EXPECT_EQ(p.options.flags, 0u);
}

TEST(Help, StopsParsingAtOnceAndSucceeds) {
    Parsed p = parse({"-D", "--he", "-Q", "-d", "12XY"});
    EXPECT_EQ(p.result, 0);
    EXPECT_TRUE(p.options.helpRequested);
    EXPECT_EQ(p.options.flags, FLAG_DISCOVER | FLAG_HELP);
    EXPECT_TRUE(p.display.lines.empty());
    EXPECT_EQ(parse({"-H", "-d"}).result, 0);
}

TEST(Commands, EachCommandLetterSetsItsFlag) {
    Parsed p = parse({"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "x"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.options.flags, FLAG_LIST_BUILDS | FLAG_LIST_LOCAL | FLAG_DISCOVER | FLAG_GET_BUILD |
                                   FLAG_DEVICE_INFO | FLAG_UPDATE | FLAG_FINGERPRINT |
                                   FLAG_CHECK_BIRD | FLAG_GET_JWT | FLAG_RESERVED_Z);
    EXPECT_EQ(p.options.flags & ~FLAG_ANY_COMMAND, 0u);
}

TEST(NumberHelpers, ConvertOnlyTextsMadeOfTheirDigits) {
    char* end = nullptr;
    EXPECT_EQ(parseHexNumber("40F5849A", &end), 0x40F5849Aul);
    EXPECT_EQ(*end, '\0');
    EXPECT_EQ(parseHexNumber("40f5849a", &end), 0x40F5849Aul);
    char* untouched = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(parseHexNumber("0x12", &untouched), 0ul);
    EXPECT_EQ(untouched, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(parseHexNumber(" 12", &end), 0ul);
    EXPECT_EQ(parseHexNumber("12", nullptr), 0ul);
    EXPECT_EQ(parseHexNumber("", &end), 0ul);
    EXPECT_EQ(parseDecimalNumber("1234", &end), 1234ul);
    EXPECT_EQ(parseDecimalNumber("12A", &end), 0ul);
    EXPECT_EQ(parseDecimalNumber("-1", &end), 0ul);
    EXPECT_EQ(parseDecimalNumber("7", nullptr), 0ul);
}

} // namespace
