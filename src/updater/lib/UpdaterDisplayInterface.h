// The one channel through which every updater flow talks to its user: formatted lines at an
// information or error level, a progress bar and an activity spinner.
#pragma once

#include <cstddef>

// Levels of displayPrint: everything but DISPLAY_ERROR is information.
enum DisplayLevel : int {
    DISPLAY_INFO = 0,
    DISPLAY_ERROR = 1,
};

class UpdaterDisplayInterface {
  public:
    // Start (on) or end (off) of a progress display; ending it clears the bar's line.
    virtual void showProgress(bool on) = 0;
    // Draws the progress bar for fraction 0.0 to 1.0; label may be null.
    virtual void progress(double fraction, const char* label) = 0;
    // Advances the activity indicator when on, removes it when not; label may be null.
    virtual void spinner(bool on, const char* label) = 0;
    // One line of information; the display adds the line end.
    virtual void message(const char* text) = 0;
    // One line of error text; the display adds the line end.
    virtual void error(const char* text) = 0;

    // While quiet, displayPrint shows nothing (progress and spinner are not affected).
    void setQuiet(bool quiet) { quiet_ = quiet; }
    bool isQuiet() const { return quiet_; }

  protected:
    UpdaterDisplayInterface() = default;
    UpdaterDisplayInterface(const UpdaterDisplayInterface&) = default;
    UpdaterDisplayInterface& operator=(const UpdaterDisplayInterface&) = default;
    // The driver owns the concrete display; nobody deletes one through this interface.
    ~UpdaterDisplayInterface() = default;

  private:
    bool quiet_ = false;
};

// Longest text displayPrint hands on, terminator included; longer text is cut.
constexpr size_t kDisplayBufferSize = 2048;

// Formats one line and hands it to error() for DISPLAY_ERROR, to message() for any other level.
// Does nothing while the display is quiet.
void displayPrint(UpdaterDisplayInterface& display, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
