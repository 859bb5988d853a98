// UEI streaming through the object layer against the virtual module over loopback TCP, each
// figure against a baseline measured in the same run:
//   stream_callbacks: stream samples per second delivered to a callback, against the raw rate of
//   the same burst of stream packets read from a socket;
//   stream_filter_gets: round trips of plain 32-bit gets on a Link with 64 streams registered
//   (the stream filter sees every reply), against a Link with none;
//   stream_two_links: stream samples per second delivered to each of two Links on one engine
//   link (two Modules for one module), against one Link alone.
// Blocks of the two sides take turns; each ratio is the median of the per-block ratios. The two
// Links' comparison runs pinned to one CPU unless given --unpinned: with four threads handing
// samples on, where the scheduler of a shared machine places them decides a block's rate (by
// a factor of three) more than the code does, and on one CPU the ratio is what the second Link
// costs.
#include "BenchMedian.h"
#include "LoopbackSocket.h"
#include "corvane/EntityClass.h"
#include "corvane/Module.h"

#include "LinkTestSupport.h"
#include "RequestReplyModel.h"
#include "StreamingModel.h"
#include "VirtualModule.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using namespace Corvane::Tools;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kAddress = 2;
constexpr uint8_t kAnalog = 30;
constexpr uint8_t kValueOption = 2; // 16-bit: samples of kind 2, 17 bytes on the wire
constexpr uint32_t kBurst = 20000;
constexpr uint8_t kQuietCommand = 200; // no entity of the model: registered, never streamed

struct Peer {
    explicit Peer(uint32_t burst = kBurst)
        : module(config()), model(config().identity), streaming(model, config().identity.model) {
        StreamingSettings settings;
        settings.intervalUs = 3600000000u; // the burst alone
        settings.burstAfterEnable = burst;
        streaming.setSettings(settings);
        model.install(module);
        streaming.install(module);
        std::string error;
        if (!module.start(&error)) {
            std::fprintf(stderr, "virtual module: %s\n", error.c_str());
            std::exit(1);
        }
    }
    static VirtualModuleConfig config() {
        VirtualModuleConfig c;
        c.heartbeatMs = 0;
        return c;
    }
    VirtualModule module;
    RequestReplyModel model;
    StreamingModel streaming;
};

Peer& peer() {
    static Peer instance;
    return instance;
}

// Longer bursts for the comparison of two Links with one: each lasts well beyond the pauses a
// shared machine imposes on a thread.
constexpr uint32_t kLongBurst = 200000;
Peer& longBurstPeer() {
    static Peer instance(kLongBurst);
    return instance;
}

linkSpec spec(const Peer& to = peer()) {
    linkSpec s{};
    s.type = TCPIP;
    s.ipAddress = htonl(INADDR_LOOPBACK);
    s.port = to.module.port();
    return s;
}

// Reads the burst of one enable straight from a socket, packet by packet.
class RawHost {
  public:
    RawHost() {
        fd_ = connectLoopbackNoDelay(peer().module.port());
        ok_ = fd_ >= 0;
    }
    ~RawHost() {
        if (fd_ >= 0)
            close(fd_);
    }

    // Samples received, or -1.
    long burst() {
        if (!request(0x81))
            return -1;
        long samples = 0;
        uint8_t header[2];
        uint8_t data[28];
        while (samples < static_cast<long>(kBurst)) {
            if (!readAll(header, 2) || header[1] > 28 || !readAll(data, header[1]))
                return -1;
            if (header[1] > 4 && (data[2] & 0x40) && data[1] < 0x40)
                ++samples;
        }
        if (!request(0x82))
            return -1;
        return samples;
    }

