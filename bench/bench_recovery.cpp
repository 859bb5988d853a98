// Boot-ROM recovery against the simulator paced at 115200 baud with a real chip's flash times
// (100 ms per sector erased, 1 ms per 256 bytes programmed): an NXP flash of 256 KiB (random, and
// half erased flash) and an i.MX loader upload of 64 KiB, each against the wire time of the bytes
// that crossed the line plus the simulated chip's own erase and programming time. Where Debian's
// lpc21isp and imx_uart are installed, the same work done by them on the same simulated chip is
// the second baseline.
#include "BirdFile.h"
#include "BirdWriter.h"
#include "ProcessRunner.h"
#include "Recovery.h"
#include "SDPProtocol.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"
#include "Serial_SDPLoader.h"
#include "SpawnedProgram.h"

#include "SilentDisplay.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr uint32_t kBaud = 115200;
constexpr uint32_t kImxLoad = 0x20000400;

// One simulator run: its device, and at the end what crossed the line.
class Simulator {
  public:
    // As strict as a real chip: line rates checked; an i.MX part keeps unfinished frames, wants
    // the association first and starts only images with a vector table.
    explicit Simulator(const std::string& chip, std::vector<std::string> options = {})
        : program_(arguments(chip, std::move(options))) {
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
    static std::vector<std::string> arguments(const std::string& chip,
                                              std::vector<std::string> options) {
        options.insert(options.begin(), {BOOTROM_SIM_BIN, "--chip", chip, "--baud",
                                         std::to_string(kBaud), "--check-rate"});
        if (chip == "imx") {
            options.insert(options.end(),
                           {"--strict-framing", "--require-association", "--require-ivt"});
        }
        return options;
    }
    SpawnedProgram program_;
};

std::string findProgram(const std::string& name) {
    std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string dir; std::getline(path, dir, ':');) {
        const fs::path candidate = fs::path(dir) / name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return "";
}

std::vector<uint8_t> nxpFirmware(bool secondHalfErased) {
    std::vector<uint8_t> firmware = testsupport::firmwareBytes(256 * 1024, 5);
    if (secondHalfErased) {
        std::fill(firmware.begin() + firmware.size() / 2, firmware.end(), 0xFF);
    }
    return firmware;
}

BirdFile image(bool secondHalfErased) {
    BirdWriter writer;
    writer.addFirmware(0, nxpFirmware(secondHalfErased));
    writer.setInfoField(1, "1.0.0");
    const std::vector<uint8_t> bytes = writer.fileBytes(1);
    return BirdFile::fromMemory("bench.bird", bytes.data(), bytes.size());
}

// 64 KiB that both the Updater and imx_uart can start: an image vector table naming its own
// address, boot data covering the whole image, then the loader's body.
std::vector<uint8_t> imxLoader() {
    return testsupport::imxLoaderBytes(kImxLoad, 64 * 1024, 9);
}

struct Figure {
    double seconds = 0;
    double baseline = 0;
};
Figure g_random, g_halfErased, g_imx, g_lpc21isp, g_updaterImxLoad, g_imxUart;

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

// lpc21isp synchronises, identifies, erases the sectors the image needs and programs it.
Figure lpc21ispProgram() {
    const std::string lpc21isp = findProgram("lpc21isp");
    if (lpc21isp.empty()) {
        throw std::runtime_error("lpc21isp is not installed");
    }
    ScopedTempDir dir;
    const fs::path file = fs::path(dir.path()) / "firmware.bin";
    const std::vector<uint8_t> firmware = nxpFirmware(false);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(firmware.data()),
               static_cast<std::streamsize>(firmware.size()));
    Simulator simulator("lpc");
    testsupport::ProcessOptions options;
    options.deadline = 600s;
    const auto t0 = std::chrono::steady_clock::now();
    const auto run = testsupport::runProcess(
        lpc21isp, {"-bin", file.string(), simulator.device, std::to_string(kBaud), "14746"},
        options);
    const auto t1 = std::chrono::steady_clock::now();
    if (run.exitStatus != 0) {
        const std::string& out = run.out;
        throw std::runtime_error("lpc21isp failed: " +
                                 out.substr(out.size() - std::min<size_t>(out.size(), 200)));
    }
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

// What a user waits for on either side: open the port, write the loader, start it. The started
// image greets on the line, without which imx_uart would wait for ever after its jump.
Figure updaterImxLoad() {
    BirdWriter writer;
    writer.addLoader(kImxLoad, imxLoader());
    writer.addLoaderStart(kImxLoad);
    const std::vector<uint8_t> bytes = writer.fileBytes(1);
    const BirdFile bird = BirdFile::fromMemory("loader.bird", bytes.data(), bytes.size());
    Simulator simulator("imx", {"--banner", "U-Boot\r\n"});
    SilentDisplay display;
    const auto t0 = std::chrono::steady_clock::now();
    if (_load_liveloader_imx(display, bird, simulator.device) != aErrNone) {
        throw std::runtime_error("loader upload failed: " + display.lastError);
    }
    const auto t1 = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(t1 - t0).count(), simulator.baselineSeconds()};
}

