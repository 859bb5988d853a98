// The console display's bytes: lines on their streams, and the progress bar, spinner and line
// blanking drawn only on a terminal.
#include "CLI_Display.h"
#include "RecordingDisplay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <pty.h>
#include <string>
#include <unistd.h>

namespace {

// A memory stream whose text can be read back at any time.
class CapturedStream {
  public:
    CapturedStream() : stream_(open_memstream(&data_, &size_)) {}
    ~CapturedStream() {
        fclose(stream_);
        free(data_);
    }
    FILE* file() { return stream_; }
    std::string text() {
        fflush(stream_);
        return std::string(data_, size_);
    }

  private:
    char* data_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
};

struct DisplayFixture : testing::Test {
    CapturedStream out;
    CapturedStream err;
};

TEST_F(DisplayFixture, ProgressAtHalfWithoutLabel) {
    CLI_Display display(out.file(), err.file(), true);
    display.progress(0.5, nullptr);
    EXPECT_EQ(out.text(), "\r[" + std::string(34, '=') + ">" + std::string(34, ' ') + "] ( 50% ) ");
}

TEST_F(DisplayFixture, ProgressAtFullWithoutLabelPadsTheNegativeFieldToOneColumn) {
    CLI_Display display(out.file(), err.file(), true);
    display.progress(1.0, nullptr);
    EXPECT_EQ(out.text(), "\r[" + std::string(69, '=') + "> ] (100% ) ");
}

TEST_F(DisplayFixture, ProgressWithLabelNarrowsTheBar) {
    CLI_Display display(out.file(), err.file(), true);
    display.progress(0.0, "Loader"); // width 65 - 6 = 59
    EXPECT_EQ(out.text(), "\r (Loader) [>" + std::string(58, ' ') + "] (  0% ) ");
}

TEST_F(DisplayFixture, ProgressKeepsWithinTheLineForOddInputs) {
    CLI_Display display(out.file(), err.file(), true);
    display.progress(0.25, std::string(80, 'x').c_str());
    display.progress(7.0, nullptr);
    display.progress(-1.0, nullptr);
    std::string text = out.text();
    EXPECT_NE(text.find(" (" + std::string(80, 'x') + ") [>] ( 25% ) "), std::string::npos) << text;
    EXPECT_NE(text.find("\r[" + std::string(69, '=') + "> ] (100% ) "), std::string::npos);
    EXPECT_NE(text.find("\r[>" + std::string(68, ' ') + "] (  0% ) "), std::string::npos);
}

TEST_F(DisplayFixture, EndingProgressBlanksTheLine) {
    CLI_Display display(out.file(), err.file(), true);
    display.showProgress(true);
    EXPECT_EQ(out.text(), "");
    display.showProgress(false);
    const std::string blank88 = std::string(88, ' ');
    EXPECT_EQ(out.text(), std::string("\r").append(blank88).append("\r"));
}

TEST_F(DisplayFixture, SpinnerCyclesThroughItsEightPositions) {
    CLI_Display display(out.file(), err.file(), true);
    const char* expected[] = {".", "..", "...", "....", ".....", "....", "...", "..", "."};
    std::string all;
    for (const char* dots : expected) {
        display.spinner(true, nullptr);
        all += std::string("\r ") + dots + "      \r";
    }
    EXPECT_EQ(out.text(), all);
}

TEST_F(DisplayFixture, SpinnerWithLabelAndItsRemoval) {
    CLI_Display display(out.file(), err.file(), true);
    display.spinner(true, "Downloading");
    display.spinner(true, "Downloading");
    display.spinner(false, "Downloading");
    EXPECT_EQ(out.text(), "\r (Downloading) .      \r\r (Downloading) ..      \r\r" +
                              std::string(88, ' ') + "\r");
}

TEST_F(DisplayFixture, OffATerminalOnlyMessagesAndErrorsAreWritten) {
    CLI_Display display(out.file(), err.file(), false);
    display.progress(0.5, nullptr);
    display.spinner(true, "Downloading");
    display.spinner(false, nullptr);
    display.showProgress(false);
    display.message("Build 12345 is valid");
    display.error("Download failed");
    EXPECT_EQ(out.text(), "Build 12345 is valid\n");
    EXPECT_EQ(err.text(), "Download failed\n");
}

TEST(Interactive, AnyTerminalRedrawsLinesWhateverItsType) {
    CapturedStream memory;
    EXPECT_FALSE(streamIsInteractive(memory.file()));
    EXPECT_FALSE(streamIsInteractive(nullptr));

    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    FILE* terminal = fdopen(slave, "w");
    ASSERT_NE(terminal, nullptr);
    const char* saved = getenv("TERM");
    std::string savedTerm = saved ? saved : "";
    for (const char* term : {"xterm-256color", "dumb", ""}) {
        setenv("TERM", term, 1);
        EXPECT_TRUE(streamIsInteractive(terminal)) << term;
    }
    unsetenv("TERM");
    EXPECT_TRUE(streamIsInteractive(terminal));
    if (saved) {
        setenv("TERM", savedTerm.c_str(), 1);
    }
    fclose(terminal);
    close(master);
}

TEST(DisplayPrint, RoutesByLevelAndAddsNothing) {
    RecordingDisplay display;
    displayPrint(display, DISPLAY_INFO, "Retrieving build %u", 12345u);
    displayPrint(display, DISPLAY_ERROR, "No valid build %u", 7u);
    displayPrint(display, 2, "level %d is information", 2);
    EXPECT_EQ(display.lines, (std::vector<RecordingDisplay::Line>{
                                 {false, "Retrieving build 12345"},
                                 {true, "No valid build 7"},
                                 {false, "level 2 is information"},
                             }));
}

TEST(DisplayPrint, QuietShowsNothingUntilLifted) {
    RecordingDisplay display;
    display.setQuiet(true);
    displayPrint(display, DISPLAY_ERROR, "hidden");
    display.setQuiet(false);
    displayPrint(display, DISPLAY_INFO, "shown");
    EXPECT_EQ(display.messages(), std::vector<std::string>{"shown"});
    EXPECT_TRUE(display.errors().empty());
}

TEST(DisplayPrint, CutsLongTextAt2047Bytes) {
    RecordingDisplay display;
    std::string longText(5000, 'a');
    displayPrint(display, DISPLAY_INFO, "%s", longText.c_str());
    ASSERT_EQ(display.lines.size(), 1u);
    EXPECT_EQ(display.lines[0].text, std::string(2047, 'a'));
}

} // namespace
