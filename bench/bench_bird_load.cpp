// Loading an 8 MiB firmware BIRD file (read, decompress, block walk) against plain zlib
// uncompress of the same compressed body, both measured in this run.
#include "BirdFile.h"
#include "BirdWriter.h"
#include "FirmwareLikeImage.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kFirmwareSize = 8u << 20;

struct Sample {
    std::string path;
    std::vector<uint8_t> file;
};

const Sample& sample() {
    static const Sample instance = [] {
        Sample s;
        BirdWriter writer;
        writer.addFirmware(0x00000000, firmwareLikeImage(kFirmwareSize), 1);
        writer.addOffsets(0x400, 0x800);
        writer.setInfoField(1, "1.0.0");
        writer.setInfoField(3, "USBHub3p");
        s.file = writer.fileBytes();
        const char* tmp = getenv("TMPDIR");
        s.path = std::string(tmp != nullptr ? tmp : "/tmp") + "/bench_bird_load.bird";
        std::ofstream(s.path, std::ios::binary)
            .write(reinterpret_cast<const char*>(s.file.data()),
                   static_cast<std::streamsize>(s.file.size()));
        return s;
    }();
    return instance;
}

void BM_BirdLoad(benchmark::State& state) {
    const Sample& s = sample();
    for (auto _ : state) {
        BirdFile bird(s.path);
        benchmark::DoNotOptimize(bird.blockCount());
    }
}

void BM_ZlibUncompress(benchmark::State& state) {
    const Sample& s = sample();
    const size_t body = s.file.size() - BIRD_HEADER_SIZE;
    std::vector<uint8_t> image(8 * body);
    for (auto _ : state) {
        uLongf length = image.size();
        if (uncompress(image.data(), &length, s.file.data() + BIRD_HEADER_SIZE, body) != Z_OK) {
            state.SkipWithError("uncompress failed");
            break;
        }
        benchmark::DoNotOptimize(image.data());
    }
}

// Medians of three repetitions each, so one busy moment on the shared machine does not decide.
BENCHMARK(BM_ZlibUncompress)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_BirdLoad)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// Keeps each benchmark's median CPU time per iteration (ms) while printing the usual table. Both
// sides are single-threaded, and CPU time is what a shared, busy machine distorts least.
class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    RecordingReporter() : ConsoleReporter(OO_Tabular) {} // no colour codes: scripts read this
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Aggregate &&
                run.aggregate_name == "median") {
                times[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::filesystem::remove(sample().path);
    const auto load = reporter.times.find("BM_BirdLoad");
    const auto zlib = reporter.times.find("BM_ZlibUncompress");
    if (load == reporter.times.end() || zlib == reporter.times.end() || zlib->second <= 0) {
        fprintf(stderr, "bench_bird_load: both benchmarks must run to give a ratio\n");
        return 1;
    }
    printf("bird_load: %.2f ms (ratio %.2f vs zlib uncompress)\n", load->second,
           load->second / zlib->second);
    return 0;
}
