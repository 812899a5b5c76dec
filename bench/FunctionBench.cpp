// Call cost of TFunction1 against std::function for the same target, a member function and a
// plain function. The targets are kept out of line so both wrappers pay one real call, and each
// iteration treats the wrapper as changed memory (as a stored callback is), so neither call can
// be resolved once and hoisted out of the loop.
#include <benchmark/benchmark.h>

#include <functional>

#include "infra/Function.h"

#if defined(_MSC_VER)
#define FUNCTION_BENCH_NOINLINE __declspec(noinline)
#else
#define FUNCTION_BENCH_NOINLINE __attribute__((noinline))
#endif

namespace {

using Tovix::Infra::TFunction1;

class Accumulator {
public:
    FUNCTION_BENCH_NOINLINE long add(long x) {
        m_sum += x;
        return m_sum;
    }

private:
    long m_sum = 0;
};

FUNCTION_BENCH_NOINLINE long plainTarget(long x) {
    benchmark::ClobberMemory();
    return x + 1;
}

template <class Callable>
void runCalls(benchmark::State& state, Callable& callable) {
    long x = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(callable);
        long result = callable(x);
        benchmark::DoNotOptimize(result);
        ++x;
    }
}

void BM_Function_Member_TFunction(benchmark::State& state) {
    Accumulator target;
    TFunction1<long, long> callable(&target, &Accumulator::add);
    runCalls(state, callable);
}
BENCHMARK(BM_Function_Member_TFunction);

void BM_Function_Member_StdFunction(benchmark::State& state) {
    Accumulator target;
    std::function<long(long)> callable = [&target](long x) { return target.add(x); };
    runCalls(state, callable);
}
BENCHMARK(BM_Function_Member_StdFunction);

void BM_Function_Plain_TFunction(benchmark::State& state) {
    TFunction1<long, long> callable(&plainTarget);
    runCalls(state, callable);
}
BENCHMARK(BM_Function_Plain_TFunction);

void BM_Function_Plain_StdFunction(benchmark::State& state) {
    std::function<long(long)> callable(&plainTarget);
    runCalls(state, callable);
}
BENCHMARK(BM_Function_Plain_StdFunction);

// A tagged member form also stores its tag in the calling thread's slot before each call.
void BM_Function_TaggedMember_TFunction(benchmark::State& state) {
    Accumulator target;
    TFunction1<long, long> callable(&target, &Accumulator::add, 1234);
    runCalls(state, callable);
}
BENCHMARK(BM_Function_TaggedMember_TFunction);

}  // namespace