Figure imxUartLoad() {
    const std::string imxUart = findProgram("imx_uart");
    if (imxUart.empty()) {
        throw std::runtime_error("imx_uart is not installed");
    }
    ScopedTempDir dir;
    const fs::path file = fs::path(dir.path()) / "loader.imx";
    const fs::path config = fs::path(dir.path()) / "chip.conf";
    const std::vector<uint8_t> loader = imxLoader();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(loader.data()),
               static_cast<std::streamsize>(loader.size()));
    std::ofstream(config) << "sim\nhid,1024,0x20200000,0x20000000,128K,0x20200000,256K\n";
    Simulator simulator("imx", {"--banner", "U-Boot\r\n"});
    testsupport::ProcessOptions options;
    options.deadline = 120s;
    const auto t0 = std::chrono::steady_clock::now();
    const auto run = testsupport::runProcess(
        imxUart, {"-n", simulator.device, config.string(), file.string()}, options);
    const auto t1 = std::chrono::steady_clock::now();
    if (run.exitStatus != 0) {
        throw std::runtime_error("imx_uart failed: " + run.out + run.err);
    }
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
void BM_Lpc21ispProgram(benchmark::State& state) {
    run(state, g_lpc21isp, lpc21ispProgram);
}
void BM_ImxLoaderUpload(benchmark::State& state) {
    run(state, g_imx, imxUpload);
}
void BM_ImxLoaderStart(benchmark::State& state) {
    run(state, g_updaterImxLoad, updaterImxLoad);
}
void BM_ImxUartLoaderStart(benchmark::State& state) {
    run(state, g_imxUart, imxUartLoad);
}

// Each run takes tens of seconds of line time: one iteration says enough.
BENCHMARK(BM_NxpRecoveryRandom)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_NxpRecoveryHalfErased)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_Lpc21ispProgram)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_ImxLoaderUpload)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_ImxLoaderStart)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_ImxUartLoaderStart)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_random.baseline <= 0 || g_halfErased.baseline <= 0 || g_imx.baseline <= 0 ||
        g_updaterImxLoad.baseline <= 0) {
        std::printf("recovery: failed\n");
        return 1;
    }
    std::printf("nxp_recovery_256k: %.2f s (ratio %.3f vs wire time + erase/copy time)\n",
                g_random.seconds, g_random.seconds / g_random.baseline);
    std::printf("nxp_recovery_256k_half_erased: %.2f s (ratio %.3f vs random-image recovery)\n",
                g_halfErased.seconds, g_halfErased.seconds / g_random.seconds);
    if (g_lpc21isp.seconds > 0) {
        std::printf("nxp_recovery_256k_vs_lpc21isp: lpc21isp %.2f s (ratio %.3f vs wire time + "
                    "erase/copy time; Updater ratio %.3f vs lpc21isp)\n",
                    g_lpc21isp.seconds, g_lpc21isp.seconds / g_lpc21isp.baseline,
                    g_random.seconds / g_lpc21isp.seconds);
    } else {
        std::printf("nxp_recovery_256k_vs_lpc21isp: lpc21isp not installed\n");
    }
    std::printf("imx_loader_upload_64k: %.2f s (ratio %.3f vs wire time)\n", g_imx.seconds,
                g_imx.seconds / g_imx.baseline);
    if (g_imxUart.seconds > 0) {
        std::printf("imx_loader_start_64k_vs_imx_uart: Updater %.2f s, imx_uart %.2f s (ratio "
                    "%.3f)\n",
                    g_updaterImxLoad.seconds, g_imxUart.seconds,
                    g_updaterImxLoad.seconds / g_imxUart.seconds);
    } else {
        std::printf("imx_loader_start_64k_vs_imx_uart: imx_uart not installed\n");
    }
    return 0;
}
