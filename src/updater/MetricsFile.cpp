// The metrics file's text, written by hand in the exposition format (the Updater needs no more of
// it than gauges, and no client library on every platform it builds for).
#include "MetricsFile.h"

#include "AtomicFile.h"
#include "SerialNumberText.h"
#include "os/files.h"

#include <cinttypes>
#include <cstdio>

namespace {

std::string versionText(uint8_t major, uint8_t minor, uint32_t patch) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

// A label value as the format quotes it: backslash, double quote and line feed escaped.
std::string quoted(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

std::string number(double value) {
    char text[40];
    snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void family(std::string& out, const char* name, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

} // namespace

void MetricsFile::discovered(const DiscoveredDeviceList& modules) {
    for (const DiscoveredDevice& module : modules) {
        models_[module.spec.serialNumber] = module.modelName;
        if (module.error == aErrNone && module.build != 0) {
            firmware_[module.spec.serialNumber] = {
                module.modelName,
                versionText(module.versionMajor, module.versionMinor, module.versionPatch),
                module.build};
        }
    }
}

void MetricsFile::fetched(uint32_t serial, uint32_t build, double when) {
    gets_[serial] = {build, when};
}

void MetricsFile::updated(const std::vector<ModuleOutcome>& outcomes, double when) {
    for (const ModuleOutcome& outcome : outcomes) {
        const UpdateReport& report = outcome.report;
        updates_[outcome.serial] = {resultKey(outcome.result), when, report.totalMs / 1000.0,
                                    report.totalMs != 0};
        if (outcome.getAsked) {
            gets_[outcome.serial] = {outcome.fetchedBuild, when}; // a rack's -G, module by module
        }
        // What the module runs now: the read-back after an update, else what it ran before.
        const FirmwareSeen& seen =
            outcome.result == ModuleOutcome::Result::Updated && report.after.known ? report.after
                                                                                   : report.before;
        if (seen.known && seen.build != 0) {
            // -U on its own discovers nothing: the model is then the one its link named.
            const auto model = models_.find(outcome.serial);
            firmware_[outcome.serial] = {model == models_.end() ? report.modelName : model->second,
                                         versionText(seen.major, seen.minor, seen.patch),
                                         seen.build};
        }
    }
}

std::string MetricsFile::text(double writtenAt) const {
    std::string out;
    if (!firmware_.empty()) {
        family(out, "corvane_module_firmware_build",
               "Firmware build a module runs, as the Updater last saw it");
        for (const auto& [serial, firmware] : firmware_) {
            out += "corvane_module_firmware_build{serial=" + quoted(serialNumberText(serial)) +
                   ",model=" + quoted(firmware.model) + ",version=" + quoted(firmware.version) +
                   "} " + std::to_string(firmware.build) + "\n";
        }
    }
    if (!gets_.empty()) {
        family(out, "corvane_updater_get_success", "1 when -G fetched a build for the module");
        for (const auto& [serial, get] : gets_) {
            out += "corvane_updater_get_success{serial=" + quoted(serialNumberText(serial)) + "} " +
                   (get.build != 0 ? "1" : "0") + "\n";
        }
        family(out, "corvane_updater_get_build", "The build -G fetched");
        for (const auto& [serial, get] : gets_) {
            if (get.build != 0) {
                out += "corvane_updater_get_build{serial=" + quoted(serialNumberText(serial)) +
                       "} " + std::to_string(get.build) + "\n";
            }
        }
        family(out, "corvane_updater_get_timestamp_seconds", "When -G ended, seconds since 1970");
        for (const auto& [serial, get] : gets_) {
            out +=
                "corvane_updater_get_timestamp_seconds{serial=" + quoted(serialNumberText(serial)) +
                "} " + number(get.when) + "\n";
        }
    }
    if (!updates_.empty()) {
        family(out, "corvane_updater_update_outcome",
               "1 for the outcome of the module's last update: updated, failed, skipped or "
               "not_started");
        for (const auto& [serial, update] : updates_) {
            out += "corvane_updater_update_outcome{serial=" + quoted(serialNumberText(serial)) +
                   ",outcome=" + quoted(update.outcome) + "} 1\n";
        }
        family(out, "corvane_updater_update_timestamp_seconds",
               "When the update ended, seconds since 1970");
        for (const auto& [serial, update] : updates_) {
            out += "corvane_updater_update_timestamp_seconds{serial=" +
                   quoted(serialNumberText(serial)) + "} " + number(update.when) + "\n";
        }
        family(out, "corvane_updater_update_duration_seconds",
               "How long the update took, from its start to the read-back");
        for (const auto& [serial, update] : updates_) {
            if (update.started) {
                out += "corvane_updater_update_duration_seconds{serial=" +
                       quoted(serialNumberText(serial)) + "} " + number(update.seconds) + "\n";
            }
        }
    }
    family(out, "corvane_updater_metrics_timestamp_seconds",
           "When the Updater wrote this file, seconds since 1970");
    out += "corvane_updater_metrics_timestamp_seconds " + number(writtenAt) + "\n";
    return out;
}

bool writeMetricsFile(const std::string& path, const std::string& text, std::string& problem) {
    int systemError = 0;
    const aErr err = writeFileAtomically(path, text.data(), text.size(), &systemError);
    if (err == aErrNone) {
        return true;
    }
    problem = "cannot write " + path;
    if (systemError != 0) {
        problem += ": " + corvane::platform::systemErrorText(systemError);
    }
    return false;
}
