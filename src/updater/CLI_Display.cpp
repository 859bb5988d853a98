// The console display: lines to stdout and stderr; the progress bar, spinner and line blanking
// only on a terminal, so nothing of them reaches a pipe or a file.
#include "CLI_Display.h"

#include "os/terminal.h"

#include <cstdarg>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {
constexpr int kBlankWidth = 88;
constexpr int kBarWidth = 69;
constexpr int kLabelledBarWidth = 65;
constexpr const char* kBarFill =
    "=====================================================================";
static_assert(std::char_traits<char>::length(kBarFill) == kBarWidth);
constexpr const char* kSpinnerDots[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
} // namespace

bool streamIsInteractive(FILE* stream) {
    if (!corvane::platform::isTerminal(stream)) {
        return false;
    }
    // Every terminal returns the carriage to the start of the line, whether or not a type is
    // set; only one that declares itself dumb may not.
    const char* term = getenv("TERM");
    return term == nullptr || strcmp(term, "dumb") != 0;
}

CLI_Display::CLI_Display() : out_(stdout), err_(stderr), interactive_(false) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    interactive_ = streamIsInteractive(stdout);
}

CLI_Display::CLI_Display(FILE* out, FILE* err, bool interactive)
    : out_(out), err_(err), interactive_(interactive) {}

void CLI_Display::messagesToErrorStream() {
    out_ = err_;
    interactive_ = streamIsInteractive(err_);
}

void CLI_Display::write(FILE* stream, const char* format, ...) {
    bool& closed = stream == out_ ? outClosed_ : errClosed_;
    if (closed) {
        return;
    }
    va_list args;
    va_start(args, format);
    const int written = vfprintf(stream, format, args);
    va_end(args);
    if (written < 0) {
        closed = true;
        // With --json both kinds of line share standard error.
        if (out_ == err_) {
            outClosed_ = errClosed_ = true;
        }
    }
}

void CLI_Display::blankLine() {
    if (interactive_) {
        write(out_, "\r%*s\r", kBlankWidth, " ");
    }
}

void CLI_Display::showProgress(bool on) {
    if (!on) {
        blankLine();
    }
}

void CLI_Display::progress(double fraction, const char* label) {
    if (!interactive_) {
        return;
    }
    if (!(fraction >= 0.0)) { // also catches NaN
        fraction = 0.0;
    } else if (fraction > 1.0) {
        fraction = 1.0;
    }
    int width = kBarWidth;
    if (label != nullptr) {
        // A label too long for the line keeps a bar of one column rather than a negative width.
        size_t labelLength = strlen(label);
        width = labelLength < static_cast<size_t>(kLabelledBarWidth)
                    ? kLabelledBarWidth - static_cast<int>(labelLength)
                    : 1;
    }
    int percent = static_cast<int>(fraction * 100.0);
    int filled = static_cast<int>(width * fraction);
    if (label == nullptr) {
        write(out_, "\r[%.*s>%*s] (%3d%% ) ", filled, kBarFill, width - filled - 1, "", percent);
    } else {
        write(out_, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBarFill, width - filled - 1, "",
              percent);
    }
}

void CLI_Display::spinner(bool on, const char* label) {
    if (!interactive_) {
        return;
    }
    if (!on) {
        blankLine();
        return;
    }
    const char* dots = kSpinnerDots[spinnerPosition_];
    if (label != nullptr) {
        write(out_, "\r (%s) %s      \r", label, dots);
    } else {
        write(out_, "\r %s      \r", dots);
    }
    spinnerPosition_ = static_cast<uint8_t>((spinnerPosition_ + 1) % 8);
}

void CLI_Display::message(const char* text) {
    write(out_, "%s\n", text);
}

void CLI_Display::error(const char* text) {
    write(err_, "%s\n", text);
}
