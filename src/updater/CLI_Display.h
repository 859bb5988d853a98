// The console display: lines to standard output and standard error, and a progress bar and
// spinner redrawn in place, shown only when standard output is a terminal.
#pragma once

#include "UpdaterDisplayInterface.h"

#include <cstdint>
#include <cstdio>

// True when the stream is a terminal that can redraw a line: isatty, and TERM is not "dumb"
// (unset or empty counts as a terminal like any other).
bool streamIsInteractive(FILE* stream);

class CLI_Display final : public UpdaterDisplayInterface {
  public:
    // The process's own console: makes stdout and stderr unbuffered so partial lines and
    // carriage returns appear at once, and decides from stdout whether to draw progress.
    CLI_Display();
    // Writes to the given streams (which the caller keeps open); progress, spinner and line
    // blanking are written only when interactive is true.
    CLI_Display(FILE* out, FILE* err, bool interactive);
    ~CLI_Display() = default;

    CLI_Display(const CLI_Display&) = delete;
    CLI_Display& operator=(const CLI_Display&) = delete;

    // --json keeps standard output for the document: lines then go to err as well, and progress
    // is drawn only when err is a terminal.
    void messagesToErrorStream();

    void showProgress(bool on) override;
    void progress(double fraction, const char* label) override;
    void spinner(bool on, const char* label) override;
    void message(const char* text) override;
    void error(const char* text) override;

  private:
    void blankLine();
    // Writes to the lines' stream until a write to it fails: a reader that went away (a closed
    // pipe, a closed terminal) ends what is shown there, never the run.
    void write(FILE* stream, const char* format, ...) __attribute__((format(printf, 3, 4)));

    FILE* out_;
    FILE* err_;
    bool interactive_;
    uint8_t spinnerPosition_ = 0; // 0 to 7; one display exists per run
    bool outClosed_ = false;      // a write to out_ failed: nothing more goes there
    bool errClosed_ = false;
};
