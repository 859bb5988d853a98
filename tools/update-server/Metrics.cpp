// The update server's metrics on prometheus-cpp's core: a registry of counters and a histogram,
// written out with its text serialiser (its pull exposer brings a web server of its own, and the
// daemon has one already).
#include "Metrics.h"

#include <prometheus/counter.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <cstdio>

namespace updateserver {

namespace {

// From a ping (well under a millisecond on a LAN) to a large BIRD file read cold from disk.
const prometheus::Histogram::BucketBoundaries kDurationBuckets = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};

} // namespace

struct ServerMetrics::Families {
    prometheus::Registry registry;
    prometheus::Family<prometheus::Counter>& requests =
        prometheus::BuildCounter()
            .Name("corvane_update_server_requests_total")
            .Help("Requests answered, by protocol operation and HTTP status")
            .Register(registry);
    prometheus::Family<prometheus::Counter>& bytes =
        prometheus::BuildCounter()
            .Name("corvane_update_server_served_bytes_total")
            .Help("Bytes of reply bodies handed to the HTTP layer")
            .Register(registry);
    prometheus::Family<prometheus::Counter>& builds =
        prometheus::BuildCounter()
            .Name("corvane_update_server_builds_served_total")
            .Help("BIRD files served, by module serial number and build")
            .Register(registry);
    prometheus::Family<prometheus::Counter>& refusals =
        prometheus::BuildCounter()
            .Name("corvane_update_server_refusals_total")
            .Help("Requests refused, by reason")
            .Register(registry);
    prometheus::Family<prometheus::Histogram>& durations =
        prometheus::BuildHistogram()
            .Name("corvane_update_server_request_duration_seconds")
            .Help("Time from a request's arrival to its reply being handed over")
            .Register(registry);
    prometheus::Counter& bytesTotal = bytes.Add({});
    prometheus::Histogram& duration = durations.Add({}, kDurationBuckets);
};

ServerMetrics::ServerMetrics() : families_(std::make_unique<Families>()) {}

ServerMetrics::~ServerMetrics() = default;

void ServerMetrics::record(const Reply& reply, size_t bodyBytes, double seconds) {
    families_->requests
        .Add({{"operation", reply.operation}, {"status", std::to_string(reply.status)}})
        .Increment();
    families_->bytesTotal.Increment(static_cast<double>(bodyBytes));
    if (reply.refusal != nullptr) {
        families_->refusals.Add({{"reason", reply.refusal}}).Increment();
    }
    if (reply.servedBuild != 0) {
        char serial[9];
        snprintf(serial, sizeof serial, "%08X", reply.servedSerial);
        families_->builds.Add({{"serial", serial}, {"build", std::to_string(reply.servedBuild)}})
            .Increment();
    }
    families_->duration.Observe(seconds);
}

std::string ServerMetrics::text() const {
    return prometheus::TextSerializer().Serialize(families_->registry.Collect());
}

} // namespace updateserver
