// Timer costs: start+stop with 100,000 timers scheduled, dispatch latency of one-shot timers,
// and worker reuse under 100 periodic timers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "infra/Timer.h"
#include "infra3/thread/TimerInternal.h"

using namespace Tovix::Infra;
using Callback = TFunction1<void, unsigned long>;
using SteadyClock = std::chrono::steady_clock;

namespace {

void nothing(unsigned long) {}

// start+stop of one timer while `range(0)` other timers wait in the schedule at spread-out due
// times, so that every insertion lands at a different place of a large schedule.
void BM_TimerStartStop(benchmark::State& state) {
    const int scheduled = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<CTimer>> background;
    background.reserve(static_cast<std::size_t>(scheduled));
    std::mt19937 random(7);
    for (int i = 0; i < scheduled; ++i) {
        background.push_back(std::make_unique<CTimer>("background"));
        background.back()->start(Callback(&nothing), 3000000 + random() % 1000000, 0, 0, 0);
    }
    CTimer probe("probe");
    unsigned int offset = 0;
    for (auto _ : state) {
        offset = (offset + 7919) % 1000000;
        benchmark::DoNotOptimize(probe.start(Callback(&nothing), 3000000 + offset, 0, 0, 0));
        benchmark::DoNotOptimize(probe.stop(false));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerStartStop)
    ->Arg(0)
    ->Arg(100000)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kNanosecond);

// Records when each one-shot callback is entered.
struct LatencyProbe {
    std::vector<SteadyClock::time_point> entered;
    std::atomic<int> done{0};
    void run(unsigned long index) {
        entered[index] = SteadyClock::now();
        done.fetch_add(1, std::memory_order_release);
    }
};

// Due time to callback entry for one-shot timers, in microseconds: median, 99th percentile and
// maximum over all samples. Delays are spread over 20 … 70 ms so that due times fall at every
// phase of the 10 ms tick.
void BM_TimerDispatchLatency(benchmark::State& state) {
    constexpr int kRounds = 8;
    constexpr int kPerRound = 50;
    std::vector<double> latencies;
    for (auto _ : state) {
        std::mt19937 random(11);
        for (int round = 0; round < kRounds; ++round) {
            LatencyProbe probe;
            probe.entered.resize(kPerRound);
            std::vector<std::unique_ptr<CTimer>> timers;
            std::vector<SteadyClock::time_point> due(kPerRound);
            for (int i = 0; i < kPerRound; ++i) {
                timers.push_back(std::make_unique<CTimer>("latency"));
                const unsigned int delay = 20 + random() % 51;
                due[i] = SteadyClock::now() + std::chrono::milliseconds(delay);
                timers.back()->start(Callback(&probe, &LatencyProbe::run), delay, 0,
                                     static_cast<unsigned long>(i), 0);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
            }
            while (probe.done.load(std::memory_order_acquire) < kPerRound) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            timers.clear();
            for (int i = 0; i < kPerRound; ++i) {
                latencies.push_back(
                    std::chrono::duration<double, std::micro>(probe.entered[i] - due[i]).count());
            }
        }
    }
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        return latencies[static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1))];
    };
    state.counters["samples"] = static_cast<double>(latencies.size());
    state.counters["min_us"] = latencies.front();
    state.counters["median_us"] = at(0.5);
    state.counters["p90_us"] = at(0.9);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = latencies.back();
}
BENCHMARK(BM_TimerDispatchLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

struct Counter {
    std::atomic<int> runs{0};
    void run(unsigned long) {
        runs.fetch_add(1, std::memory_order_relaxed);
        // A little work, so that callbacks of different timers overlap now and then.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
};

// 100 periodic timers (10 ms) until 10,000 callbacks have run: how many workers were started,
// against the most that were ever busy at once.
void BM_TimerWorkerReuse(benchmark::State& state) {
    constexpr int kTimers = 100;
    constexpr int kFirings = 10000;
    CTimerManager::instance()->limitIdlePooled(0);
    Detail::TimerPoolStatistics before{};
    Detail::TimerPoolStatistics after{};
    int runs = 0;
    for (auto _ : state) {
        before = Detail::timerPoolStatistics();
        Counter counter;
        std::vector<std::unique_ptr<CTimer>> timers;
        for (int i = 0; i < kTimers; ++i) {
            timers.push_back(std::make_unique<CTimer>("reuse"));
            timers.back()->start(Callback(&counter, &Counter::run), 1 + i % 10, 10, 0, 0);
        }
        while (counter.runs.load(std::memory_order_relaxed) < kFirings) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        timers.clear();
        runs = counter.runs.load();
        after = Detail::timerPoolStatistics();
    }
    state.counters["callbacks"] = runs;
    state.counters["workers_started"] =
        static_cast<double>(after.workersCreated - before.workersCreated);
    state.counters["peak_busy_workers"] = after.peakBusyWorkers;
    state.counters["dropped_firings"] = static_cast<double>(after.dropped - before.dropped);
}
BENCHMARK(BM_TimerWorkerReuse)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
