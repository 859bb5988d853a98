// Updater --metrics-file: what a run of -D, -G and -U found and did, as one text file in the
// Prometheus exposition format for node_exporter's textfile collector, written once per run.
#pragma once

#include "DiscoveredDevice.h"
#include "RackUpdate.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class MetricsFile {
  public:
    // Times are the wall clock's seconds since the epoch, as Prometheus stores them.
    void discovered(const DiscoveredDeviceList& modules);
    void fetched(uint32_t serial, uint32_t build, double when);
    void updated(const std::vector<ModuleOutcome>& outcomes, double when);

    bool empty() const { return firmware_.empty() && gets_.empty() && updates_.empty(); }
    // The text: every family with its HELP and TYPE lines, series in serial number order.
    std::string text(double writtenAt) const;

  private:
    struct Firmware {
        std::string model, version;
        uint32_t build = 0;
    };
    struct Get {
        uint32_t build = 0; // 0: failed
        double when = 0;
    };
    struct Update {
        std::string outcome; // the JSON document's word: updated, failed, skipped, not_started
        double when = 0;
        double seconds = 0;
        bool started = false;
    };
    std::map<uint32_t, Firmware> firmware_;  // the module's running firmware, as last seen
    std::map<uint32_t, std::string> models_; // model names discovery saw
    std::map<uint32_t, Get> gets_;
    std::map<uint32_t, Update> updates_;
};

// Writes text to path atomically (a temporary file in the same folder, then a rename), so a
// collector never reads half a file. False, with problem set, when it cannot.
bool writeMetricsFile(const std::string& path, const std::string& text, std::string& problem);
