// Time as text: format with the default picture and parse of its output, beside the C
// library's strftime and strptime on the same values; then pictures off the fast paths (a
// 12-hour picture, a day-first text, more pictures than a thread keeps prepared).
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstddef>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "infra/Time.h"

namespace {

using Tovix::Infra::CTime;

constexpr std::size_t kInputs = 4096;  // a power of two, so the index wraps with a mask
const char kPicture[] = "yyyy-MM-dd HH:mm:ss";

const std::vector<CTime>& randomTimes() {
    static const std::vector<CTime> times = [] {
        std::mt19937_64 rng(2013);
        std::uniform_int_distribution<long long> pick(0, 2177452799LL);
        std::vector<CTime> v;
        v.reserve(kInputs);
        for (std::size_t i = 0; i < kInputs; ++i) {
            v.emplace_back(static_cast<unsigned long long>(pick(rng)), false);
        }
        return v;
    }();
    return times;
}

const std::vector<struct tm>& randomParts() {
    static const std::vector<struct tm> parts = [] {
        std::vector<struct tm> v(kInputs);
        for (std::size_t i = 0; i < kInputs; ++i) {
            const CTime& t = randomTimes()[i];
            struct tm& p = v[i];
            p.tm_year = t.year - 1900;
            p.tm_mon = t.month - 1;
            p.tm_mday = t.day;
            p.tm_wday = t.wday;
            p.tm_hour = t.hour;
            p.tm_min = t.minute;
            p.tm_sec = t.second;
        }
        return v;
    }();
    return parts;
}

std::vector<std::string> textsBy(const char* picture) {
    std::vector<std::string> v;
    v.reserve(kInputs);
    for (const CTime& t : randomTimes()) {
        char buffer[64];
        t.format(buffer, sizeof buffer, picture, CTime::keepSeparator | CTime::orderFromFormat);
        v.emplace_back(buffer);
    }
    return v;
}

const std::vector<std::string>& randomTexts() {
    static const std::vector<std::string> texts = textsBy(kPicture);
    return texts;
}

void BM_Format(benchmark::State& state) {
    const std::vector<CTime>& times = randomTimes();
    char buffer[32];
    std::size_t i = 0;
    for (auto _ : state) {
        times[i++ & (kInputs - 1)].format(buffer, sizeof buffer, kPicture, 0);
        benchmark::DoNotOptimize(buffer);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Format);

void BM_FormatUnbounded(benchmark::State& state) {
    const std::vector<CTime>& times = randomTimes();
    char buffer[4 * sizeof kPicture];
    std::size_t i = 0;
    for (auto _ : state) {
        times[i++ & (kInputs - 1)].format(buffer, kPicture, 0);
        benchmark::DoNotOptimize(buffer);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatUnbounded);

void BM_Strftime(benchmark::State& state) {
    const std::vector<struct tm>& parts = randomParts();
    char buffer[32];
    std::size_t i = 0;
    for (auto _ : state) {
        strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &parts[i++ & (kInputs - 1)]);
        benchmark::DoNotOptimize(buffer);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Strftime);

void BM_Parse(benchmark::State& state) {
    const std::vector<std::string>& texts = randomTexts();
    CTime t;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(t.parse(texts[i++ & (kInputs - 1)].c_str(), kPicture, 0));
        benchmark::DoNotOptimize(t);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Parse);

void BM_Strptime(benchmark::State& state) {
    const std::vector<std::string>& texts = randomTexts();
    struct tm parts = {};
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            strptime(texts[i++ & (kInputs - 1)].c_str(), "%Y-%m-%d %H:%M:%S", &parts));
        benchmark::DoNotOptimize(parts);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Strptime);

void BM_FormatTwelveHour(benchmark::State& state) {
    const std::vector<CTime>& times = randomTimes();
    char buffer[64];
    std::size_t i = 0;
    for (auto _ : state) {
        times[i++ & (kInputs - 1)].format(buffer, sizeof buffer, "yyyy-MM-dd hh:mm:ss tt",
                                          CTime::hourModeFromFormat);
        benchmark::DoNotOptimize(buffer);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatTwelveHour);

void BM_StrftimeTwelveHour(benchmark::State& state) {
    const std::vector<struct tm>& parts = randomParts();
    char buffer[64];
    std::size_t i = 0;
    for (auto _ : state) {
        strftime(buffer, sizeof buffer, "%Y-%m-%d %I:%M:%S %p", &parts[i++ & (kInputs - 1)]);
        benchmark::DoNotOptimize(buffer);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StrftimeTwelveHour);

// Eight pictures in turn, more than a thread keeps: every call reads its picture afresh.
void BM_FormatManyPictures(benchmark::State& state) {
    static const char* const pictures[8] = {"yyyy-MM-dd HH:mm:ss", "yyyy/MM/dd HH:mm:ss",
                                            "dd.MM.yyyy HH:mm",    "MM-dd-yy HH:mm:ss",
                                            "yyyyMMdd HHmmss",     "HH:mm:ss",
                                            "yyyy-MM-dd",          "dd/MM/yyyy HH:mm:ss"};
    const std::vector<CTime>& times = randomTimes();
    char buffer[64];
    std::size_t i = 0;
    for (auto _ : state) {
        times[i & (kInputs - 1)].format(buffer, sizeof buffer, pictures[i & 7], 0);
        ++i;
        benchmark::DoNotOptimize(buffer);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatManyPictures);

const char kDayFirst[] = "dd/MM/yyyy HH:mm:ss";

void BM_ParseDayFirst(benchmark::State& state) {
    static const std::vector<std::string> texts = textsBy(kDayFirst);
    CTime t;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(t.parse(texts[i++ & (kInputs - 1)].c_str(), kDayFirst, 0));
        benchmark::DoNotOptimize(t);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseDayFirst);

void BM_StrptimeDayFirst(benchmark::State& state) {
    static const std::vector<std::string> texts = textsBy(kDayFirst);
    struct tm parts = {};
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            strptime(texts[i++ & (kInputs - 1)].c_str(), "%d/%m/%Y %H:%M:%S", &parts));
        benchmark::DoNotOptimize(parts);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StrptimeDayFirst);

}  // namespace
