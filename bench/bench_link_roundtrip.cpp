// Round trips of a model query and its answer through an engine link to the virtual module over
// loopback TCP, against the same bytes ping-ponged over a raw socket to the same module in the
// same run: back to back, and one at a time after the link sat idle.
//
// The program pins itself to one CPU unless given --unpinned. On a virtual machine whose idle
// CPUs halt, where the scheduler happens to place the threads of a trip (the caller and the
// module, and the link's reader when anything wakes it) decides whether each hand-off costs a
// few microseconds or tens of them, and a run flips between the two. Pinned, the figure is the
// engine's own overhead and stays put from run to run; --unpinned shows what the placement adds on
// the machine at hand.
#include "BenchMedian.h"
#include "LoopbackSocket.h"
#include "corvane/aLink.h"

#include "BenchVirtualModule.h"

#include "BenchPinning.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Corvane::Tools::VirtualModule;

constexpr uint8_t kModuleAddress = 2;
const uint8_t kQuery[] = {kModuleAddress, 3, 0x03, 0x48, 0x20}; // get model
constexpr size_t kAnswerSize = 6;                               // 2, 4, 3, 8, 0, model

VirtualModule& module() {
    return benchVirtualModule();
}

// A blocking socket to the module: one trip is the query out and the whole answer back.
class RawHost {
  public:
    RawHost() {
        fd_ = connectLoopbackNoDelay(module().port());
        ok_ = fd_ >= 0;
    }
    ~RawHost() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool trip() {
        if (!ok_ || send(fd_, kQuery, sizeof kQuery, 0) != static_cast<ssize_t>(sizeof kQuery))
            return false;
        uint8_t answer[kAnswerSize];
        size_t got = 0;
        while (got < kAnswerSize) {
            const ssize_t n = recv(fd_, answer + got, kAnswerSize - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return answer[5] != 0;
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
};

// The same trip through the engine: the caller writes the query and reads the answer itself
// while the link's own threads idle, and takes it from the incoming FIFO.
class LinkHost {
  public:
    LinkHost() : link_(aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), module().port())) {}
    ~LinkHost() { close(); }
    void close() {
        if (link_ != 0)
            aLink_Destroy(&link_);
    }
    bool trip() {
        uint8_t model = 0;
        return link_ != 0 && aLink_GetModel(link_, kModuleAddress, &model) == aErrNone;
    }

  private:
    aLinkRef link_;
};

template <class Host> void runTrips(benchmark::State& state) {
    Host host;
    for (auto _ : state) {
        if (!host.trip()) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_RawSocketPingPong(benchmark::State& state) {
    runTrips<RawHost>(state);
}
void BM_LinkRoundTrip(benchmark::State& state) {
    runTrips<LinkHost>(state);
}

// The figure of the summary line: blocks of raw and link trips taken in turns, so that the
// load of a shared machine, which drifts, weighs on both alike. The ratio is the median of the
// per-block ratios.
constexpr int kBlockTrips = 2000;
std::vector<double> gBlockRatios;
double gLinkTrips = 0;
double gLinkSeconds = 0;

void BM_Interleaved(benchmark::State& state) {
    RawHost raw;
    LinkHost link;
    using Clock = std::chrono::steady_clock;
    auto block = [](auto& host) {
        const auto started = Clock::now();
        for (int i = 0; i < kBlockTrips; ++i)
            if (!host.trip())
                return -1.0;
        return std::chrono::duration<double>(Clock::now() - started).count();
    };
    for (auto _ : state) {
        const double rawSeconds = block(raw);
        const double linkSeconds = block(link);
        if (rawSeconds <= 0 || linkSeconds <= 0) {
            state.SkipWithError("round trip failed");
            break;
        }
        gBlockRatios.push_back(rawSeconds / linkSeconds);
        gLinkTrips += kBlockTrips;
        gLinkSeconds += linkSeconds;
    }
    state.SetItemsProcessed(state.iterations() * 2 * kBlockTrips);
}

// Single trips after the link sat idle, as a user's command after a pause meets it: long
// enough that a polling reader would have slowed down. The pause is not timed; raw and link
// trips take turns, and the figures are the medians.
constexpr auto kIdlePause = std::chrono::milliseconds(60);
std::vector<double> gIdleRawUs;
std::vector<double> gIdleLinkUs;

void BM_AfterIdle(benchmark::State& state) {
    RawHost raw;
    LinkHost link;
    using Clock = std::chrono::steady_clock;
    auto timedTrip = [](auto& host) {
        std::this_thread::sleep_for(kIdlePause);
        const auto started = Clock::now();
        const bool ok = host.trip();
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - started).count();
        return ok ? us : -1.0;
    };
    for (auto _ : state) {
        const double rawUs = timedTrip(raw);
        const double linkUs = timedTrip(link);
        if (rawUs < 0 || linkUs < 0) {
            state.SkipWithError("round trip failed");
            break;
        }
        gIdleRawUs.push_back(rawUs);
        gIdleLinkUs.push_back(linkUs);
        state.SetIterationTime((rawUs + linkUs) / 1e6);
    }
}

// Closing a link just after a trip and after it sat idle, as a tool does when its command
// ends: how long the link's threads take to see the stop. The figures are the medians.
std::vector<double> gCloseAfterTripMs;
std::vector<double> gCloseIdleMs;

void BM_Close(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const bool idle = state.range(0) != 0;
    for (auto _ : state) {
        LinkHost link;
        if (!link.trip()) {
            state.SkipWithError("round trip failed");
            break;
        }
        if (idle)
            std::this_thread::sleep_for(kIdlePause);
        const auto started = Clock::now();
        link.close();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        (idle ? gCloseIdleMs : gCloseAfterTripMs).push_back(ms);
        state.SetIterationTime(ms / 1e3);
    }
}

BENCHMARK(BM_RawSocketPingPong)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_LinkRoundTrip)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Interleaved)->UseRealTime()->Iterations(40);
BENCHMARK(BM_AfterIdle)->UseManualTime()->Iterations(100);
BENCHMARK(BM_Close)->Arg(0)->Arg(1)->UseManualTime()->Iterations(15);

} // namespace

int main(int argc, char** argv) {
    pinUnlessUnpinned(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!gBlockRatios.empty() && gLinkSeconds > 0) {
        std::printf("link_roundtrip: %.0f trips/s (ratio %.2f vs raw socket ping-pong)\n",
                    gLinkTrips / gLinkSeconds, median(gBlockRatios));
    }
    if (!gIdleRawUs.empty()) {
        const double rawUs = median(gIdleRawUs);
        const double linkUs = median(gIdleLinkUs);
        std::printf("link_roundtrip_after_idle: %.0f us (ratio %.2f vs raw socket trip of %.0f "
                    "us)\n",
                    linkUs, rawUs / linkUs, rawUs);
    }
    if (!gCloseAfterTripMs.empty() && !gCloseIdleMs.empty()) {
        std::printf("link_close: %.1f ms right after a trip, %.1f ms after sitting idle\n",
                    median(gCloseAfterTripMs), median(gCloseIdleMs));
    }
    module().stop();
    return 0;
}
