// Boot-ROM recovery against the simulator paced at 115200 baud: an NXP flash of 256 KiB (random,
// and half erased flash) and an i.MX loader upload of 64 KiB, each against the wire time of the
// bytes that crossed the line plus the simulated chip's own erase and programming time.
#include "BirdFile.h"
#include "BirdWriter.h"
#include "Recovery.h"
#include "SDPProtocol.h"
#include "SampleCatalogue.h"
#include "Serial_SDPLoader.h"
#include "SpawnedProgram.h"

#include "SilentDisplay.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using namespace std::chrono_literals;
constexpr uint32_t kBaud = 115200;

// One simulator run: its device, and at the end what crossed the line.
class Simulator {
  public:
    explicit Simulator(const std::string& chip)
        : program_({BOOTROM_SIM_BIN, "--chip", chip, "--baud", std::to_string(kBaud)}) {
        const auto line = program_.readLine(10s);
        if (!line || line->rfind(" on ") == std::string::npos) {
            throw std::runtime_error("bootrom-sim did not start");
        }
        device = line->substr(line->rfind(" on ") + 4);
    }
    // Stops the simulator; the wire time of its traffic plus its busy time, in seconds.
    double baselineSeconds() {
        program_.signal(SIGTERM);
        program_.wait(10s);
        unsigned long long received = 0, sent = 0, busy = 0;
        const std::string& out = program_.output();
        const size_t at = out.find("received ");
        if (at == std::string::npos ||
            sscanf(out.c_str() + at, "received %llu bytes, sent %llu bytes, busy %llu ms",
                   &received, &sent, &busy) != 3) {
            throw std::runtime_error("bootrom-sim gave no statistics");
        }
        return static_cast<double>(received + sent) * 10 / kBaud + static_cast<double>(busy) / 1000;
    }
    std::string device;

  private:
    SpawnedProgram program_;
};

BirdFile image(bool secondHalfErased) {
    std::vector<uint8_t> firmware = testsupport::firmwareBytes(256 * 1024, 5);
    if (secondHalfErased) {
        std::fill(firmware.begin() + firmware.size() / 2, firmware.end(), 0xFF);
    }
    BirdWriter writer;
    writer.addFirmware(0, firmware);
    writer.setInfoField(1, "1.0.0");
    const std::vector<uint8_t> bytes = writer.fileBytes(1);
    return BirdFile::fromMemory("bench.bird", bytes.data(), bytes.size());
}

struct Figure {
    double seconds = 0;
    double baseline = 0;
};
Figure g_random, g_halfErased, g_imx;

Figure nxpRecovery(bool secondHalfErased) {
    const BirdFile bird = image(secondHalfErased);
    Simulator simulator("lpc");
    SilentDisplay display;
    ChipIdentifier id{};
    const auto t0 = std::chrono::steady_clock::now();
    if (!nxpGetInfo(simulator.device, kBaud, id) ||
        !nxpFlashFirmware(display, bird, simulator.device, kBaud)) {
        throw std::runtime_error("NXP recovery failed: " + display.lastError);
    }
    const auto t1 = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(t1 - t0).count(), simulator.baselineSeconds()};
}

Figure imxUpload() {
    const std::vector<uint8_t> loader = testsupport::firmwareBytes(64 * 1024, 9);
    Simulator simulator("imx");
    SDPProtocol protocol;
    protocol.setTransport(std::make_unique<Serial_SDPLoader>(simulator.device));
    if (protocol.open() != aErrNone) {
        throw std::runtime_error("cannot open " + simulator.device);
    }
    const auto t0 = std::chrono::steady_clock::now();
    if (protocol.writeFile(loader.data(), loader.size(), 0x20000000) != SDPProtocol::WRITE_OK) {
        throw std::runtime_error("loader upload failed");
    }
    const auto t1 = std::chrono::steady_clock::now();
    protocol.release();
    return {std::chrono::duration<double>(t1 - t0).count(), simulator.baselineSeconds()};
}

void run(benchmark::State& state, Figure& figure, Figure (*measure)()) {
    for (auto _ : state) {
        try {
            figure = measure();
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
        state.SetIterationTime(figure.seconds);
    }
}

void BM_NxpRecoveryRandom(benchmark::State& state) {
    run(state, g_random, [] { return nxpRecovery(false); });
}
void BM_NxpRecoveryHalfErased(benchmark::State& state) {
    run(state, g_halfErased, [] { return nxpRecovery(true); });
}
void BM_ImxLoaderUpload(benchmark::State& state) {
    run(state, g_imx, imxUpload);
}

// Each run takes tens of seconds of line time: one iteration says enough.
BENCHMARK(BM_NxpRecoveryRandom)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_NxpRecoveryHalfErased)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_ImxLoaderUpload)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_random.baseline <= 0 || g_halfErased.baseline <= 0 || g_imx.baseline <= 0) {
        std::printf("recovery: failed\n");
        return 1;
    }
    std::printf("nxp_recovery_256k: %.2f s (ratio %.3f vs wire time + erase/copy time)\n",
                g_random.seconds, g_random.seconds / g_random.baseline);
    std::printf("nxp_recovery_256k_half_erased: %.2f s (ratio %.3f vs random-image recovery)\n",
                g_halfErased.seconds, g_halfErased.seconds / g_random.seconds);
    std::printf("imx_loader_upload_64k: %.2f s (ratio %.3f vs wire time)\n", g_imx.seconds,
                g_imx.seconds / g_imx.baseline);
    return 0;
}
