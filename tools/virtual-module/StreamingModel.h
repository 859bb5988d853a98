// The virtual module's streaming: command 93 enables and disables streams of UEI values (with
// 0xFF wildcards), and the module then sends stream samples of the enabled values with 64-bit
// timestamps at a settable interval, plus bursts on demand.
#pragma once

#include "RequestReplyModel.h"
#include "VirtualModule.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace Corvane::Tools {

struct StreamingSettings {
    // Between two rounds of samples (one per streamed value each); 0 sends a round every turn
    // of the module's loop.
    uint32_t intervalUs = 10000;
    // Samples sent as fast as the connection takes them after each enable, on top of the
    // rounds: enough of them overflow a host's callback queue.
    uint32_t burstAfterEnable = 0;
    // Not 0: enables are answered with an error reply of this code and change nothing.
    uint8_t refuseEnable = 0;
};

class StreamingModel {
  public:
    // Streams the values model holds. Both must outlive the module's serving.
    StreamingModel(RequestReplyModel& model, uint8_t modelCode, StreamingSettings settings = {});
    ~StreamingModel();
    StreamingModel(const StreamingModel&) = delete;
    StreamingModel& operator=(const StreamingModel&) = delete;

    // Installs the command 93 handler and the sample source; before module.start().
    void install(VirtualModule& module);
    void setSettings(const StreamingSettings& settings);
    // Samples sent so far, all connections together.
    uint64_t samplesSent() const;
    // Streams enabled now (registrations as received, wildcards unexpanded).
    std::size_t enabledCount() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace Corvane::Tools
