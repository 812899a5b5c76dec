// Logging: a call below the print level, and a shown line delivered to a sink with the console
// replaced by a no-op printer, beside spdlog's synchronous logger to a null sink with a
// comparable pattern (time, logger name, level, source location, thread id).
#include <benchmark/benchmark.h>

#include "infra/PrintLog.h"

#if defined(INFRA_HAVE_SPDLOG)
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <mutex>
#endif

using namespace Tovix::Infra;

namespace {

// Counts lines per thread: like spdlog's null sink, it writes nothing the threads share, so the
// figures for several threads show the logging path, not a counter bouncing between cores.
thread_local unsigned long t_linesSeen = 0;

struct NullOutput {
    void print(const char*) {}
    bool sink(const char*) {
        ++t_linesSeen;
        return true;
    }
};

NullOutput g_output;

void BM_LogBelowPrintLevel(benchmark::State& state) {
    setPrintLogLevel(3);
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(logDebug("hidden %d", ++i));
    }
}
BENCHMARK(BM_LogBelowPrintLevel);

void BM_LogFilterBelowPrintLevel(benchmark::State& state) {
    setPrintLogLevel(3);
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            logFilter(5, "bench", __FILE__, "bench", __LINE__, "1.0", "hidden %d", ++i));
    }
}
BENCHMARK(BM_LogFilterBelowPrintLevel);

void setUpSink(const benchmark::State& state) {
    if (state.thread_index() == 0) {
        setPrintLogLevel(3);
        setPrintOptions(PrintOptions{});
        setLogPrinter(TFunction1<void, const char*>(&g_output, &NullOutput::print));
        attachPrint(TFunction1<bool, const char*>(&g_output, &NullOutput::sink));
    }
}

void tearDownSink(const benchmark::State& state) {
    if (state.thread_index() == 0) {
        detachPrint(TFunction1<bool, const char*>(&g_output, &NullOutput::sink));
        setLogPrinter(TFunction1<void, const char*>());
    }
}

void BM_InfraLineToSink(benchmark::State& state) {
    setUpSink(state);
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(logFilter(3, "bench", __FILE__, "BM_InfraLineToSink", __LINE__,
                                           "1.0", "message number %d\n", ++i));
    }
    state.SetItemsProcessed(state.iterations());
    tearDownSink(state);
}
BENCHMARK(BM_InfraLineToSink)->Threads(1)->Threads(4)->UseRealTime();

// A message with widths, flags and length modifiers: the general formatter, not the fast path
// of bare %d %u %s.
void BM_InfraLineWithWidthsToSink(benchmark::State& state) {
    setUpSink(state);
    int i = 0;
    for (auto _ : state) {
        ++i;
        benchmark::DoNotOptimize(logFilter(3, "bench", __FILE__, "BM_InfraLineWithWidthsToSink",
                                           __LINE__, "1.0", "item %5d of %-8s at %08x, %lu bytes\n",
                                           i, "queue", static_cast<unsigned int>(i) * 2654435761U,
                                           static_cast<unsigned long>(i) * 3UL));
    }
    state.SetItemsProcessed(state.iterations());
    tearDownSink(state);
}
BENCHMARK(BM_InfraLineWithWidthsToSink)->UseRealTime();

#if defined(INFRA_HAVE_SPDLOG)
std::shared_ptr<spdlog::logger> nullLogger() {
    static std::shared_ptr<spdlog::logger> logger = [] {
        auto l = std::make_shared<spdlog::logger>("bench",
                                                  std::make_shared<spdlog::sinks::null_sink_mt>());
        l->set_pattern("%H:%M:%S|[%n] %l %s %! %# tid:%t %v");
        l->set_level(spdlog::level::trace);
        return l;
    }();
    return logger;
}

// spdlog formats its pattern in the sink, and its null sink formats nothing. This sink formats
// the line with the logger's pattern and drops it: the work a sink that sees the whole line does.
class FormattingNullSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t line;
        formatter_->format(msg, line);
        benchmark::DoNotOptimize(line.data());
    }
    void flush_() override {}
};

std::shared_ptr<spdlog::logger> formattingLogger() {
    static std::shared_ptr<spdlog::logger> logger = [] {
        auto l = std::make_shared<spdlog::logger>("bench", std::make_shared<FormattingNullSink>());
        l->set_pattern("%H:%M:%S|[%n] %l %s %! %# tid:%t %v");
        l->set_level(spdlog::level::trace);
        return l;
    }();
    return logger;
}

void BM_SpdlogLineToFormattingSink(benchmark::State& state) {
    auto logger = formattingLogger();
    int i = 0;
    for (auto _ : state) {
        logger->log(spdlog::source_loc{__FILE__, __LINE__, "BM_SpdlogLineToFormattingSink"},
                    spdlog::level::warn, "message number {}", ++i);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogLineToFormattingSink)->Threads(1)->Threads(4)->UseRealTime();

void BM_SpdlogLineToNullSink(benchmark::State& state) {
    auto logger = nullLogger();
    int i = 0;
    for (auto _ : state) {
        logger->log(spdlog::source_loc{__FILE__, __LINE__, "BM_SpdlogLineToNullSink"},
                    spdlog::level::warn, "message number {}", ++i);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogLineToNullSink)->Threads(1)->Threads(4)->UseRealTime();

void BM_SpdlogBelowLevel(benchmark::State& state) {
    auto logger = nullLogger();
    logger->set_level(spdlog::level::warn);
    int i = 0;
    for (auto _ : state) {
        logger->debug("hidden {}", ++i);
    }
    logger->set_level(spdlog::level::trace);
}
BENCHMARK(BM_SpdlogBelowLevel);
#endif

}  // namespace
