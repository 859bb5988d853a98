// The update server's own metrics, served at /metrics in the Prometheus text format: what was
// asked and answered, what was refused and why, which builds went out, and how long requests took.
#pragma once

#include "Protocol.h"

#include <memory>
#include <string>

namespace updateserver {

// Where the daemon serves the text, beside the protocol's path.
inline constexpr const char* kMetricsPath = "/metrics";
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Thread-safe: the daemon's threads record into it while another serialises it. Every label value
// comes from a fixed word of the reply or a build the catalogue served, so no client can make a
// new series by asking something odd.
class ServerMetrics {
  public:
    ServerMetrics();
    ~ServerMetrics();
    ServerMetrics(const ServerMetrics&) = delete;
    ServerMetrics& operator=(const ServerMetrics&) = delete;

    // One answered request: its reply (operation, status, refusal, build served), the bytes of
    // its body and the seconds from its arrival to its reply being handed over.
    void record(const Reply& reply, size_t bodyBytes, double seconds);
    // Everything so far in the Prometheus text exposition format.
    std::string text() const;

  private:
    struct Families;
    std::unique_ptr<Families> families_;
};

} // namespace updateserver
