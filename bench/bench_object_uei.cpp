// UEI exchanges through the object layer (Module, EntityClass, Link over an engine link) with
// the virtual module over loopback TCP, against a raw socket that sends the same request bytes
// and reads the same reply bytes from the same module in the same run:
//   object_getUEI32: one 32-bit get and its reply per trip;
//   object_uei_bytes_16k: setUEIBytes of 16 KiB (683 packets, one acknowledgement) and
//   getUEIBytes of them back (one request, 683 reply packets); once as the link comes, once with
//   pooled packets on (on a socket the writer batches the run into a few writes either way).
// Raw and object blocks take turns so the drifting load of a shared machine weighs on both; the
// ratio is the median of the per-block ratios.
//
// The program pins itself to one CPU unless given --unpinned (BenchPinning.h says why).
#include "BenchMedian.h"
#include "LoopbackSocket.h"
#include "corvane/EntityClass.h"
#include "corvane/Module.h"

#include "RequestReplyModel.h"
#include "VirtualModule.h"

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
#include <vector>

namespace {

using Corvane::Tools::RequestReplyModel;
using Corvane::Tools::VirtualModule;
using Corvane::Tools::VirtualModuleConfig;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kAddress = 2;
constexpr uint8_t kSystem = 3;
constexpr uint8_t kSerialOption = 9;
constexpr uint8_t kNameOption = 32; // a byte array the model keeps (up to 32 KiB)
constexpr uint32_t kBytesLength = 16384;

struct Peer {
    Peer() : module(config()), model(config().identity) {}
    static VirtualModuleConfig config() {
        VirtualModuleConfig c;
        c.heartbeatMs = 0;
        return c;
    }
    VirtualModule module;
    RequestReplyModel model;
};

Peer& peer() {
    static std::unique_ptr<Peer> instance = [] {
        auto p = std::make_unique<Peer>();
        p->model.install(p->module);
        std::string error;
        if (!p->module.start(&error)) {
            std::fprintf(stderr, "virtual module: %s\n", error.c_str());
            std::exit(1);
        }
        return p;
    }();
    return *instance;
}

std::vector<uint8_t> pattern() {
    std::vector<uint8_t> data(kBytesLength);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    return data;
}

// The wire bytes of a UEIBytes run: address, length, command, option, specifier, data, control.
std::vector<uint8_t> bytesRun(uint8_t option, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> wire;
    uint8_t sequence = 0;
    for (std::size_t sent = 0; sent < data.size();) {
        const std::size_t count = std::min<std::size_t>(data.size() - sent, 24);
        wire.insert(wire.end(), {kAddress, static_cast<uint8_t>(count + 4), kSystem, option, 0x20});
        wire.insert(wire.end(), data.begin() + sent, data.begin() + sent + count);
        sent += count;
        wire.push_back(static_cast<uint8_t>((sent < data.size() ? 0x80 : 0) | sequence));
        sequence = (sequence + 1) & 0x7F;
    }
    return wire;
}

std::size_t bytesRunReplySize(std::size_t length) {
    const std::size_t packets = (length + 23) / 24;
    return length + packets * 6; // address, length, three header bytes and the control byte
}

// A blocking socket to the module that sends prepared request bytes and reads a reply of a
// known size.
class RawHost {
  public:
    RawHost() : setRun_(bytesRun(0x80 | kNameOption, pattern())) {
        fd_ = connectLoopbackNoDelay(peer().module.port());
        ok_ = fd_ >= 0;
    }
    ~RawHost() {
        if (fd_ >= 0)
            close(fd_);
    }

    bool getUEI32() {
        const uint8_t request[] = {kAddress, 3, kSystem, 0x40 | kSerialOption, 0x20};
        return exchange(request, sizeof request, 9);
    }
    bool bytes16k() {
        const uint8_t get[] = {kAddress, 3, kSystem, 0x40 | kNameOption, 0x20};
        return exchange(setRun_.data(), setRun_.size(), 5) &&
               exchange(get, sizeof get, bytesRunReplySize(kBytesLength));
    }

  private:
    bool exchange(const uint8_t* request, std::size_t length, std::size_t replySize) {
        reply_.resize(replySize);
        return ok_ && exchangeExactly(fd_, request, length, reply_.data(), replySize);
    }

