// Asynchronous sinks: what a log call costs its caller when the sink behind it takes 1 ms a line.
// One iteration is a burst of lines logged through logInfo (console replaced by a no-op printer)
// to a CAsyncSink whose wrapped sink sleeps 1 ms per line; the time is the burst's alone, and
// the "call" counter is the time per log call, "dropped" the lines dropped per burst. Between
// bursts the sink stops sleeping and the queue is drained, untimed. Dropping mode: a burst larger
// than the queue; blocking mode: a burst smaller than it. Beside them spdlog's asynchronous logger
// with the same slow sink (overrun_oldest for dropping, block for blocking) and a comparable
// pattern.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "infra/AsyncSink.h"
#include "infra/PrintLog.h"

#if defined(INFRA_HAVE_SPDLOG)
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#endif

using namespace Tovix::Infra;

namespace {

constexpr int kBurst = 10000;
constexpr std::size_t kDroppingQueue = 8192;   // smaller than the burst
constexpr std::size_t kBlockingQueue = 16384;  // larger than the burst

// Sleeps 1 ms per line while `slow`; counts the lines it was given.
std::atomic<bool> g_slow{true};
std::atomic<std::uint64_t> g_seen{0};

void slowDelivery() {
    if (g_slow.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    g_seen.fetch_add(1, std::memory_order_relaxed);
}

bool slowSink(const char*) {
    slowDelivery();
    return true;
}

void nullPrinter(const char*) {}

template <class Log, class Drain>
void runBursts(benchmark::State& state, Log log, Drain drain) {
    int n = 0;
    for (auto _ : state) {
        g_slow = true;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBurst; ++i) {
            log(++n);
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        g_slow = false;
        drain();
    }
    state.counters["call"] = benchmark::Counter(
        kBurst, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Both libraries, dropping (1) and blocking (0): bursts timed by hand, the median of five runs.
void burstRuns(benchmark::internal::Benchmark* b) {
    b->ArgName("drop")
        ->Arg(1)
        ->Arg(0)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5);
}

void BM_InfraAsyncSink(benchmark::State& state) {
    const bool drop = state.range(0) != 0;
    setPrintLogLevel(4);
    setPrintOptions(PrintOptions{});
    setLogPrinter(TFunction1<void, const char*>(&nullPrinter));
    CAsyncSink async(TFunction1<bool, const char*>(&slowSink),
                     drop ? kDroppingQueue : kBlockingQueue,
                     drop ? CAsyncSink::WhenFull::drop : CAsyncSink::WhenFull::block);
    async.attach();
    runBursts(
        state, [](int n) { logInfo("message number %d\n", n); }, [&async] { async.flush(~0u); });
    state.counters["dropped"] = benchmark::Counter(static_cast<double>(async.dropped()),
                                                   benchmark::Counter::kAvgIterations);
    async.detach();
    setLogPrinter(TFunction1<void, const char*>());
    setPrintLogLevel(3);
}
BENCHMARK(BM_InfraAsyncSink)->Apply(burstRuns);

#if defined(INFRA_HAVE_SPDLOG)
class SlowSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    // The line is formatted as a sink that writes it would, on the logger's thread.
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t line;
        formatter_->format(msg, line);
        benchmark::DoNotOptimize(line.data());
        slowDelivery();
    }
    void flush_() override {}
};

void BM_SpdlogAsyncLogger(benchmark::State& state) {
    const bool drop = state.range(0) != 0;
    auto pool =
        std::make_shared<spdlog::details::thread_pool>(drop ? kDroppingQueue : kBlockingQueue, 1);
    auto logger =
        std::make_shared<spdlog::async_logger>("bench", std::make_shared<SlowSink>(), pool,
                                               drop ? spdlog::async_overflow_policy::overrun_oldest
                                                    : spdlog::async_overflow_policy::block);
    logger->set_pattern("%H:%M:%S|[%n] %l %s %! %# tid:%t %v");
    logger->set_level(spdlog::level::trace);
    g_seen = 0;
    std::uint64_t logged = 0;
    runBursts(
        state,
        [&](int n) {
            ++logged;
            logger->log(spdlog::source_loc{__FILE__, __LINE__, "BM_SpdlogAsyncLogger"},
                        spdlog::level::info, "message number {}", n);
        },
        [&] {
            while (g_seen.load() + pool->overrun_counter() < logged) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    state.counters["dropped"] = benchmark::Counter(static_cast<double>(pool->overrun_counter()),
                                                   benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SpdlogAsyncLogger)->Apply(burstRuns);
#endif

}  // namespace
