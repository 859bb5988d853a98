// --json: the one document a run writes on standard output, for scripts. Each command that ran
// adds its section; field names are published in share/corvane/updater-result.schema.json and
// only ever added to.
#pragma once

#include "BuildList.h"
#include "DiscoveredDevice.h"
#include "RackUpdate.h"
#include "UpdaterContext.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

class BirdFile;
struct StoredDevice;

// The document's format version: raised when a field changes meaning, never for an addition.
inline constexpr int kJsonFormatVersion = 1;

class JsonReport {
  public:
    using Json = nlohmann::ordered_json;

    // Forwards everything to display and keeps its error lines, which become the messages of
    // the failures reported.
    explicit JsonReport(UpdaterDisplayInterface& display);

    // The display the commands are to print through.
    UpdaterDisplayInterface& display() { return capture_; }

    // Before each command: its failure note is cleared and its error lines start here.
    void begin(UpdaterContext& context);

    void fingerprint(const UpdaterContext& context, const std::string& serialPort, bool ok,
                     const std::array<uint32_t, 4>& words);
    void get(const UpdaterContext& context, uint32_t serial, const std::string& build,
             uint32_t fetched);
    void discover(const UpdaterContext& context, uint32_t routerSerial, int transport,
                  const DiscoveredDeviceList& devices);
    void update(uint32_t jobs, const std::vector<ModuleOutcome>& outcomes,
                const std::string& storeDirectory);
    void recover(const UpdaterContext& context, const std::string& serialPort, bool ok);
    void builds(const UpdaterContext& context, const char* section, uint32_t serial,
                const BuildList& builds, bool ok);
    void token(const UpdaterContext& context, uint32_t serial, const std::string& token, bool ok);
    void deviceInfo(const UpdaterContext& context, uint32_t serial, const StoredDevice& found,
                    bool ok);
    void checkBird(const UpdaterContext& context, const std::string& path, const BirdFile* bird,
                   bool ok);
    // The pre-flight check's findings; a failed check is their own account, not an error.
    void doctor(Json section);

    // The error lines shown since begin().
    std::vector<std::string> errorsSinceBegin() const;

    // Writes the document, one line of JSON and a line feed, with the run's exit status. A run
    // that failed with no command section saying why gets a top-level error from what it showed,
    // of the kind the last command noted (lastFailure), else of the kind given.
    void write(FILE* out, const FailureNote* lastFailure, int exitStatus,
               FailureKind unnoted = FailureKind::Usage);

    const Json& document() const { return document_; }

    // The error object of a failure: kind, the message the human mode showed (the first error
    // line), the others as details, and the library's code when there is one.
    static Json errorObject(const FailureNote& failure, const std::vector<std::string>& lines);

  private:
    class Capture final : public UpdaterDisplayInterface {
      public:
        explicit Capture(UpdaterDisplayInterface& inner) : inner_(inner) {}
        void showProgress(bool on) override { inner_.showProgress(on); }
        void progress(double fraction, const char* label) override {
            inner_.progress(fraction, label);
        }
        void spinner(bool on, const char* label) override { inner_.spinner(on, label); }
        void message(const char* text) override { inner_.message(text); }
        void error(const char* text) override {
            errors.emplace_back(text);
            inner_.error(text);
        }
        std::vector<std::string> errors;

      private:
        UpdaterDisplayInterface& inner_;
    };

    Json failureOf(const UpdaterContext& context, bool ok);

    Capture capture_;
    size_t mark_ = 0;
    bool failureReported_ = false;
    Json document_;
};
