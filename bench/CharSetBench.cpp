// Character-set conversion beside iconv, on the same 64 KiB texts: code page 936 to and
// from UTF-8 (Chinese prose, and a worst case with lone ASCII characters between the pairs), and
// single-byte code pages to UTF-8 (mostly-ASCII Western text and mostly-Cyrillic text).
// Throughput is per source byte.
#include <benchmark/benchmark.h>
#if defined(INFRA_HAVE_ICONV)
#include <iconv.h>
#endif

#include <cstddef>
#include <cstring>
#include <random>
#include <vector>

#include "infra/CharSet.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t kTextSize = 64 * 1024;

// Chinese prose in code page 936: characters of the common GB2312 rows, full-width punctuation
// every few characters and now and then a run of ASCII (numbers, Latin words, with blanks), which
// makes about a tenth of the characters. NUL-terminated.
std::vector<char> makeProse() {
    static const char* const kAscii[] = {" 2024 ",   "3.5", " CPU ",    "ok",
                                         " 64 KiB ", "10%", " GB2312 ", "7"};
    static const unsigned char kPunctuation[][2] = {{0xA3, 0xAC}, {0xA1, 0xA3}, {0xA1, 0xA2},
                                                    {0xA3, 0xBA}, {0xA1, 0xB0}, {0xA1, 0xB1}};
    std::mt19937 rng(936);
    std::vector<char> t;
    while (t.size() + 16 < kTextSize) {
        const unsigned r = rng() % 40;
        if (r < 2) {
            const char* a = kAscii[rng() % 8];
            t.insert(t.end(), a, a + std::strlen(a));
        } else if (r < 6) {
            const unsigned char* p = kPunctuation[rng() % 6];
            t.insert(t.end(), p, p + 2);
        } else {
            t.push_back(static_cast<char>(0xB0 + rng() % (0xD7 - 0xB0)));
            t.push_back(static_cast<char>(0xA1 + rng() % (0xFE - 0xA1)));
        }
    }
    t.push_back('\0');
    return t;
}

// The worst case for branch prediction: one ASCII character in ten, each alone between pairs.
std::vector<char> makeScattered() {
    std::mt19937 rng(936);
    std::vector<char> t;
    while (t.size() + 2 < kTextSize) {
        if (rng() % 10 == 0) {
            t.push_back(static_cast<char>(" ,.0123456789"[rng() % 13]));
        } else {
            t.push_back(static_cast<char>(0xB0 + rng() % (0xD7 - 0xB0)));
            t.push_back(static_cast<char>(0xA1 + rng() % (0xFE - 0xA1)));
        }
    }
    t.push_back('\0');
    return t;
}

const std::vector<char>& gbText(bool scattered) {
    static const std::vector<char> prose = makeProse();
    static const std::vector<char> mixed = makeScattered();
    return scattered ? mixed : prose;
}

const Bytes& utf8Text(bool scattered) {
    static const auto convert = [](const std::vector<char>& gb) {
        Bytes t(gb.size() * 2);
        std::vector<char> copy(gb);
        const int n = Tovix::Utils::Gb2312TUtf8(copy.data(), t.data(), static_cast<int>(t.size()));
        t.resize(static_cast<std::size_t>(n));
        t.push_back('\0');
        return t;
    };
    static const Bytes prose = convert(gbText(false));
    static const Bytes mixed = convert(gbText(true));
    return scattered ? mixed : prose;
}

// Western text: words of ASCII letters with about one accented letter (0xE0-0xFC) in twenty.
const Bytes& westernText() {
    static const Bytes text = [] {
        std::mt19937 rng(1252);
        Bytes t(kTextSize);
        for (unsigned char& b : t) {
            const unsigned r = rng() % 20;
            b = static_cast<unsigned char>(r == 0 ? 0xE0 + rng() % 29
                                                  : (r < 4 ? ' ' : 'a' + rng() % 26));
        }
        return t;
    }();
    return text;
}

// Russian text in Windows-1251: Cyrillic letters (0xC0-0xFF) with spaces and punctuation.
const Bytes& cyrillicText() {
    static const Bytes text = [] {
        std::mt19937 rng(1251);
        Bytes t(kTextSize);
        for (unsigned char& b : t) {
            const unsigned r = rng() % 8;
            b = static_cast<unsigned char>(
                r == 0 ? ' ' : (r == 1 && rng() % 4 == 0 ? ',' : 0xC0 + rng() % 64));
        }
        return t;
    }();
    return text;
}