    int fd_ = -1;
    bool ok_ = false;
    std::vector<uint8_t> setRun_;
    std::vector<uint8_t> reply_;
};

class SystemEntity : public Corvane::EntityClass {
  public:
    explicit SystemEntity(Corvane::Module* module) { init(module, kSystem, 0); }
};

class ObjectHost {
  public:
    // pooled: the engine link's writer batches queued packets (Link::enablePooledPackets).
    explicit ObjectHost(bool pooled = false)
        : module_(kAddress), system_(&module_), data_(pattern()), back_(kBytesLength) {
        linkSpec spec{};
        spec.type = TCPIP;
        spec.ipAddress = htonl(INADDR_LOOPBACK);
        spec.port = peer().module.port();
        ok_ = module_.connectFromSpec(spec) == aErrNone &&
              module_.getLink()->enablePooledPackets(pooled) == aErrNone;
    }
    bool getUEI32() {
        uint32_t serial = 0;
        return ok_ && system_.getUEI32(kSerialOption, &serial) == aErrNone;
    }
    bool bytes16k() {
        uint32_t unloaded = 0;
        return ok_ && system_.setUEIBytes(kNameOption, data_.data(), kBytesLength) == aErrNone &&
               system_.getUEIBytes(kNameOption, back_.data(), kBytesLength, &unloaded) ==
                   aErrNone &&
               unloaded == kBytesLength;
    }

  private:
    Corvane::Module module_;
    SystemEntity system_;
    bool ok_ = false;
    std::vector<uint8_t> data_;
    std::vector<uint8_t> back_;
};

struct Figures {
    std::vector<double> ratios;
    double units = 0;
    double seconds = 0;
};
Figures gGets, gBytes, gBytesPooled;

template <class Trip> double timeBlock(int trips, Trip&& trip) {
    const auto started = Clock::now();
    for (int i = 0; i < trips; ++i)
        if (!trip())
            return -1.0;
    return std::chrono::duration<double>(Clock::now() - started).count();
}

template <class RawTrip, class ObjectTrip>
void interleave(benchmark::State& state, Figures& figures, int trips, double unitsPerTrip,
                RawTrip&& raw, ObjectTrip&& object) {
    for (auto _ : state) {
        const double rawSeconds = timeBlock(trips, raw);
        const double objectSeconds = timeBlock(trips, object);
        if (rawSeconds <= 0 || objectSeconds <= 0) {
            state.SkipWithError("exchange failed");
            break;
        }
        figures.ratios.push_back(rawSeconds / objectSeconds);
        figures.units += trips * unitsPerTrip;
        figures.seconds += objectSeconds;
    }
}

void BM_GetUEI32(benchmark::State& state) {
    RawHost raw;
    ObjectHost object;
    interleave(
        state, gGets, 1000, 1, [&] { return raw.getUEI32(); }, [&] { return object.getUEI32(); });
}

void BM_Bytes16K(benchmark::State& state) {
    RawHost raw;
    ObjectHost object(state.range(0) != 0);
    interleave(
        state, state.range(0) ? gBytesPooled : gBytes, 4, 2.0 * kBytesLength,
        [&] { return raw.bytes16k(); }, [&] { return object.bytes16k(); });
}

BENCHMARK(BM_GetUEI32)->UseRealTime()->Iterations(30);
BENCHMARK(BM_Bytes16K)->Arg(0)->Arg(1)->UseRealTime()->Iterations(30);

} // namespace

int main(int argc, char** argv) {
    const bool pinned = pinUnlessUnpinned(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const char* placement = pinned ? "pinned" : "unpinned";
    if (!gGets.ratios.empty() && gGets.seconds > 0)
        std::printf("object_getUEI32 (%s): %.0f trips/s (ratio %.2f vs raw socket ping-pong)\n",
                    placement, gGets.units / gGets.seconds, median(gGets.ratios));
    if (!gBytes.ratios.empty() && gBytes.seconds > 0)
        std::printf("object_uei_bytes_16k (%s): %.0f bytes/s (ratio %.2f vs raw socket transfer)\n",
                    placement, gBytes.units / gBytes.seconds, median(gBytes.ratios));
    if (!gBytesPooled.ratios.empty() && gBytesPooled.seconds > 0)
        std::printf("object_uei_bytes_16k_pooled (%s): %.0f bytes/s (ratio %.2f vs raw socket "
                    "transfer)\n",
                    placement, gBytesPooled.units / gBytesPooled.seconds,
                    median(gBytesPooled.ratios));
    peer().module.stop();
    return 0;
}
