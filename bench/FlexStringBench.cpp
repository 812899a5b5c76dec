// flex_string against std::string, side by side: copying, building by appending short pieces or
// single characters, and appending a whole string. The argument is the text length.
#include <benchmark/benchmark.h>

#include <string>

#include "infra/FlexString.h"

namespace {

using Tovix::Infra::flex_string;

template <class S>
S makeText(std::size_t n) {
    S s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(static_cast<char>('a' + i % 26));
    }
    return s;
}

template <class S>
void copyBench(benchmark::State& state) {
    const S source = makeText<S>(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        S copy(source);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
}

// Builds an N-character string from 4-character pieces (the last one shorter).
template <class S>
void appendPiecesBench(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const char* const piece = "wxyz";
    for (auto _ : state) {
        S s;
        std::size_t left = n;
        while (left != 0) {
            const std::size_t len = left < 4 ? left : 4;
            benchmark::DoNotOptimize(piece);
            s.append(piece, len);
            left -= len;
        }
        benchmark::DoNotOptimize(s.data());
        benchmark::ClobberMemory();
    }
}

// Builds an N-character string one character at a time.
template <class S>
void pushBackBench(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        S s;
        for (std::size_t i = 0; i < n; ++i) {
            s.push_back(static_cast<char>('a' + (i & 15)));
        }
        benchmark::DoNotOptimize(s.data());
        benchmark::ClobberMemory();
    }
}

// Appends a whole N-character string to a copy of a short 8-character head.
template <class S>
void appendStringBench(benchmark::State& state) {
    const S head = makeText<S>(8);
    const S tail = makeText<S>(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        S s(head);
        s += tail;
        benchmark::DoNotOptimize(s.data());
        benchmark::ClobberMemory();
    }
}

void BM_FlexCopy(benchmark::State& state) {
    copyBench<flex_string>(state);
}
void BM_StdStringCopy(benchmark::State& state) {
    copyBench<std::string>(state);
}
void BM_FlexAppendPieces(benchmark::State& state) {
    appendPiecesBench<flex_string>(state);
}
void BM_StdStringAppendPieces(benchmark::State& state) {
    appendPiecesBench<std::string>(state);
}
void BM_FlexPushBack(benchmark::State& state) {
    pushBackBench<flex_string>(state);
}
void BM_StdStringPushBack(benchmark::State& state) {
    pushBackBench<std::string>(state);
}
void BM_FlexAppendString(benchmark::State& state) {
    appendStringBench<flex_string>(state);
}
void BM_StdStringAppendString(benchmark::State& state) {
    appendStringBench<std::string>(state);
}

}  // namespace

// On a busy machine compare the pairs with --benchmark_repetitions=6
// --benchmark_enable_random_interleaving=true, which spreads the noise over both sides.
BENCHMARK(BM_FlexCopy)->Arg(8)->Arg(31)->Arg(200);
BENCHMARK(BM_StdStringCopy)->Arg(8)->Arg(31)->Arg(200);
BENCHMARK(BM_FlexAppendPieces)->Arg(8)->Arg(31)->Arg(200);
BENCHMARK(BM_StdStringAppendPieces)->Arg(8)->Arg(31)->Arg(200);
BENCHMARK(BM_FlexAppendString)->Arg(8)->Arg(31)->Arg(200);
BENCHMARK(BM_StdStringAppendString)->Arg(8)->Arg(31)->Arg(200);
BENCHMARK(BM_FlexPushBack)->Arg(8)->Arg(31)->Arg(200);
BENCHMARK(BM_StdStringPushBack)->Arg(8)->Arg(31)->Arg(200);
