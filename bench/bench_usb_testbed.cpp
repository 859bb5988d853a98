// The real USB stack under usb-testbed against USB emulation, in one run: a 1 MiB `Updater -U`
// through libusb and the testbed's emulated device against the same update over USB emulation
// (the difference is what the testbed and libusb cost), and the CPU an open USB link with
// nothing to read burns under the testbed (target: at most 1 % of a core), against the same
// idle link under USB emulation.
#include "ProcessRunner.h"
#include "RequestReplyModel.h"
#include "ScopedTempDir.h"
#include "SpawnedProgram.h"
#include "TaggedFirmware.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"

#include "corvane/Module.h"
#include "corvane/aVersion.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

using namespace Corvane::Tools;
using namespace std::chrono_literals;

#ifndef USB_TESTBED_BIN
#define USB_TESTBED_BIN ""
#endif
#ifndef UPDATER_BIN
#define UPDATER_BIN ""
#endif

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr const char* kSerialText = "40F5849A";
constexpr int kIdleSeconds = 3;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The child that holds an idle USB link: prints its CPU seconds per wall second.
int idleChild(uint32_t serial) {
    Corvane::Module module(2);
    aEtherConfig config;
    config.enabled = false;
    module.setConfig(config);
    if (aErr err = module.connect(USB, serial); err != aErrNone) {
        std::printf("connect failed: %d\n", err);
        return 1;
    }
    const double cpu = cpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("idle cpu %.6f\n", (cpuSeconds() - cpu) / wall);
    module.disconnect();
    return 0;
}

class Bench {
  public:
    explicit Bench(const std::string& self) : self_(self) {
        VirtualModuleConfig config;
        config.heartbeatMs = 0;
        config.identity.serialNumber = kSerial;
        vm_ = std::make_unique<VirtualModule>(config);
        model_ = std::make_unique<RequestReplyModel>(config.identity);
        model_->install(*vm_);
        upgrade_ = std::make_unique<UpgradeModel>(*model_, 4096);
        upgrade_->install(*vm_);
        std::string error;
        if (!vm_->start(&error))
            throw std::runtime_error("virtual module: " + error);
        entry_ = std::string(kSerialText) + ":13@127.0.0.1:" + std::to_string(vm_->port());

        BirdWriter writer;
        writer.addLoader(0x1000, testsupport::pattern(300, 9));
        writer.addFirmware(0x8000,
                           testsupport::taggedFirmware(1u << 20, 777, aVersion_Pack(2, 10, 5)));
        writer.addOffsets(0x8010, 0);
        writer.setInfoField(1, "2.10.5");
        writer.setInfoField(3, "RouterBridge");
        image_ = dir_.path() + "/image.bird";
        if (!writer.writeFile(image_, error))
            throw std::runtime_error(error);

        testbed_ = std::make_unique<SpawnedProgram>(
            std::vector<std::string>{USB_TESTBED_BIN, "--module", entry_}, true);
        while (const auto line = testbed_->readLine(20s)) {
            if (line->rfind("export ", 0) == 0)
                env_[line->substr(7, line->find('=') - 7)] = line->substr(line->find('=') + 1);
            if (*line == "usb-testbed: ready")
                return;
        }
        throw std::runtime_error("usb-testbed did not come up: " + testbed_->errors());
    }

    ~Bench() {
        testbed_->signal(SIGTERM);
        testbed_->wait(10s);
    }

    testsupport::ProcessOptions options(bool testbed) const {
        testsupport::ProcessOptions o;
        o.environment["HOME"] = dir_.path();
        o.deadline = 300s;
        if (testbed) {
            for (const auto& [name, value] : env_)
                o.environment[name] = value;
            o.environment["CORVANE_USB_EMULATION"] = std::nullopt;
        } else {
            o.environment["CORVANE_USB_EMULATION"] = entry_;
        }
        return o;
    }

    // Seconds of one whole update; 0 when it failed (the reason is printed).
    double update(bool testbed) const {
        const auto started = std::chrono::steady_clock::now();
        const auto result = testsupport::runProcess(
            UPDATER_BIN, {"-U", "-d", kSerialText, "-f", image_, "-u", "http://127.0.0.1:1/cgi/u"},
            options(testbed));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (result.exitStatus != 0) {
            std::fprintf(stderr, "update failed:\n%s%s\n", result.out.c_str(), result.err.c_str());
            return 0;
        }
        return seconds;
    }

    // CPU share of a core the idle child used; negative when it failed.
    double idle(bool testbed) const {
        const auto result =
            testsupport::runProcess(self_, {"--idle-child", kSerialText}, options(testbed));
        double share = -1;
        if (std::sscanf(result.out.c_str(), "idle cpu %lf", &share) != 1)
            std::fprintf(stderr, "idle child failed:\n%s%s\n", result.out.c_str(),
                         result.err.c_str());
        return share;
    }

  private:
    std::string self_;
    ScopedTempDir dir_;
    std::unique_ptr<VirtualModule> vm_;
    std::unique_ptr<RequestReplyModel> model_;
    std::unique_ptr<UpgradeModel> upgrade_;
    std::string entry_;
    std::string image_;
    std::unique_ptr<SpawnedProgram> testbed_;
    std::map<std::string, std::string> env_;
};

std::unique_ptr<Bench> gBench;
double gTestbed = 0, gEmulation = 0, gIdleTestbed = 0, gIdleEmulation = 0;
int gRuns = 0, gIdleRuns = 0;

void BM_Update1MiBUnderTestbed(benchmark::State& state) {
    for (auto _ : state) {
        const double testbed = gBench->update(true);
        const double emulation = gBench->update(false);
        if (testbed == 0 || emulation == 0) {
            state.SkipWithError("an update failed");
            return;
        }
        gTestbed += testbed;
        gEmulation += emulation;
        ++gRuns;
        state.SetIterationTime(testbed);
    }
}
BENCHMARK(BM_Update1MiBUnderTestbed)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_IdleUsbLinkUnderTestbed(benchmark::State& state) {
    for (auto _ : state) {
        const double testbed = gBench->idle(true);
        const double emulation = gBench->idle(false);
        if (testbed < 0 || emulation < 0) {
            state.SkipWithError("an idle child failed");
            return;
        }
        gIdleTestbed += testbed;
        gIdleEmulation += emulation;
        ++gIdleRuns;
        state.SetIterationTime(kIdleSeconds);
    }
}
BENCHMARK(BM_IdleUsbLinkUnderTestbed)->UseManualTime()->Iterations(2)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--idle-child") == 0)
        return idleChild(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 16)));
    if (std::string(USB_TESTBED_BIN).empty() || std::string(UPDATER_BIN).empty()) {
        std::printf("usb_testbed: not measured: usb-testbed is not built (umockdev's development "
                    "files are missing)\n");
        return 0;
    }
    try {
        gBench = std::make_unique<Bench>("/proc/self/exe");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "usb_testbed: %s\n", e.what());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gBench.reset();
    if (gRuns > 0)
        std::printf("usb_update_1MiB_testbed: %.3f s (ratio %.2f vs USB emulation %.3f s)\n",
                    gTestbed / gRuns, gTestbed / gEmulation, gEmulation / gRuns);
    if (gIdleRuns > 0)
        std::printf("usb_idle_link_cpu_testbed: %.3f %% of a core (ratio %.2f vs USB emulation "
                    "%.3f %%; target at most 1 %%)\n",
                    100 * gIdleTestbed / gIdleRuns,
                    gIdleEmulation > 0 ? gIdleTestbed / gIdleEmulation : 0.0,
                    100 * gIdleEmulation / gIdleRuns);
    return 0;
}
