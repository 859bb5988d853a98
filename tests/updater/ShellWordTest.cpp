// Words the Updater prints for pasting into a shell: bash reads each back as the same bytes, and
// the printed text is one line with nothing a terminal acts on.
#include "ShellWord.h"
#include "PrintableText.h"
#include "RecoveryAdvice.h"
#include "ShellRoundTrip.h"

#include <gtest/gtest.h>

namespace {

using testsupport::shellCalls;

// One printable line: no control character of any kind.
bool printableLine(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const OutsideCharacter character = outsideCharacterAt(text, at);
        if (character.control)
            return false;
        at += character.length;
    }
    return true;
}

TEST(ShellWord, BashReadsEveryWordBackAsItsBytes) {
    const struct {
        std::string word;
        std::string quoted; // empty: whatever reads back
    } cases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"http://127.0.0.1:8380/cgi/u?a=1%2C2", "'http://127.0.0.1:8380/cgi/u?a=1%2C2'"},
        {"", "''"},
        {"/home/a b/$(touch x)`id`", "'/home/a b/$(touch x)`id`'"},
        {"it's \"quoted\" \\ *", "'it'\\''s \"quoted\" \\ *'"},
        {"/dev/tty\nUSB0", "$'/dev/tty\\nUSB0'"},
        {"\x1b[2J\x1b]0;title\x07", "$'\\e[2J\\e]0;title\\x07'"},
        {"tab\there\rdel\x7f", "$'tab\\there\\rdel\\x7F'"},
        // C1 controls raw, and U+009B in UTF-8; other UTF-8 stays as it is.
        {"csi\x9b"
         "31m",
         "$'csi\\x9B31m'"},
        {"csi\xc2\x9b"
         "31m ünï",
         "$'csi\\xC2\\x9B31m ünï'"},
        {"mixed 'q' \\ \n$HOME", "$'mixed \\'q\\' \\\\ \\n$HOME'"},
        {"\xff\xfe bytes", ""},
    };
    for (const auto& c : cases) {
        const std::string quoted = shellWord(c.word);
        SCOPED_TRACE(printableText(quoted));
        if (!c.quoted.empty()) {
            EXPECT_EQ(quoted, c.quoted);
        }
        EXPECT_TRUE(printableLine(quoted));
        EXPECT_EQ(shellCalls("echo " + quoted, {"echo"}),
                  (std::vector<std::string>{"echo", c.word}));
    }
}

TEST(ShellWord, RecoveryAdviceForAHostilePortIsOnePastableLine) {
    const std::string port = "/dev/ttyUSB0\nrm -rf ~\x1b[8m";
    const std::string url = "http://mirror lab/$(id)";
    RunSettings run(url, "/srv/lab store/updater");
    run.storeOption = "/srv/lab store";
    const std::string line = recoveryCommand(0x40F5849A, port, run);
    EXPECT_TRUE(printableLine(line)) << printableText(line);
    EXPECT_EQ(shellCalls(line, {"Updater"}),
              (std::vector<std::string>{"Updater", "-U", "-t", "RECOVER", "-s", port, "-d",
                                        "40F5849A", "-i", "/srv/lab store", "-u", url}));
}

} // namespace
