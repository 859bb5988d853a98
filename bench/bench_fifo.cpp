// Packet FIFO hand-off between two threads (put on one, AwaitFirst on the other) against the
// plain mutex + condition variable + deque hand-off, measured in the same run.
#include "corvane/aPacketFifo.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr int kPackets = 20000; // hand-offs per iteration
constexpr int kWindow = 256;    // packets the producer may run ahead (well below the FIFO bound)

bool fromModule(const aPacket* packet, void*) {
    return packet->address == 4;
}

// Holds the producer back while it is kWindow packets ahead of the consumer.
void keepWindow(int produced, const std::atomic<int>& consumed) {
    while (produced - consumed.load(std::memory_order_acquire) >= kWindow) {
        std::this_thread::yield();
    }
}

void BM_PacketFifo(benchmark::State& state) {
    aPacketFifoId fifo = aPacketFifo_Create();
    const uint8_t data[3] = {0x10, 0x01, 0x02};
    aPacket* packet = aPacket_CreateWithData(4, 3, data);
    for (auto _ : state) {
        std::atomic<int> consumed{0};
        std::thread producer([&] {
            for (int i = 0; i < kPackets; ++i) {
                keepWindow(i, consumed);
                aPacketFifo_Put(fifo, packet);
            }
        });
        for (int i = 0; i < kPackets; ++i) {
            aPacket* got = aPacketFifo_AwaitFirst(fifo, fromModule, nullptr, 1000);
            if (got == nullptr) {
                state.SkipWithError("hand-off timed out");
                break;
            }
            aPacket_Destroy(&got);
            consumed.store(i + 1, std::memory_order_release);
        }
        producer.join();
    }
    state.SetItemsProcessed(state.iterations() * kPackets);
    aPacket_Destroy(&packet);
    aPacketFifo_Destroy(&fifo);
}

// The baseline: the textbook hand-off of packet records by value, first match by the same
// filter, one waiter woken per put.
class PlainQueue {
  public:
    void put(const aPacket& packet) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(packet);
        }
        ready_.notify_one();
    }
    bool awaitFirst(aPacketFilter filter, aPacket& out) {
        std::unique_lock lock(mutex_);
        std::deque<aPacket>::iterator found;
        bool ok = ready_.wait_for(lock, std::chrono::seconds(1), [&] {
            for (found = queue_.begin(); found != queue_.end(); ++found) {
                if (filter(&*found, nullptr)) {
                    return true;
                }
            }
            return false;
        });
        if (ok) {
            out = *found;
            queue_.erase(found);
        }
        return ok;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<aPacket> queue_;
};

void BM_MutexCondvarDeque(benchmark::State& state) {
    PlainQueue queue;
    const uint8_t data[3] = {0x10, 0x01, 0x02};
    aPacket* packet = aPacket_CreateWithData(4, 3, data);
    for (auto _ : state) {
        std::atomic<int> consumed{0};
        std::thread producer([&] {
            for (int i = 0; i < kPackets; ++i) {
                keepWindow(i, consumed);
                queue.put(*packet);
            }
        });
        for (int i = 0; i < kPackets; ++i) {
            aPacket got;
            if (!queue.awaitFirst(fromModule, got)) {
                state.SkipWithError("hand-off timed out");
                break;
            }
            benchmark::DoNotOptimize(got);
            consumed.store(i + 1, std::memory_order_release);
        }
        producer.join();
    }
    state.SetItemsProcessed(state.iterations() * kPackets);
    aPacket_Destroy(&packet);
}

// Interleaves the two so that drifting machine load hits both alike.
BENCHMARK(BM_MutexCondvarDeque)->UseRealTime()->MinTime(0.5)->Repetitions(3);
BENCHMARK(BM_PacketFifo)->UseRealTime()->MinTime(0.5)->Repetitions(3);

// Keeps each benchmark's best items-per-second figure for the summary line.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    SummaryReporter() : ConsoleReporter(OO_Tabular) {} // plain text: scripts read the output
    std::map<std::string, double> best;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end()) {
                double& slot = best[run.run_name.function_name];
                slot = std::max(slot, static_cast<double>(rate->second));
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const double fifo = reporter.best["BM_PacketFifo"];
    const double baseline = reporter.best["BM_MutexCondvarDeque"];
    if (fifo > 0 && baseline > 0) {
        std::printf("fifo_handoff: %.0f ops/s (ratio %.2f vs mutex+condvar+deque)\n", fifo,
                    fifo / baseline);
    }
    return 0;
}
