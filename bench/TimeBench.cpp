// Calendar time: the library's conversions and local-time read beside the C library's.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstddef>
#include <random>
#include <vector>

#include "infra/Time.h"

namespace {

using Tovix::Infra::CTime;
using Tovix::Infra::SystemTime;
using Tovix::Infra::SystemTimeEx;

constexpr std::size_t kInputs = 4096;  // a power of two, so the index wraps with a mask
constexpr long long kEndOf2038 = 2177452799LL;

const std::vector<long long>& randomSeconds() {
    static const std::vector<long long> seconds = [] {
        std::mt19937_64 rng(2038);
        std::uniform_int_distribution<long long> pick(0, kEndOf2038);
        std::vector<long long> v(kInputs);
        for (long long& s : v) {
            s = pick(rng);
        }
        return v;
    }();
    return seconds;
}

const std::vector<struct tm>& randomParts() {
    static const std::vector<struct tm> parts = [] {
        std::vector<struct tm> v(kInputs);
        for (std::size_t i = 0; i < kInputs; ++i) {
            const time_t t = static_cast<time_t>(randomSeconds()[i]);
            gmtime_r(&t, &v[i]);
        }
        return v;
    }();
    return parts;
}

const std::vector<SystemTime>& randomFields() {
    static const std::vector<SystemTime> fields = [] {
        std::vector<SystemTime> v(kInputs);
        for (std::size_t i = 0; i < kInputs; ++i) {
            const struct tm& p = randomParts()[i];
            v[i] = SystemTime{p.tm_year + 1900, p.tm_mon + 1, p.tm_mday, p.tm_wday,
                              p.tm_hour,        p.tm_min,     p.tm_sec,  -1};
        }
        return v;
    }();
    return fields;
}

void BM_TimeToSeconds(benchmark::State& state) {
    const std::vector<SystemTime>& fields = randomFields();
    std::size_t i = 0;
    for (auto _ : state) {
        unsigned long long s = CTime::timeToSeconds(fields[i++ & (kInputs - 1)]);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_TimeToSeconds);

void BM_Timegm(benchmark::State& state) {
    const std::vector<struct tm>& parts = randomParts();
    std::size_t i = 0;
    for (auto _ : state) {
        struct tm p = parts[i++ & (kInputs - 1)];  // timegm may rewrite its argument
        time_t s = timegm(&p);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_Timegm);

void BM_Split(benchmark::State& state) {
    const std::vector<long long>& seconds = randomSeconds();
    std::size_t i = 0;
    for (auto _ : state) {
        CTime t(static_cast<unsigned long long>(seconds[i++ & (kInputs - 1)]), false);
        benchmark::DoNotOptimize(t);
    }
}
BENCHMARK(BM_Split);

void BM_GmtimeR(benchmark::State& state) {
    const std::vector<long long>& seconds = randomSeconds();
    std::size_t i = 0;
    for (auto _ : state) {
        const time_t s = static_cast<time_t>(seconds[i++ & (kInputs - 1)]);
        struct tm p;
        benchmark::DoNotOptimize(gmtime_r(&s, &p));
        benchmark::DoNotOptimize(p);
    }
}
BENCHMARK(BM_GmtimeR);

void BM_GetCurrentTimeEx(benchmark::State& state) {
    for (auto _ : state) {
        SystemTimeEx now = CTime::getCurrentTimeEx();
        benchmark::DoNotOptimize(now);
    }
}
BENCHMARK(BM_GetCurrentTimeEx);
BENCHMARK(BM_GetCurrentTimeEx)->Threads(2);

void BM_LocaltimeR_Now(benchmark::State& state) {
    for (auto _ : state) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        struct tm p;
        benchmark::DoNotOptimize(localtime_r(&now.tv_sec, &p));
        benchmark::DoNotOptimize(p);
    }
}
BENCHMARK(BM_LocaltimeR_Now);
BENCHMARK(BM_LocaltimeR_Now)->Threads(2);

void BM_ClockGettimeRealtime(benchmark::State& state) {
    for (auto _ : state) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        benchmark::DoNotOptimize(now);
    }
}
BENCHMARK(BM_ClockGettimeRealtime);

void BM_GetCurrentMilliSecond(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(CTime::getCurrentMilliSecond());
    }
}
BENCHMARK(BM_GetCurrentMilliSecond);
BENCHMARK(BM_GetCurrentMilliSecond)->Threads(2);

}  // namespace