// One iconv descriptor per benchmark, reset before every conversion.
void iconvRun(benchmark::State& state, const char* to, const char* from, const unsigned char* in,
              std::size_t inSize) {
#if defined(INFRA_HAVE_ICONV)
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv_open failed");
        return;
    }
    Bytes out(inSize * 3 + 16);
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char* ip = const_cast<char*>(reinterpret_cast<const char*>(in));
        std::size_t il = inSize;
        char* op = reinterpret_cast<char*>(out.data());
        std::size_t ol = out.size();
        if (iconv(cd, &ip, &il, &op, &ol) == static_cast<std::size_t>(-1)) {
            state.SkipWithError("iconv failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * inSize));
#else
    (void)to;
    (void)from;
    (void)in;
    (void)inSize;
    state.SkipWithError("built without iconv");
#endif
}

void BM_Gb2312TUtf8(benchmark::State& state, bool scattered) {
    std::vector<char> gb(gbText(scattered));
    Bytes out(gb.size() * 2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Tovix::Utils::Gb2312TUtf8(gb.data(), out.data(), static_cast<int>(out.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (gb.size() - 1)));
}
BENCHMARK_CAPTURE(BM_Gb2312TUtf8, prose, false);
BENCHMARK_CAPTURE(BM_Gb2312TUtf8, scattered, true);

void BM_IconvGbkToUtf8(benchmark::State& state, bool scattered) {
    const std::vector<char>& gb = gbText(scattered);
    iconvRun(state, "UTF-8", "GBK", reinterpret_cast<const unsigned char*>(gb.data()),
             gb.size() - 1);
}
BENCHMARK_CAPTURE(BM_IconvGbkToUtf8, prose, false);
BENCHMARK_CAPTURE(BM_IconvGbkToUtf8, scattered, true);

void BM_Utf8TGb2312(benchmark::State& state, bool scattered) {
    Bytes utf8(utf8Text(scattered));
    std::vector<char> out(utf8.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(Tovix::Utils::utf8TGb2312(
            utf8.data(), out.data(), static_cast<int>(utf8.size()), static_cast<int>(out.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (utf8.size() - 1)));
}
BENCHMARK_CAPTURE(BM_Utf8TGb2312, prose, false);
BENCHMARK_CAPTURE(BM_Utf8TGb2312, scattered, true);

void BM_IconvUtf8ToGbk(benchmark::State& state, bool scattered) {
    const Bytes& utf8 = utf8Text(scattered);
    iconvRun(state, "GBK", "UTF-8", utf8.data(), utf8.size() - 1);
}
BENCHMARK_CAPTURE(BM_IconvUtf8ToGbk, prose, false);
BENCHMARK_CAPTURE(BM_IconvUtf8ToGbk, scattered, true);

template <int (*Convert)(unsigned char*, int&, unsigned char const*, int&)>
void singleByte(benchmark::State& state, const Bytes& text) {
    Bytes out(text.size() * 3);
    for (auto _ : state) {
        int dstLen = static_cast<int>(out.size());
        int srcLen = static_cast<int>(text.size());
        benchmark::DoNotOptimize(Convert(out.data(), dstLen, text.data(), srcLen));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_Iso8859_1ToUtf8(benchmark::State& state) {
    singleByte<Tovix::Utils::iso8859_1_to_utf8>(state, westernText());
}
BENCHMARK(BM_Iso8859_1ToUtf8);

void BM_IconvIso8859_1ToUtf8(benchmark::State& state) {
    iconvRun(state, "UTF-8", "ISO-8859-1", westernText().data(), westernText().size());
}
BENCHMARK(BM_IconvIso8859_1ToUtf8);

void BM_Cp1251ToUtf8(benchmark::State& state) {
    singleByte<Tovix::Utils::cp1251_to_utf8>(state, cyrillicText());
}
BENCHMARK(BM_Cp1251ToUtf8);

void BM_IconvCp1251ToUtf8(benchmark::State& state) {
    iconvRun(state, "UTF-8", "CP1251", cyrillicText().data(), cyrillicText().size());
}
BENCHMARK(BM_IconvCp1251ToUtf8);

void BM_Cp1252ToUtf8(benchmark::State& state) {
    const Bytes& text = westernText();
    Bytes out(text.size() * 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Tovix::Utils::cp1252_to_utf8(
            out.data(), static_cast<int>(out.size()), text.data(), static_cast<int>(text.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Cp1252ToUtf8);

void BM_IconvCp1252ToUtf8(benchmark::State& state) {
    iconvRun(state, "UTF-8", "CP1252", westernText().data(), westernText().size());
}
BENCHMARK(BM_IconvCp1252ToUtf8);

}  // namespace
