// A rack update: 8 virtual modules on USB emulation, each answering after 1 ms, updated at once
// with a 1 MiB image, against one of them updated alone in the same run. The modules' waits
// overlap, so the rack should take little more than one module; every image is read back from
// the module it went to and compared byte for byte.
#include "RackUpdate.h"
#include "RecordingDisplay.h"
#include "RequestReplyModel.h"
#include "ScopedTempDir.h"
#include "TaggedFirmware.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"

#include "corvane/Module.h"

#include "corvane/aVersion.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

using namespace Corvane::Tools;

namespace {

constexpr uint32_t kLatencyUs = 1000;
constexpr size_t kModules = 8;
constexpr size_t kImageBytes = 1u << 20;
constexpr uint32_t kFirmwareAddress = 0x8000;
constexpr uint32_t kBuild = 12345;

struct Peer {
    std::unique_ptr<RequestReplyModel> model;
    std::unique_ptr<UpgradeModel> upgrade;
    std::unique_ptr<VirtualModule> vm; // last: it stops serving before the models go
};

class Rack {
  public:
    Rack() {
        std::string emulation;
        for (size_t i = 0; i < kModules; ++i) {
            VirtualModuleConfig config;
            config.heartbeatMs = 0;
            config.latencyUs = kLatencyUs;
            config.identity.serialNumber = serial(i);
            config.identity.model = 19;
            Peer peer;
            peer.vm = std::make_unique<VirtualModule>(config);
            peer.model = std::make_unique<RequestReplyModel>(config.identity);
            peer.model->install(*peer.vm);
            peer.model->setFirmware(11111, aVersion_Pack(2, 10, 3));
            peer.upgrade = std::make_unique<UpgradeModel>(*peer.model, 4096);
            peer.upgrade->install(*peer.vm);
            std::string error;
            if (!peer.vm->start(&error))
                std::fprintf(stderr, "virtual module: %s\n", error.c_str());
            char entry[64];
            snprintf(entry, sizeof entry, "%s%08X:13@127.0.0.1:%u", i == 0 ? "" : ",", serial(i),
                     peer.vm->port());
            emulation += entry;
            peers.push_back(std::move(peer));
        }
        setenv("CORVANE_USB_EMULATION", emulation.c_str(), 1);
        // No offsets block: the image goes in unchanged, so a read-back compares every byte.
        firmware = testsupport::taggedFirmware(kImageBytes, kBuild, aVersion_Pack(2, 10, 5));
        BirdWriter writer;
        writer.addLoader(0x1000, testsupport::pattern(300, 9));
        writer.addFirmware(kFirmwareAddress, firmware);
        writer.setInfoField(1, "2.10.5");
        writer.setInfoField(3, "RouterBridge");
        image = dir.path() + "/image.bird";
        std::string error;
        if (!writer.writeFile(image, error))
            std::fprintf(stderr, "image: %s\n", error.c_str());
    }

    static uint32_t serial(size_t i) { return 0x10C0FFE0 + static_cast<uint32_t>(i); }

    // Updates the first count modules at once; seconds taken, or a negative number when any
    // update failed or any module's read-back differs from the image.
    double update(size_t count) {
        RecordingDisplay display;
        RunSettings run("http://127.0.0.1:1/cgi/u", dir.path());
        run.useUeiBytes = true;
        UpdaterContext context(run, display);
        RackRequest request;
        for (size_t i = 0; i < count; ++i)
            request.serials.push_back(serial(i));
        request.birdFile = image;
        request.override = true; // the image names no module: each takes it as it is
        request.jobs = static_cast<uint32_t>(count);
        std::vector<ModuleOutcome> outcomes;
        const auto started = std::chrono::steady_clock::now();
        const bool ok = rackUpdateCommand(context, request, outcomes);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (!ok) {
            for (const auto& line : display.errors())
                std::fprintf(stderr, "%s\n", line.c_str());
            return -1;
        }
        for (size_t i = 0; i < count; ++i) {
            const auto stored = peers[i].upgrade->firmware();
            const auto it = stored.find(kFirmwareAddress);
            if (it == stored.end() || it->second != firmware) {
                std::fprintf(stderr, "module %08X: the image read back differs\n", serial(i));
                return -1;
            }
            ++verified;
        }
        return seconds;
    }

    ScopedTempDir dir;
    std::vector<Peer> peers;
    std::vector<uint8_t> firmware;
    std::string image;
    uint64_t verified = 0;
};

struct Figure {
    double one = 0, all = 0;
    uint64_t runs = 0;
    bool failed = false;
};
Figure gFigure;
Rack* gRack = nullptr;

void BM_RackUpdate8x1MiB(benchmark::State& state) {
    static Rack rack;
    gRack = &rack;
    for (auto _ : state) {
        const double one = rack.update(1);
        const double all = rack.update(kModules);
        if (one < 0 || all < 0) {
            gFigure.failed = true;
            state.SkipWithError("an update failed or an image did not read back");
            break;
        }
        gFigure.one += one;
        gFigure.all += all;
        ++gFigure.runs;
        state.SetIterationTime(all);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kModules * kImageBytes));
}
BENCHMARK(BM_RackUpdate8x1MiB)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

// Seconds for count modules of the rack to be connected over USB, each from its own thread.
double connectAtOnce(Rack& rack, size_t count) {
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (size_t i = 0; i < count; ++i)
        threads.emplace_back([&rack, i] {
            Corvane::Module module(0, static_cast<uint8_t>(0));
            aEtherConfig config;
            config.enabled = false;
            config.fallback = false;
            module.setConfig(config);
            if (module.connect(USB, rack.serial(i)) != aErrNone)
                std::fprintf(stderr, "module %08X: no connection\n", rack.serial(i));
            module.disconnect();
        });
    for (std::thread& thread : threads)
        thread.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

double gConnectOne = 0, gConnectAll = 0;

void BM_UsbConnect8AtOnce(benchmark::State& state) {
    if (gRack == nullptr)
        return state.SkipWithError("the rack did not start");
    for (auto _ : state) {
        const double one = connectAtOnce(*gRack, 1);
        const double all = connectAtOnce(*gRack, kModules);
        gConnectOne += one;
        gConnectAll += all;
        state.SetIterationTime(all);
    }
    gConnectOne /= static_cast<double>(state.iterations());
    gConnectAll /= static_cast<double>(state.iterations());
}
BENCHMARK(BM_UsbConnect8AtOnce)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gFigure.runs == 0 || gFigure.failed) {
        std::printf("rack_update_8x1MiB_1ms: failed\n");
        return 1;
    }
    const double one = gFigure.one / gFigure.runs, all = gFigure.all / gFigure.runs;
    std::printf("rack_update_8x1MiB_1ms: %.3f s (ratio %.2f vs one module alone %.3f s; target "
                "1.30; %llu images verified by read-back)\n",
                all, all / one, one, static_cast<unsigned long long>(gRack ? gRack->verified : 0));
    if (gConnectOne > 0)
        std::printf("usb_connect_8_at_once: %.3f s (ratio %.2f vs one connect %.3f s)\n",
                    gConnectAll, gConnectAll / gConnectOne, gConnectOne);
    return 0;
}
