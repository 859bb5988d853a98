// How a product tool that serves until stopped learns it should stop: SIGINT and SIGTERM (and
// SIGHUP where asked) on Linux; Ctrl-C, Ctrl-Break and a closed console window on Windows.
#pragma once

#include <string>

namespace Corvane::Tools::os {

class StopRequests {
  public:
    // Takes the stop requests from now on, away from every thread the process starts later:
    // make it before the tool starts any thread.
    explicit StopRequests(bool hangUpStops);
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // Waits for the first stop request and names it ("Interrupt", "Terminated", ...).
    std::string wait();

  private:
    bool hangUpStops_;
};

} // namespace Corvane::Tools::os
