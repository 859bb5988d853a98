// Firmware transfer over the link upgrade protocol to a virtual module that answers after 1 ms,
// against the protocol's own bound: its round trips times the latency, plus the wire time of
// the same exchanges measured against a module that answers at once. Both data paths: one UEI
// byte array per chunk (1 MiB image) and 26-byte DATA packets (64 KiB image, ~2500 trips).
// A 1 ms trip costs more than 1 ms on a machine whose idle CPUs wake slowly, for any host: the
// second figure counts each trip at what a raw socket's request/reply to the same module takes.
#include "LoopbackSocket.h"
#include "RecordingDisplay.h"
#include "RequestReplyModel.h"
#include "UpdaterEntity.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

using namespace Corvane::Tools;

namespace {

constexpr uint32_t kLatencyUs = 1000;
constexpr uint16_t kChunk = 4096;

class Peer {
  public:
    explicit Peer(uint32_t latencyUs) {
        VirtualModuleConfig config;
        config.heartbeatMs = 0;
        config.latencyUs = latencyUs;
        vm = std::make_unique<VirtualModule>(config);
        model = std::make_unique<RequestReplyModel>(config.identity);
        model->install(*vm);
        upgrade = std::make_unique<UpgradeModel>(*model, kChunk);
        upgrade->install(*vm);
        std::string error;
        if (!vm->start(&error))
            std::fprintf(stderr, "virtual module: %s\n", error.c_str());
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serialNumber = config.identity.serialNumber;
        spec.ipAddress = htonl(INADDR_LOOPBACK);
        spec.port = vm->port();
        module = std::make_unique<Corvane::Module>(2, static_cast<uint8_t>(0));
        module->connectFromSpec(spec);
    }

    // One firmware block through PREPARE, chunks with sums and WRITEs. Seconds taken.
    double transfer(const std::vector<uint8_t>& block, bool uei) {
        UpdaterEntity entity;
        entity.init(module.get(), 0, true, false);
        if (uei && entity.checkUEIDataSupport() == aErrNone)
            entity.checkProtocolVersion();
        const auto started = std::chrono::steady_clock::now();
        uint16_t chunk = 0;
        aErr err = entity.transferPrepare(block.data(), block.size(), 0, chunk);
        if (err == aErrNone)
            err = entity.firmwareTransfer(block.data(), block.size(), chunk, display);
        if (err != aErrNone)
            std::fprintf(stderr, "transfer failed: %d\n", err);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }

    // Seconds one request/reply takes from a raw socket (a 32-bit get of the serial number),
    // averaged over trips; 0 when the module cannot be reached that way.
    double rawTrip(int trips) {
        const int fd = connectLoopbackNoDelay(vm->port());
        if (fd < 0)
            return 0;
        const uint8_t request[] = {2, 3, 3, 0x40 | 9, 0x20}; // module 2, system entity, option 9
        uint8_t reply[9];
        const auto started = std::chrono::steady_clock::now();
        bool ok = true;
        for (int i = 0; i < trips && ok; ++i)
            ok = exchangeExactly(fd, request, sizeof request, reply, sizeof reply);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        close(fd);
        return ok ? seconds / trips : 0;
    }

    std::unique_ptr<VirtualModule> vm;
    std::unique_ptr<RequestReplyModel> model;
    std::unique_ptr<UpgradeModel> upgrade;
    std::unique_ptr<Corvane::Module> module;
    RecordingDisplay display;
};

std::vector<uint8_t> block(size_t payload) {
    std::vector<uint8_t> bytes(4 + payload);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 13 + 1);
    bytes[0] = bytes[1] = bytes[2] = bytes[3] = 0;
    return bytes;
}

// Round trips the protocol needs: PREPARE, then per chunk its data trips, SUM and WRITE.
uint64_t roundTrips(size_t payload, bool uei) {
    const uint64_t chunks = (payload + kChunk - 1) / kChunk;
    const uint64_t dataTrips = uei ? chunks : (payload + 25) / 26;
    return 1 + dataTrips + 2 * chunks;
}

struct Figure {
    double slow = 0, fast = 0, rawTrip = 0;
    uint64_t runs = 0;
};
Figure gUei, gData;

void run(benchmark::State& state, bool uei, size_t payload, Figure& figure) {
    static Peer slow(kLatencyUs), fast(0);
    const std::vector<uint8_t> image = block(payload);
    for (auto _ : state) {
        const double s = slow.transfer(image, uei);
        const double f = fast.transfer(image, uei);
        figure.rawTrip += slow.rawTrip(300);
        figure.slow += s;
        figure.fast += f;
        ++figure.runs;
        state.SetIterationTime(s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload));
}

void BM_UpdateUeiData1MiB(benchmark::State& state) {
    run(state, true, 1u << 20, gUei);
}
void BM_UpdatePlainData64KiB(benchmark::State& state) {
    run(state, false, 64u << 10, gData);
}
BENCHMARK(BM_UpdateUeiData1MiB)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdatePlainData64KiB)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

void report(const char* name, const Figure& f, size_t payload, bool uei) {
    if (f.runs == 0)
        return;
    const double slow = f.slow / f.runs, fast = f.fast / f.runs;
    const double bound = roundTrips(payload, uei) * (kLatencyUs / 1e6) + fast;
    std::printf("%s: %.3f s (ratio %.2f vs protocol bound %.3f s = %llu trips x 1 ms + wire "
                "%.3f s)\n",
                name, slow, slow / bound, bound,
                static_cast<unsigned long long>(roundTrips(payload, uei)), fast);
    const double rawTrip = f.rawTrip / f.runs;
    if (rawTrip > 0) {
        const double machineBound = roundTrips(payload, uei) * rawTrip + fast;
        std::printf("%s: ratio %.2f vs this machine's bound %.3f s = %llu trips x raw socket "
                    "trip %.3f ms + wire %.3f s\n",
                    name, slow / machineBound, machineBound,
                    static_cast<unsigned long long>(roundTrips(payload, uei)), rawTrip * 1e3,
                    fast);
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    report("update_uei_data_1MiB_1ms", gUei, 1u << 20, true);
    report("update_plain_data_64KiB_1ms", gData, 64u << 10, false);
    return 0;
}