  private:
    bool request(uint8_t option) {
        const uint8_t bytes[] = {kAddress, 7, 93, option, 0x20, kAddress, kAnalog, kValueOption, 0};
        return ok_ && send(fd_, bytes, sizeof bytes, 0) == static_cast<ssize_t>(sizeof bytes);
    }
    bool readAll(uint8_t* out, std::size_t count) {
        for (std::size_t got = 0; got < count;) {
            const ssize_t n = recv(fd_, out + got, count - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    int fd_ = -1;
    bool ok_ = false;
};

class Entity : public Corvane::EntityClass {
  public:
    Entity(Corvane::Module* module, uint8_t command) { init(module, command, 0); }
};

class ObjectHost {
  public:
    explicit ObjectHost(const Peer& to = peer()) : module_(kAddress) {
        ok_ = module_.connectFromSpec(spec(to)) == aErrNone;
    }
    Corvane::Module& module() { return module_; }
    bool ok() const { return ok_; }

  private:
    Corvane::Module module_;
    bool ok_ = false;
};

// Delivered samples of one burst, or -1.
long objectBurst(ObjectHost& host) {
    std::atomic<long> delivered{0};
    Corvane::Link* link = host.module().getLink();
    const uint64_t dropsBefore = link->getStreamCallbackDrops();
    auto count = [&](const aPacket*, void*) -> uint8_t {
        delivered.fetch_add(1, std::memory_order_relaxed);
        return 0;
    };
    if (link->registerStreamCallback(kAddress, kAnalog, kValueOption, 0, true, count, nullptr) !=
        aErrNone)
        return -1;
    const bool done = waitUntil(
        [&] {
            return delivered.load() +
                       static_cast<long>(link->getStreamCallbackDrops() - dropsBefore) >=
                   static_cast<long>(kBurst);
        },
        std::chrono::seconds(30));
    link->registerStreamCallback(kAddress, kAnalog, kValueOption, 0, false, nullptr, nullptr);
    return done ? delivered.load() : -1;
}

// Registers a counting callback for the burst's stream on link; false when refused.
bool countSamples(Corvane::Link* link, std::atomic<long>& delivered) {
    return link->registerStreamCallback(
               kAddress, kAnalog, kValueOption, 0, true,
               [&delivered](const aPacket*, void*) -> uint8_t {
                   delivered.fetch_add(1, std::memory_order_relaxed);
                   return 0;
               },
               nullptr) == aErrNone;
}

void stopCounting(Corvane::Link* link) {
    link->registerStreamCallback(kAddress, kAnalog, kValueOption, 0, false, nullptr, nullptr);
}

// Waits until each link has taken (delivered or dropped) a whole burst since the counts given.
bool burstTaken(const std::vector<std::pair<Corvane::Link*, std::atomic<long>*>>& links,
                const std::vector<std::pair<long, uint64_t>>& before) {
    return waitUntil(
        [&] {
            for (std::size_t i = 0; i < links.size(); ++i) {
                const long taken =
                    links[i].second->load() - before[i].first +
                    static_cast<long>(links[i].first->getStreamCallbackDrops() - before[i].second);
                if (taken < static_cast<long>(kLongBurst))
                    return false;
            }
            return true;
        },
        std::chrono::seconds(30));
}

struct Figures {
    std::vector<double> ratios;
    double units = 0;
    double seconds = 0;
};
Figures gStream, gGets, gTwoLinks;

template <class Run> double timed(Run&& run, long* units) {
    const auto started = Clock::now();
    *units = run();
    return std::chrono::duration<double>(Clock::now() - started).count();
}

void BM_StreamCallbacks(benchmark::State& state) {
    RawHost raw;
    ObjectHost object;
    for (auto _ : state) {
        long rawSamples = 0, objectSamples = 0;
        const double rawSeconds = timed([&] { return raw.burst(); }, &rawSamples);
        const double objectSeconds = timed([&] { return objectBurst(object); }, &objectSamples);
        if (rawSamples <= 0 || objectSamples <= 0) {
            state.SkipWithError("stream failed");
            break;
        }
        gStream.ratios.push_back((objectSamples / objectSeconds) / (rawSamples / rawSeconds));
        gStream.units += objectSamples;
        gStream.seconds += objectSeconds;
    }
}

void BM_FilterGets(benchmark::State& state) {
    ObjectHost plain, streaming;
    Corvane::Link* link = streaming.module().getLink();
    for (uint8_t option = 0; option < 64; ++option)
        if (link->enableStream(kAddress, kQuietCommand, option, 0, true) != aErrNone) {
            state.SkipWithError("registration failed");
            return;
        }
    Entity plainSystem(&plain.module(), 3), streamingSystem(&streaming.module(), 3);
    constexpr int kTrips = 1000;
    auto trips = [](Entity& system) -> long {
        uint32_t serial = 0;
        for (int i = 0; i < kTrips; ++i)
            if (system.getUEI32(9, &serial) != aErrNone)
                return -1;
        return kTrips;
    };
    for (auto _ : state) {
        long plainTrips = 0, streamingTrips = 0;
        const double plainSeconds = timed([&] { return trips(plainSystem); }, &plainTrips);
        const double streamingSeconds =
            timed([&] { return trips(streamingSystem); }, &streamingTrips);
        if (plainTrips <= 0 || streamingTrips <= 0) {
            state.SkipWithError("get failed");
            break;
        }
        gGets.ratios.push_back(plainSeconds / streamingSeconds);
        gGets.units += streamingTrips;
        gGets.seconds += streamingSeconds;
    }
    link->enableStream(kAddress, kQuietCommand, 0xFF, 0xFF, false);
}

bool gPinned = true; // --unpinned clears it

// Pins the calling thread, and so every thread it starts, to the CPU it runs on, for a scope.
class ScopedPin {
  public:
    ScopedPin() {
        if (!gPinned || sched_getaffinity(0, sizeof saved_, &saved_) != 0)
            return;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(std::max(0, sched_getcpu()), &one);
        active_ = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~ScopedPin() {
        if (active_)
            sched_setaffinity(0, sizeof saved_, &saved_);
    }

  private:
    cpu_set_t saved_{};
    bool active_ = false;
};

// One block: the burst to one Link, then a burst that two Links on the engine link take at
// once. The second Link registers first and takes a burst of its own before the measured one
// starts with the first Link's registration.
void BM_TwoLinksOneEngineLink(benchmark::State& state) {
    ScopedPin pin; // before any thread of the comparison starts
    ObjectHost first(longBurstPeer()), second(longBurstPeer()); // one spec: one engine link
    if (!first.ok() || !second.ok()) {
        state.SkipWithError("connect failed");
        return;
    }
    Corvane::Link* a = first.module().getLink();
    Corvane::Link* b = second.module().getLink();
    // A registration that streams nothing keeps each Link's callback thread for the whole run,
    // so no block depends on where a new thread happens to be placed.
    if (a->enableStream(kAddress, kQuietCommand, 1, 0, true) != aErrNone ||
        b->enableStream(kAddress, kQuietCommand, 1, 0, true) != aErrNone) {
        state.SkipWithError("registration failed");
        return;
    }
    std::atomic<long> aCount{0}, bCount{0};
    auto snapshot = [&](std::initializer_list<std::pair<Corvane::Link*, std::atomic<long>*>> l) {
        std::vector<std::pair<long, uint64_t>> before;
        for (const auto& [link, count] : l)
            before.emplace_back(count->load(), link->getStreamCallbackDrops());
        return before;
    };
    for (auto _ : state) {
        // One Link alone.
        auto before = snapshot({{a, &aCount}});
        auto started = Clock::now();
        if (!countSamples(a, aCount) || !burstTaken({{a, &aCount}}, before)) {
            state.SkipWithError("one link: stream failed");
            break;
        }
        const double oneSeconds = std::chrono::duration<double>(Clock::now() - started).count();
        const long oneSamples = aCount.load() - before[0].first;
        stopCounting(a);

        // Two Links: b's own burst first, then the measured one for both.
        before = snapshot({{b, &bCount}});
        if (!countSamples(b, bCount) || !burstTaken({{b, &bCount}}, before)) {
            state.SkipWithError("second link: stream failed");
            break;
        }
        before = snapshot({{a, &aCount}, {b, &bCount}});
        started = Clock::now();
        if (!countSamples(a, aCount) || !burstTaken({{a, &aCount}, {b, &bCount}}, before)) {
            state.SkipWithError("two links: stream failed");
            break;
        }
        const double twoSeconds = std::chrono::duration<double>(Clock::now() - started).count();
        const long aSamples = aCount.load() - before[0].first;
        const long bSamples = bCount.load() - before[1].first;
        stopCounting(a);
        stopCounting(b);
        const double oneRate = oneSamples / oneSeconds;
        gTwoLinks.ratios.push_back(std::min(aSamples, bSamples) / twoSeconds / oneRate);
        gTwoLinks.units += std::min(aSamples, bSamples);
        gTwoLinks.seconds += twoSeconds;
    }
    a->enableStream(kAddress, kQuietCommand, 1, 0, false);
    b->enableStream(kAddress, kQuietCommand, 1, 0, false);
}

BENCHMARK(BM_StreamCallbacks)->UseRealTime()->Iterations(10);
BENCHMARK(BM_TwoLinksOneEngineLink)->UseRealTime()->Iterations(30);
BENCHMARK(BM_FilterGets)->UseRealTime()->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--unpinned")
            gPinned = false;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!gStream.ratios.empty() && gStream.seconds > 0)
        std::printf("stream_callbacks: %.0f samples/s (ratio %.2f vs raw socket read)\n",
                    gStream.units / gStream.seconds, median(gStream.ratios));
    if (!gGets.ratios.empty() && gGets.seconds > 0)
        std::printf("stream_filter_gets: %.0f trips/s (ratio %.2f vs no streams registered)\n",
                    gGets.units / gGets.seconds, median(gGets.ratios));
    if (!gTwoLinks.ratios.empty() && gTwoLinks.seconds > 0)
        std::printf("stream_two_links: %.0f samples/s per link (ratio %.2f vs one link alone)\n",
                    gTwoLinks.units / gTwoLinks.seconds, median(gTwoLinks.ratios));
    peer().module.stop();
    longBurstPeer().module.stop();
    return 0;
}
