// A shown line written to the log file and flushed (console output replaced by a no-op
// printer), beside spdlog's synchronous logger with a basic file sink that flushes every line
// and a comparable pattern (time, logger name, level, source location, thread id). Both write
// into files of their own in a scratch directory under the system temp directory.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>

#include "infra/PrintLog.h"

#if defined(INFRA_HAVE_SPDLOG)
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

using namespace Tovix::Infra;
namespace fs = std::filesystem;

namespace {

// The scratch directory, removed at exit.
class Scratch {
public:
    Scratch() {
        std::random_device random;
        m_path = fs::temp_directory_path() / ("infra-logfile-bench-" + std::to_string(random()));
        fs::create_directories(m_path);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    std::string file(const char* name) const { return (m_path / name).string(); }

private:
    fs::path m_path;
};

Scratch& scratch() {
    static Scratch s;
    return s;
}

void quietPrinter(const char*) {}

void setLogPath(const std::string& path) {
    std::string option = "-logpath";
    std::string value = path;
    char* argv[] = {option.data(), value.data()};
    setLogFilter(2, argv);
}

void BM_InfraLineToLogFile(benchmark::State& state) {
    if (state.thread_index() == 0) {
        setPrintLogLevel(3);
        setPrintOptions(PrintOptions{});
        setLogPrinter(TFunction1<void, const char*>(&quietPrinter));
        setLogPath(scratch().file("infra.log"));
    }
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(logFilter(3, "bench", __FILE__, "BM_InfraLineToLogFile", __LINE__,
                                           "1.0", "message number %d\n", ++i));
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        logCleanup();
        setLogPath("");
        setLogPrinter(TFunction1<void, const char*>());
    }
}
BENCHMARK(BM_InfraLineToLogFile)->Threads(1)->Threads(4)->UseRealTime();

#if defined(INFRA_HAVE_SPDLOG)
std::shared_ptr<spdlog::logger> fileLogger() {
    static std::shared_ptr<spdlog::logger> logger = [] {
        auto sink =
            std::make_shared<spdlog::sinks::basic_file_sink_mt>(scratch().file("spdlog.log"));
        auto l = std::make_shared<spdlog::logger>("bench", sink);
        l->set_pattern("%H:%M:%S|[%n] %l %s %! %# tid:%t %v");
        l->set_level(spdlog::level::trace);
        l->flush_on(spdlog::level::trace);
        return l;
    }();
    return logger;
}

void BM_SpdlogLineToFileFlushed(benchmark::State& state) {
    auto logger = fileLogger();
    int i = 0;
    for (auto _ : state) {
        logger->log(spdlog::source_loc{__FILE__, __LINE__, "BM_SpdlogLineToFileFlushed"},
                    spdlog::level::warn, "message number {}", ++i);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogLineToFileFlushed)->Threads(1)->Threads(4)->UseRealTime();
#endif

}  // namespace
