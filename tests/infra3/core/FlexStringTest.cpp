// flex_string: layout, capacity transitions, aliasing, random operation sequences checked against
// std::string, the search and comparison families, streams, and the assertion reports of misuse.
#include "infra/FlexString.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iomanip>
#include <iterator>
#include <list>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

using Tovix::Infra::flex_string;
namespace Detail = Tovix::Infra::Detail;

// The same template over the plain heap storage (no inline buffer).
typedef Detail::flex_string<char, std::char_traits<char>, std::allocator<char>,
                            Detail::AllocatorStringStorage<char, std::allocator<char>>>
    HeapString;

// A stateless allocator that counts blocks and units, to see allocations and leaks.
struct AllocStats {
    static inline long allocations = 0;
    static inline long deallocations = 0;
    static inline long unitsAllocated = 0;
    static inline long unitsFreed = 0;
    static void reset() { allocations = deallocations = unitsAllocated = unitsFreed = 0; }
};

template <class T>
struct CountingAllocator {
    typedef T value_type;
    CountingAllocator() = default;
    template <class U>
    CountingAllocator(const CountingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        ++AllocStats::allocations;
        AllocStats::unitsAllocated += static_cast<long>(n);
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        ++AllocStats::deallocations;
        AllocStats::unitsFreed += static_cast<long>(n);
        std::allocator<T>().deallocate(p, n);
    }
    template <class U>
    bool operator==(const CountingAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const CountingAllocator<U>&) const noexcept {
        return false;
    }
};

typedef Detail::AllocatorStringStorage<char, CountingAllocator<char>> CountedStorage;
typedef Detail::flex_string<char, std::char_traits<char>, CountingAllocator<char>,
                            Detail::SmallStringOpt<CountedStorage, 31, char*>>
    CountedString;
typedef Detail::flex_string<char, std::char_traits<char>, CountingAllocator<char>, CountedStorage>
    CountedHeapString;

// n characters of a recognisable, non-periodic-looking text.
std::string text(std::size_t n, char base = 'a') {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(static_cast<char>(base + (i * 7 + i / 26) % 26));
    }
    return s;
}

template <class S>
std::string str(const S& s) {
    return std::string(s.data(), s.size());
}

unsigned char lastByte(const flex_string& s) {
    return reinterpret_cast<const unsigned char*>(&s)[31];
}

bool isInline(const flex_string& s) {
    const char* object = reinterpret_cast<const char*>(&s);
    return s.data() == object;
}

// Checks the invariants every string must keep, whatever the operations before.
template <class S>
::testing::AssertionResult wellFormed(const S& s, const std::string& expected) {
    if (str(s) != expected) {
        return ::testing::AssertionFailure()
               << "text \"" << str(s) << "\" != \"" << expected << "\"";
    }
    if (s.c_str()[s.size()] != '\0') {
        return ::testing::AssertionFailure() << "missing NUL";
    }
    if (s.capacity() < s.size()) {
        return ::testing::AssertionFailure() << "capacity below size";
    }
    if constexpr (std::is_same<S, flex_string>::value) {
        const bool heap = lastByte(s) == 32;
        if (heap == isInline(s) || (!heap && lastByte(s) != 31 - s.size()) ||
            (heap && s.capacity() < 32)) {
            return ::testing::AssertionFailure()
                   << "inconsistent form, last byte " << int(lastByte(s)) << " size " << s.size();
        }
    }
    return ::testing::AssertionSuccess();
}

// ------------------------------------------------------------------------------------------
// Layout and the small/heap transitions

TEST(FlexStringLayout, SmallFormKeepsTextAndRemainingRoomInline) {
    static_assert(sizeof(flex_string) == 32);
    static_assert(alignof(flex_string) == alignof(char*));
    for (std::size_t n = 0; n <= 31; ++n) {
        const std::string expected = text(n);
        const flex_string s(expected.c_str());
        ASSERT_TRUE(isInline(s)) << n;
        EXPECT_EQ(lastByte(s), 31 - n) << n;
        EXPECT_EQ(s.capacity(), 31u);
        EXPECT_EQ(std::memcmp(&s, expected.c_str(), n + 1), 0) << n;  // text and its NUL
    }
    // 31 characters: the length byte is the terminating NUL.
    const flex_string full(text(31).c_str());
    EXPECT_EQ(lastByte(full), 0);
    EXPECT_EQ(full.c_str()[31], '\0');
    EXPECT_EQ(&full.c_str()[31], reinterpret_cast<const char*>(&full) + 31);
}

TEST(FlexStringLayout, HeapFormPointsAtBlockWithEndPointers) {
    for (std::size_t n : {32u, 33u, 200u}) {
        flex_string s(text(n).c_str());
        s.reserve(n + 10);
        ASSERT_EQ(lastByte(s), 32) << n;
        char* block = nullptr;
        std::memcpy(&block, &s, sizeof(block));
        char* endOfText = nullptr;
        char* endOfCapacity = nullptr;
        std::memcpy(&endOfText, block, sizeof(char*));
        std::memcpy(&endOfCapacity, block + sizeof(char*), sizeof(char*));
        EXPECT_EQ(s.data(), block + 2 * sizeof(char*));
        EXPECT_EQ(endOfText, s.data() + n);
        EXPECT_EQ(endOfCapacity, s.data() + n + 10);
        EXPECT_EQ(s.capacity(), n + 10);
    }
}

TEST(FlexStringLayout, BoundaryLengthsFromEveryConstructor) {
    for (std::size_t n : {0u, 1u, 15u, 16u, 30u, 31u, 32u, 33u, 63u, 64u, 200u}) {
        const std::string expected = text(n);
        const std::list<char> chars(expected.begin(), expected.end());
        std::istringstream stream(expected);
        const std::vector<flex_string> made = {
            flex_string(expected.c_str()),
            flex_string(expected.data(), n),
            flex_string(expected),
            flex_string(expected.begin(), expected.end()),
            flex_string(chars.begin(), chars.end()),
            flex_string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()),
            flex_string(flex_string("xx" + expected), 2),
            flex_string(flex_string(expected + "yy"), 0, n),
        };
        for (const flex_string& s : made) {
            EXPECT_TRUE(wellFormed(s, expected)) << n;
            EXPECT_EQ(isInline(s), n <= 31) << n;
        }
        const flex_string filled(n, 'q');
        EXPECT_TRUE(wellFormed(filled, std::string(n, 'q')));
        EXPECT_EQ(isInline(filled), n <= 31);
    }
    EXPECT_TRUE(wellFormed(flex_string({'a', 'b', 'c'}), "abc"));
    EXPECT_TRUE(wellFormed(flex_string(), ""));
}

TEST(FlexStringCapacity, ReserveMovesToHeapOnlyAbove31) {
    flex_string s("hello");
    for (std::size_t n : {0u, 5u, 30u, 31u}) {
        s.reserve(n);
        EXPECT_TRUE(isInline(s)) << n;
        EXPECT_EQ(s.capacity(), 31u);
    }
    s.reserve(32);
    EXPECT_FALSE(isInline(s));
    EXPECT_EQ(lastByte(s), 32);
    EXPECT_EQ(s.capacity(), 32u);
    EXPECT_TRUE(wellFormed(s, "hello"));

    s.reserve(100);  // heap: exactly the request
    EXPECT_EQ(s.capacity(), 100u);
    s.reserve(50);  // never shrinks
    EXPECT_EQ(s.capacity(), 100u);
    EXPECT_TRUE(wellFormed(s, "hello"));
}

TEST(FlexStringCapacity, HeapFormSurvivesShrinkingUntilShrinkToFit) {
    flex_string s(text(40).c_str());
    s.reserve(64);
    s.resize(3);
    EXPECT_FALSE(isInline(s));
    EXPECT_EQ(s.capacity(), 64u);
    s.clear();
    EXPECT_TRUE(wellFormed(s, ""));
    EXPECT_EQ(s.capacity(), 64u);

    s.assign(text(31));
    s.shrink_to_fit();  // fits inline again
    EXPECT_TRUE(isInline(s));
    EXPECT_TRUE(wellFormed(s, text(31)));

    s.assign(text(45));
    s.reserve(90);
    s.shrink_to_fit();
    EXPECT_FALSE(isInline(s));
    EXPECT_EQ(s.capacity(), 45u);
    EXPECT_TRUE(wellFormed(s, text(45)));
}

TEST(FlexStringCapacity, CopiesTakeTheSmallestForm) {
    for (std::size_t n : {0u, 20u, 30u, 31u, 32u, 100u}) {
        flex_string big(text(n).c_str());
        big.reserve(300);
        const flex_string copy(big);
        EXPECT_EQ(isInline(copy), n <= 31) << n;
        EXPECT_EQ(copy.capacity(), n <= 31 ? 31u : n) << n;
        EXPECT_TRUE(wellFormed(copy, text(n)));
        flex_string assigned("x");
        assigned = big;
        EXPECT_TRUE(wellFormed(assigned, text(n)));
    }
}

TEST(FlexStringCapacity, CrossingThe31CharacterBoundary) {
    flex_string s(text(30).c_str());
    s.push_back('x');
    EXPECT_TRUE(isInline(s));
    EXPECT_EQ(lastByte(s), 0);
    s.push_back('y');
    EXPECT_FALSE(isInline(s));
    EXPECT_TRUE(wellFormed(s, text(30) + "xy"));
    s.pop_back();  // stays heap
    EXPECT_FALSE(isInline(s));
    EXPECT_TRUE(wellFormed(s, text(30) + "x"));

    flex_string a(text(31).c_str());
    a.append("z", 1);
    EXPECT_TRUE(wellFormed(a, text(31) + "z"));
    flex_string b(text(20).c_str());
    b.insert(5, text(12));
    EXPECT_TRUE(wellFormed(b, std::string(text(20)).insert(5, text(12))));
    flex_string c(text(31).c_str());
    c.resize(32, '!');
    EXPECT_TRUE(wellFormed(c, text(31) + "!"));
    flex_string d(text(31).c_str());
    d.replace(0, 1, "12");
    EXPECT_TRUE(wellFormed(d, "12" + text(31).substr(1)));
}

TEST(FlexStringCapacity, GrowingToExactly31StaysInline) {
    const std::string head = text(20), tail = text(11, 'k');
    std::vector<flex_string> grown(8, flex_string(head.c_str()));
    grown[0].append(tail.c_str());
    grown[1] += flex_string(tail.c_str());
    grown[2].append(11, 'k');
    grown[3].insert(0, tail.c_str());
    grown[4].replace(0, 1, (tail + head.substr(0, 1)).c_str());
    grown[5].resize(31, 'k');
    grown[6].append(tail.begin(), tail.end());
    for (std::size_t i = 0; i < 11; ++i) {
        grown[7].push_back('k');
    }
    for (std::size_t i = 0; i < grown.size(); ++i) {
        EXPECT_TRUE(isInline(grown[i])) << i;
        EXPECT_EQ(lastByte(grown[i]), 0) << i;
        EXPECT_EQ(grown[i].size(), 31u) << i;
    }
}

TEST(FlexStringCapacity, AddingTextGrowsTheCapacityToExactlyTheNewLength) {
    // No growth factor, from the small form (capacity 31) and from a full heap block alike;
    // text added within the capacity keeps it.
    const std::string five = "ABCDE";
    const std::vector<std::pair<const char*, std::function<void(CountedString&)>>> addFive = {
        {"append", [&](CountedString& s) { s.append(five.c_str(), 5); }},
        {"append own text", [](CountedString& s) { s.append(s.data() + 1, 5); }},
        {"append n", [](CountedString& s) { s.append(5, 'x'); }},
        {"append range", [&](CountedString& s) { s.append(five.begin(), five.end()); }},
        {"append input range",
         [&](CountedString& s) {
             std::istringstream in(five);
             s.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
         }},
        {"+=", [&](CountedString& s) { s += five.c_str(); }},
        {"push_back",
         [](CountedString& s) {
             for (int i = 0; i < 5; ++i) {
                 s.push_back('p');
             }
         }},
        {"insert", [&](CountedString& s) { s.insert(3, five.c_str()); }},
        {"insert n", [](CountedString& s) { s.insert(s.begin() + 1, 5, 'y'); }},
        {"replace", [](CountedString& s) { s.replace(2, 1, "abcdef"); }},
        {"replace n", [](CountedString& s) { s.replace(2, 1, 6, 'z'); }},
        {"replace range",
         [&](CountedString& s) {
             const std::string six = five + "F";
             s.replace(s.begin(), s.begin() + 1, six.begin(), six.end());
         }},
        {"resize", [](CountedString& s) { s.resize(s.size() + 5, 'r'); }},
    };
    AllocStats::reset();
    for (const std::size_t start : {std::size_t(31), std::size_t(40)}) {
        for (const auto& op : addFive) {
            CountedString s(text(start).c_str());
            ASSERT_EQ(s.capacity(), start);
            op.second(s);
            EXPECT_EQ(s.size(), start + 5) << op.first;
            EXPECT_EQ(s.capacity(), start + 5) << op.first;
            s.reserve(start + 10);
            op.second(s);
            EXPECT_EQ(s.capacity(), start + 10) << op.first;
        }
    }
    EXPECT_EQ(AllocStats::allocations, AllocStats::deallocations);
    EXPECT_EQ(AllocStats::unitsAllocated, AllocStats::unitsFreed);
}

TEST(FlexStringCapacity, AssignAndReserveAllocateExactly) {
    flex_string s;
    s.assign(text(100));
    EXPECT_EQ(s.capacity(), 100u);
    s.assign(text(50));  // reuses the block
    EXPECT_EQ(s.capacity(), 100u);
    s.assign(120, 'x');
    EXPECT_EQ(s.capacity(), 120u);
    EXPECT_TRUE(wellFormed(s, std::string(120, 'x')));
}

// ------------------------------------------------------------------------------------------
// The plain heap storage and its shared empty block

TEST(FlexStringHeapStorage, EmptyStringsShareOneBlockAndNeverAllocate) {
    AllocStats::reset();
    {
        CountedHeapString a;
        CountedHeapString b(a);
        CountedHeapString c(std::move(b));
        CountedHeapString d("");
        d.clear();
        d.resize(0);
        d.append("", std::size_t(0));
        d.reserve(0);
        d.shrink_to_fit();
        d.erase();
        d.assign(a);
        EXPECT_EQ(a.capacity(), 0u);
        EXPECT_EQ(a.data(), c.data());
        EXPECT_EQ(a.data(), d.data());
        EXPECT_STREQ(a.c_str(), "");
        EXPECT_EQ(AllocStats::allocations, 0);

        CountedHeapString e("abc");
        EXPECT_EQ(e.capacity(), 3u);
        e.clear();
        e.shrink_to_fit();  // back to the shared block
        EXPECT_EQ(e.data(), a.data());
    }
    EXPECT_EQ(AllocStats::allocations, AllocStats::deallocations);
    EXPECT_EQ(AllocStats::unitsAllocated, AllocStats::unitsFreed);
}

TEST(FlexStringHeapStorage, StorageAppendGrowsToExactlyTheNewLength) {
    Detail::AllocatorStringStorage<char> st("abc", 3);
    const std::string more = text(10);
    st.append(more.data(), more.data() + more.size());
    EXPECT_EQ(st.capacity(), 13u);
    EXPECT_STREQ(st.c_str(), ("abc" + more).c_str());
    st.reserve(40);
    EXPECT_EQ(st.capacity(), 40u);
    st.resize(45, 'z');
    EXPECT_EQ(st.capacity(), 45u);
    EXPECT_EQ(st.size(), 45u);
}

TEST(FlexStringHeapStorage, EmptyStringsAreSafeToUseFromManyThreads) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 2000; ++i) {
                HeapString s;
                HeapString copy(s);
                copy.clear();
                copy.resize(0);
                copy.append("", std::size_t(0));
                copy += s;
                copy.shrink_to_fit();
                flex_string small;
                small.clear();
                if (!copy.empty() || *copy.c_str() != '\0' || s.size() != 0 || !small.empty()) {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// ------------------------------------------------------------------------------------------
// Both storages: aliasing and random sequences against std::string

template <class S>
class FlexStringBoth : public ::testing::Test {};
typedef ::testing::Types<flex_string, HeapString> BothStorages;
TYPED_TEST_SUITE(FlexStringBoth, BothStorages);

TYPED_TEST(FlexStringBoth, SourcesInTheOwnTextWorkLikeStdString) {
    typedef TypeParam S;
    typedef std::function<void(S&)> FlexOp;
    typedef std::function<void(std::string&)> StdOp;
    for (std::size_t n : {1u, 5u, 16u, 20u, 31u, 32u, 40u, 100u}) {
        const std::size_t k = n / 3;
        const std::size_t m = n - k;  // a source running to the end of the text
        const std::vector<std::pair<FlexOp, StdOp>> ops = {
            {[](S& s) { s.append(s); }, [](std::string& s) { s.append(s); }},
            {[](S& s) { s += s; }, [](std::string& s) { s += s; }},
            {[=](S& s) { s.append(s.data() + k, m); },
             [=](std::string& s) { s.append(s.data() + k, m); }},
            {[=](S& s) { s += s.c_str() + k; }, [=](std::string& s) { s += s.c_str() + k; }},
            {[=](S& s) { s.append(s, k, 3); }, [=](std::string& s) { s.append(s, k, 3); }},
            {[](S& s) { s.append(s.data() + s.size(), 1); },  // the NUL itself
             [](std::string& s) { s.append(s.data() + s.size(), 1); }},
            {[](S& s) { s.append(s.begin(), s.end()); },
             [](std::string& s) { s.append(s.begin(), s.end()); }},
            {[](S& s) { s.append(s.rbegin(), s.rend()); },
             [](std::string& s) { s.append(s.rbegin(), s.rend()); }},
            {[=](S& s) { s.insert(k, s); }, [=](std::string& s) { s.insert(k, s); }},
            {[=](S& s) { s.insert(k, s.data(), m); },
             [=](std::string& s) { s.insert(k, s.data(), m); }},
            {[=](S& s) { s.insert(0, s.c_str() + k); },
             [=](std::string& s) { s.insert(0, s.c_str() + k); }},
            {[=](S& s) { s.insert(s.begin() + k, s.begin(), s.end()); },
             [=](std::string& s) { s.insert(s.begin() + k, s.begin(), s.end()); }},
            {[=](S& s) { s.replace(0, k, s.data() + k, m); },
             [=](std::string& s) { s.replace(0, k, s.data() + k, m); }},
            {[=](S& s) { s.replace(k, m, s.data(), k); },
             [=](std::string& s) { s.replace(k, m, s.data(), k); }},
            {[=](S& s) { s.replace(k, 1, s); }, [=](std::string& s) { s.replace(k, 1, s); }},
            {[=](S& s) { s.replace(s.begin(), s.begin() + k, s.rbegin(), s.rend()); },
             [=](std::string& s) { s.replace(s.begin(), s.begin() + k, s.rbegin(), s.rend()); }},
            {[=](S& s) { s.replace(s.begin() + k, s.end(), s.begin(), s.begin() + k); },
             [=](std::string& s) { s.replace(s.begin() + k, s.end(), s.begin(), s.begin() + k); }},
            {[=](S& s) { s.assign(s.data() + k, m); },
             [=](std::string& s) { s.assign(s.data() + k, m); }},
            {[=](S& s) { s.assign(s.c_str() + k); },
             [=](std::string& s) { s.assign(s.c_str() + k); }},
            {[=](S& s) { s.assign(s, k, 2); }, [=](std::string& s) { s.assign(s, k, 2); }},
            {[=](S& s) { s.assign(s.begin() + k, s.end()); },
             [=](std::string& s) { s.assign(s.begin() + k, s.end()); }},
            {[](S& s) { s = s; }, [](std::string& s) { s = s; }},
        };
        for (std::size_t i = 0; i < ops.size(); ++i) {
            for (std::size_t reserve : {std::size_t(0), 4 * n}) {
                std::string expected = text(n);
                S s(expected.c_str());
                s.reserve(reserve);
                ops[i].first(s);
                ops[i].second(expected);
                EXPECT_TRUE(wellFormed(s, expected)) << "op " << i << " length " << n;
            }
        }
    }
}

// Runs `steps` random operations on a TypeParam string and on std::string and compares them
// after every step.
template <class S>
void runAgainstStdString(unsigned seed, int steps) {
    std::mt19937 rng(seed);
    auto below = [&rng](std::size_t n) {  // uniform in [0, n]
        return std::uniform_int_distribution<std::size_t>(0, n)(rng);
    };
    auto piece = [&](std::size_t maxLen) {
        return text(below(maxLen), static_cast<char>('a' + below(20)));
    };
    S f;
    std::string s;
    for (int step = 0; step < steps; ++step) {
        const std::size_t pos = below(s.size());
        const std::size_t n = below(s.size() - pos + 3);
        const std::string p = piece(below(4) == 0 ? 70 : 12);
        const char c = static_cast<char>('A' + below(25));
        const int op = static_cast<int>(below(29));
        switch (op) {
            case 0:
                f.push_back(c), s.push_back(c);
                break;
            case 1:
                if (!s.empty()) {
                    f.pop_back(), s.pop_back();
                }
                break;
            case 2:
                f.append(p.data(), p.size()), s.append(p.data(), p.size());
                break;
            case 3:
                f += p.c_str(), s += p.c_str();
                break;
            case 4:
                f.append(n, c), s.append(n, c);
                break;
            case 5:
                f.append(f, pos, n), s.append(s, pos, n);
                break;
            case 6:
                f.insert(pos, p.c_str()), s.insert(pos, p.c_str());
                break;
            case 7:
                f.insert(pos, n, c), s.insert(pos, n, c);
                break;
            case 8:
                f.insert(f.begin() + pos, c), s.insert(s.begin() + pos, c);
                break;
            case 9: {
                const std::size_t from = below(s.size());
                f.insert(pos, f, from, n), s.insert(pos, s, from, n);
                break;
            }
            case 10:
                f.erase(pos, n), s.erase(pos, n);
                break;
            case 11:
                if (pos < s.size()) {
                    f.erase(f.begin() + pos), s.erase(s.begin() + pos);
                }
                break;
            case 12: {
                const std::size_t last = std::min(s.size(), pos + n);
                f.erase(f.begin() + pos, f.begin() + last);
                s.erase(s.begin() + pos, s.begin() + last);
                break;
            }
            case 13:
                f.replace(pos, n, p.c_str()), s.replace(pos, n, p.c_str());
                break;
            case 14: {
                const S copy(f);
                f.replace(pos, n, copy), s.replace(pos, n, std::string(s));
                break;
            }
            case 15: {
                const std::size_t count = below(40);
                f.replace(pos, n, count, c), s.replace(pos, n, count, c);
                break;
            }
            case 16: {
                const std::size_t from = below(s.size());
                const std::size_t len = below(s.size() - from);
                f.replace(pos, n, f.data() + from, len), s.replace(pos, n, s.data() + from, len);
                break;
            }
            case 17:
                f.assign(p), s.assign(p);
                break;
            case 18:
                f.assign(n, c), s.assign(n, c);
                break;
            case 19: {
                const std::size_t size = below(s.size() + 40);
                f.resize(size, c), s.resize(size, c);
                break;
            }
            case 20: {
                const std::size_t cap = below(120);
                f.reserve(cap), s.reserve(cap);
                EXPECT_GE(f.capacity(), cap);
                break;
            }
            case 21:
                f.shrink_to_fit(), s.shrink_to_fit();
                break;
            case 22: {
                S other(p.c_str());
                f.swap(other);
                other.swap(f);
                swap(f, other);
                swap(f, other);
                S moved(std::move(f));
                EXPECT_TRUE(f.empty());
                f = std::move(moved);
                EXPECT_TRUE(moved.empty());
                break;
            }
            case 23:
                f = f.substr(pos, n), s = s.substr(pos, n);
                break;
            case 24:
                f = f + p.c_str() + c, s = s + p.c_str() + c;
                break;
            case 25:
                f = c + (p.c_str() + f), s = c + (p.c_str() + s);
                break;
            case 26: {
                const std::size_t from = below(s.size());
                const std::size_t len = below(s.size() - from);
                f.insert(pos, f.data() + from, len), s.insert(pos, s.data() + from, len);
                break;
            }
            case 27: {
                const std::size_t from = below(s.size());
                f.replace(f.begin() + pos, f.begin() + std::min(s.size(), pos + n),
                          f.rbegin() + from, f.rend());
                s.replace(s.begin() + pos, s.begin() + std::min(s.size(), pos + n),
                          s.rbegin() + from, s.rend());
                break;
            }
            default:
                if (s.size() > 400) {
                    f.erase(0, 300), s.erase(0, 300);
                }
                break;
        }
        ASSERT_TRUE(wellFormed(f, s)) << "seed " << seed << " step " << step << " op " << op;
        const std::size_t at = below(s.size());
        const std::string needle = s.substr(at, std::min<std::size_t>(n, 3));
        ASSERT_EQ(f.find(needle.c_str(), at / 2), s.find(needle, at / 2));
        ASSERT_EQ(f.rfind(needle.c_str()), s.rfind(needle));
        ASSERT_EQ(f.compare(p.c_str()) < 0, s.compare(p) < 0);
        ASSERT_EQ(f == p.c_str(), s == p);
    }
}

TYPED_TEST(FlexStringBoth, RandomOperationsMatchStdString) {
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
        runAgainstStdString<TypeParam>(seed, 3000);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
}

// ------------------------------------------------------------------------------------------
// Searching and comparing, against std::string

TEST(FlexStringSearch, FindFamilyMatchesStdString) {
    const std::vector<std::string> haystacks = {
        "", "a", "abcabcab", std::string("ab\0ba", 5), text(31) + "abcab", text(40)};
    const std::vector<std::string> needles = {
        "", "a", "ab", "abc", "bca", "cab", "x", "ba", std::string("\0", 1), text(3), text(45)};
    for (const std::string& h : haystacks) {
        const flex_string f(h);
        std::vector<std::size_t> positions;
        for (std::size_t p = 0; p <= h.size() + 2; ++p) {
            positions.push_back(p);
        }
        positions.push_back(std::string::npos);
        for (const std::string& nd : needles) {
            const flex_string fn(nd);
            for (std::size_t p : positions) {
                SCOPED_TRACE("haystack \"" + h + "\" needle \"" + nd + "\" pos " +
                             std::to_string(p));
                EXPECT_EQ(f.find(fn, p), h.find(nd, p));
                EXPECT_EQ(f.rfind(fn, p), h.rfind(nd, p));
                EXPECT_EQ(f.find_first_of(fn, p), h.find_first_of(nd, p));
                EXPECT_EQ(f.find_last_of(fn, p), h.find_last_of(nd, p));
                EXPECT_EQ(f.find_first_not_of(fn, p), h.find_first_not_of(nd, p));
                EXPECT_EQ(f.find_last_not_of(fn, p), h.find_last_not_of(nd, p));
                for (std::size_t len = 0; len <= nd.size(); len += 2) {
                    EXPECT_EQ(f.find(nd.data(), p, len), h.find(nd.data(), p, len));
                    EXPECT_EQ(f.rfind(nd.data(), p, len), h.rfind(nd.data(), p, len));
                    EXPECT_EQ(f.find_first_not_of(nd.data(), p, len),
                              h.find_first_not_of(nd.data(), p, len));
                    EXPECT_EQ(f.find_last_not_of(nd.data(), p, len),
                              h.find_last_not_of(nd.data(), p, len));
                }
                if (!nd.empty()) {
                    const char c = nd[0];
                    EXPECT_EQ(f.find(c, p), h.find(c, p));
                    EXPECT_EQ(f.rfind(c, p), h.rfind(c, p));
                    EXPECT_EQ(f.find_first_of(c, p), h.find_first_of(c, p));
                    EXPECT_EQ(f.find_last_of(c, p), h.find_last_of(c, p));
                    EXPECT_EQ(f.find_first_not_of(c, p), h.find_first_not_of(c, p));
                    EXPECT_EQ(f.find_last_not_of(c, p), h.find_last_not_of(c, p));
                }
            }
            EXPECT_EQ(f.find(nd.c_str()), h.find(nd.c_str()));
            EXPECT_EQ(f.rfind(nd.c_str()), h.rfind(nd.c_str()));
            EXPECT_EQ(f.find_first_of(nd.c_str()), h.find_first_of(nd.c_str()));
            EXPECT_EQ(f.find_last_of(nd.c_str()), h.find_last_of(nd.c_str()));
        }
    }
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(FlexStringCompare, AllOverloadsAndOperatorsMatchStdString) {
    const std::vector<std::string> values = {
        "",     "a",     "ab",     "abc",    "abd",          "b",      "B",
        "\xff", "a\xff", text(31), text(32), text(31) + "a", text(200)};
    for (const std::string& a : values) {
        const flex_string fa(a);
        for (const std::string& b : values) {
            const flex_string fb(b);
            SCOPED_TRACE("\"" + a + "\" vs \"" + b + "\"");
            EXPECT_EQ(sign(fa.compare(fb)), sign(a.compare(b)));
            EXPECT_EQ(sign(fa.compare(b.c_str())), sign(a.compare(b.c_str())));
            EXPECT_EQ(sign(fa.compare(b)), sign(a.compare(b)));
            for (std::size_t pos = 0; pos <= a.size(); pos += 1 + a.size() / 4) {
                EXPECT_EQ(sign(fa.compare(pos, 3, fb)), sign(a.compare(pos, 3, b)));
                EXPECT_EQ(sign(fa.compare(pos, 2, fb, b.size() / 2, 2)),
                          sign(a.compare(pos, 2, b, b.size() / 2, 2)));
                EXPECT_EQ(sign(fa.compare(pos, 5, b.c_str())), sign(a.compare(pos, 5, b.c_str())));
                EXPECT_EQ(sign(fa.compare(pos, 5, b.c_str(), 1)),
                          sign(a.compare(pos, 5, b.c_str(), 1)));
            }
            EXPECT_EQ(fa == fb, a == b);
            EXPECT_EQ(fa != fb, a != b);
            EXPECT_EQ(fa < fb, a < b);
            EXPECT_EQ(fa <= fb, a <= b);
            EXPECT_EQ(fa > fb, a > b);
            EXPECT_EQ(fa >= fb, a >= b);
            EXPECT_EQ(fa == b.c_str(), a == b);
            EXPECT_EQ(a.c_str() == fb, a == b);
            EXPECT_EQ(fa < b.c_str(), a < b);
            EXPECT_EQ(a.c_str() < fb, a < b);
            EXPECT_EQ(fa >= b.c_str(), a >= b);
            EXPECT_EQ(a.c_str() > fb, a > b);
            EXPECT_EQ(fa == b, a == b);
            EXPECT_EQ(a != fb, a != b);
            EXPECT_EQ(fa < b, a < b);
            EXPECT_EQ(a <= fb, a <= b);
            EXPECT_EQ(fa > b, a > b);
            EXPECT_EQ(a >= fb, a >= b);
        }
    }
}

TEST(FlexStringCompare, ConcatenationInAllCombinations) {
    for (std::size_t n : {3u, 16u, 31u, 40u}) {
        const std::string a = text(n), b = text(n / 2 + 1, 'k');
        const flex_string fa(a), fb(b);
        EXPECT_TRUE(wellFormed(fa + fb, a + b));
        EXPECT_TRUE(wellFormed(flex_string(fa) + fb, a + b));
        EXPECT_TRUE(wellFormed(fa + flex_string(fb), a + b));
        EXPECT_TRUE(wellFormed(flex_string(fa) + flex_string(fb), a + b));
        EXPECT_TRUE(wellFormed(a.c_str() + fb, a + b));
        EXPECT_TRUE(wellFormed(a.c_str() + flex_string(fb), a + b));
        EXPECT_TRUE(wellFormed('x' + fb, 'x' + b));
        EXPECT_TRUE(wellFormed('x' + flex_string(fb), 'x' + b));
        EXPECT_TRUE(wellFormed(fa + b.c_str(), a + b));
        EXPECT_TRUE(wellFormed(flex_string(fa) + b.c_str(), a + b));
        EXPECT_TRUE(wellFormed(fa + 'y', a + 'y'));
        EXPECT_TRUE(wellFormed(flex_string(fa) + 'y', a + 'y'));
        EXPECT_TRUE(wellFormed(fa + b, a + b));
        EXPECT_TRUE(wellFormed(a + fb, a + b));
    }
}

// ------------------------------------------------------------------------------------------
// Value semantics and the rest of the interface

TEST(FlexStringValue, MovedFromStringsAreEmptyAndUsable) {
    for (std::size_t n : {5u, 31u, 32u, 100u}) {
        flex_string src(text(n).c_str());
        flex_string dst(std::move(src));
        EXPECT_TRUE(wellFormed(src, ""));
        EXPECT_TRUE(wellFormed(dst, text(n)));
        src.append("again");
        EXPECT_TRUE(wellFormed(src, "again"));

        flex_string target(text(80).c_str());  // heap target is released
        target = std::move(dst);
        EXPECT_TRUE(wellFormed(dst, ""));
        EXPECT_TRUE(wellFormed(target, text(n)));

        flex_string& alias = target;
        target = std::move(alias);  // self-move keeps the value
        EXPECT_TRUE(wellFormed(target, text(n)));

        HeapString heapSrc(text(n).c_str());
        HeapString heapDst(std::move(heapSrc));
        EXPECT_TRUE(wellFormed(heapSrc, ""));
        EXPECT_EQ(heapSrc.capacity(), 0u);
        EXPECT_TRUE(wellFormed(heapDst, text(n)));
    }
}

TEST(FlexStringValue, SwapBetweenForms) {
    for (std::size_t a : {0u, 7u, 31u, 32u, 90u}) {
        for (std::size_t b : {0u, 7u, 31u, 32u, 90u}) {
            flex_string x(text(a).c_str()), y(text(b, 'm').c_str());
            x.swap(y);
            EXPECT_TRUE(wellFormed(x, text(b, 'm')));
            EXPECT_TRUE(wellFormed(y, text(a)));
            swap(x, y);
            std::swap(x, y);
            EXPECT_TRUE(wellFormed(x, text(b, 'm')));
            EXPECT_TRUE(wellFormed(y, text(a)));
        }
    }
}

TEST(FlexStringValue, AssignmentFromEverySource) {
    flex_string s;
    s = "abc";
    EXPECT_TRUE(wellFormed(s, "abc"));
    s = 'z';
    EXPECT_TRUE(wellFormed(s, "z"));
    s = {'q', 'r'};
    EXPECT_TRUE(wellFormed(s, "qr"));
    s = std::string(text(50));
    EXPECT_TRUE(wellFormed(s, text(50)));
    const flex_string other(text(10).c_str());
    s = other;
    EXPECT_TRUE(wellFormed(s, text(10)));
    const std::list<char> chars = {'1', '2', '3'};
    s.assign(chars.begin(), chars.end());
    EXPECT_TRUE(wellFormed(s, "123"));
    s.assign(flex_string(text(40).c_str()), 5, 30);
    EXPECT_TRUE(wellFormed(s, text(40).substr(5, 30)));
    s.assign({'x'});
    EXPECT_TRUE(wellFormed(s, "x"));
    s.assign(std::string("std"));
    EXPECT_TRUE(wellFormed(s, "std"));
    s.assign(flex_string("moved"));
    EXPECT_TRUE(wellFormed(s, "moved"));
    s += std::string("+");
    s += {'a', 'b'};
    s.append({'c'});
    s.append(std::string("d"));
    s.insert(0, std::string("<"));
    s.replace(0, 1, std::string("["));
    EXPECT_TRUE(wellFormed(s, "[moved+abcd"));
}

TEST(FlexStringValue, ElementAccessIteratorsAndCopy) {
    flex_string s("hello world");
    EXPECT_EQ(s.front(), 'h');
    EXPECT_EQ(s.back(), 'd');
    EXPECT_EQ(s.at(4), 'o');
    s.at(0) = 'H';
    s[6] = 'W';
    EXPECT_TRUE(wellFormed(s, "Hello World"));
    EXPECT_EQ(std::string(s.rbegin(), s.rend()), "dlroW olleH");
    EXPECT_EQ(std::string(s.crbegin(), s.crend()), "dlroW olleH");
    EXPECT_EQ(s.cend() - s.cbegin(), 11);
    std::sort(s.begin(), s.end());
    EXPECT_TRUE(wellFormed(s, " HWdellloor"));
    char buf[8] = {};
    EXPECT_EQ(s.copy(buf, 4, 1), 4u);
    EXPECT_STREQ(buf, "HWde");
    EXPECT_EQ(s.copy(buf, 100, 9), 2u);
    EXPECT_EQ(s.copy(buf, 3, s.size()), 0u);
    EXPECT_EQ(s.length(), s.size());
    // Far beyond any real string: 2^40 with 64-bit sizes, 2^28 with 32-bit ones.
    EXPECT_GT(s.max_size(), std::size_t(1) << (sizeof(std::size_t) >= 8 ? 40 : 28));
    EXPECT_EQ(s.get_allocator(), std::allocator<char>());
    s.data()[0] = '_';
    EXPECT_EQ(s.c_str()[0], '_');
    EXPECT_TRUE(wellFormed(s.substr(3), s.substr(3, flex_string::npos).c_str()));
    EXPECT_TRUE(wellFormed(s.substr(s.size()), ""));

    flex_string it("abcdef");
    EXPECT_EQ(*it.erase(it.begin() + 1), 'c');
    const char* afterErase = it.erase(it.begin() + 1, it.end());
    EXPECT_EQ(afterErase, it.end());
    EXPECT_EQ(*it.insert(it.begin(), 'x'), 'x');
    EXPECT_EQ(it.insert(it.end(), 3, 'y') - it.begin(), 2);
    const std::list<char> chars = {'1', '2'};
    EXPECT_EQ(it.insert(it.begin() + 1, chars.begin(), chars.end()) - it.begin(), 1);
    EXPECT_EQ(*it.insert(it.begin(), {'<', '>'}), '<');
    EXPECT_TRUE(wellFormed(it, "<>x12ayyy"));
    it.replace(it.begin(), it.begin() + 2, {'['});
    it.replace(it.end() - 3, it.end(), std::string("]"));
    it.replace(it.begin() + 1, it.begin() + 2, 2, '-');
    it.replace(it.begin(), it.begin(), flex_string("0"));
    EXPECT_TRUE(wellFormed(it, "0[--12a]"));
}

TEST(FlexStringValue, HashAgreesWithStdString) {
    for (std::size_t n : {0u, 5u, 31u, 32u, 200u}) {
        EXPECT_EQ(std::hash<flex_string>()(flex_string(text(n).c_str())),
                  std::hash<std::string>()(text(n)));
    }
    std::unordered_set<flex_string> set = {"one", "two", flex_string(text(50).c_str())};
    EXPECT_EQ(set.count("two"), 1u);
    EXPECT_EQ(set.count(flex_string(text(50).c_str())), 1u);
    EXPECT_EQ(set.count("three"), 0u);
}

TEST(FlexStringValue, OtherCharacterTypes) {
    typedef Detail::flex_string<
        char16_t, std::char_traits<char16_t>, std::allocator<char16_t>,
        Detail::SmallStringOpt<Detail::AllocatorStringStorage<char16_t>, 31, char16_t*>>
        U16;
    U16 s;
    std::u16string expected;
    for (int i = 0; i < 100; ++i) {
        const char16_t c = static_cast<char16_t>(0x3b1 + i % 20);
        s.push_back(c);
        expected.push_back(c);
        ASSERT_EQ(std::u16string(s.data(), s.size()), expected);
        ASSERT_EQ(s.c_str()[s.size()], u'\0');
    }
    s.insert(3, s.c_str() + 10, 5);
    expected.insert(3, expected.c_str() + 10, 5);
    EXPECT_EQ(std::u16string(s.data(), s.size()), expected);
    s.resize(20);
    s.shrink_to_fit();
    expected.resize(20);
    EXPECT_EQ(std::u16string(s.data(), s.size()), expected);
}

// ------------------------------------------------------------------------------------------
// Streams, each compared with std::string reading the same input

TEST(FlexStringStream, OutputHonoursWidthFillAndAdjustment) {
    std::ostringstream out;
    out << flex_string("ab") << '|' << std::setw(5) << flex_string("cd") << '|' << std::left
        << std::setfill('*') << std::setw(4) << flex_string("e") << '|'
        << flex_string(text(40).c_str());
    EXPECT_EQ(out.str(), "ab|   cd|e***|" + text(40));
}

TEST(FlexStringStream, ExtractionMatchesStdString) {
    const std::vector<std::string> inputs = {
        "", "   ", "word", "  two words\n", "a\tb\nc  ", text(50) + " " + text(5)};
    for (const std::string& input : inputs) {
        for (int width : {0, 3}) {
            std::istringstream fin(input), sin(input);
            for (int i = 0; i < 4; ++i) {
                flex_string f("old");
                std::string s("old");
                fin >> std::setw(width) >> f;
                sin >> std::setw(width) >> s;
                EXPECT_TRUE(wellFormed(f, s)) << "input \"" << input << "\" width " << width;
                EXPECT_EQ(fin.rdstate(), sin.rdstate()) << input;
                EXPECT_EQ(fin.width(), sin.width());
            }
        }
    }
}

TEST(FlexStringStream, GetlineMatchesStdString) {
    const std::vector<std::string> inputs = {
        "", "\n", "one", "one\ntwo\n", "a;b;;c", "\n\nlast", text(80) + "\n" + text(40)};
    for (const std::string& input : inputs) {
        for (char delim : {'\n', ';'}) {
            std::istringstream fin(input), sin(input);
            for (int i = 0; i < 5; ++i) {
                flex_string f("old");
                std::string s("old");
                getline(fin, f, delim);
                std::getline(sin, s, delim);
                EXPECT_TRUE(wellFormed(f, s)) << "input \"" << input << "\"";
                EXPECT_EQ(fin.rdstate(), sin.rdstate()) << input;
            }
        }
    }
    flex_string line;
    getline(std::istringstream("first\nsecond"), line);
    EXPECT_TRUE(wellFormed(line, "first"));
    std::istringstream in("x\ny");
    getline(in, line);
    getline(in, line);
    EXPECT_TRUE(wellFormed(line, "y"));
    EXPECT_TRUE(in.eof());
}

// ------------------------------------------------------------------------------------------
// Misuse ends the process with the assertion report

std::string report(const std::string& expression) {
    std::string escaped;
    for (char c : expression) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) {
            escaped.push_back('\\');
        }
        escaped.push_back(c);
    }
    return "\\*\\*\\*\\*\\* Internal Program Error - assertion \\(" + escaped + "\\) failed in ";
}

class FlexStringDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FlexStringDeathTest, PositionsBeyondTheEnd) {
    flex_string s("abc");
    const flex_string other("xyz");
    char buf[4];
    const std::string pos = report("pos <= size()");
    EXPECT_DEATH(s.substr(4), pos);
    EXPECT_DEATH(s.insert(4, "x"), pos);
    EXPECT_DEATH(s.insert(4, 2, 'x'), pos);
    EXPECT_DEATH(s.insert(0, other, 4, 1), pos);
    EXPECT_DEATH(s.erase(4), pos);
    EXPECT_DEATH(s.replace(4, 0, "x"), pos);
    EXPECT_DEATH(s.replace(4, 0, 1, 'x'), pos);
    EXPECT_DEATH(s.replace(0, 1, other, 4, 1), pos);
    EXPECT_DEATH(s.compare(4, 1, "x"), pos);
    EXPECT_DEATH(s.compare(0, 1, other, 4, 1), pos);
    EXPECT_DEATH(s.copy(buf, 1, 4), pos);
    EXPECT_DEATH(s.append(other, 4, 1), pos);
    EXPECT_DEATH(s.assign(other, 4, 1), pos);
    EXPECT_DEATH(flex_string(other, 4), pos);
    EXPECT_DEATH(s.at(3), report("n < size()"));
    EXPECT_DEATH(flex_string().at(0), report("n < size()"));
    EXPECT_TRUE(wellFormed(s, "abc"));  // nothing happened in this process
}

TEST_F(FlexStringDeathTest, IteratorRangesOutsideTheString) {
    flex_string s("abcdef");
    EXPECT_DEATH(s.erase(s.end()), report("begin() <= i2 && i2 <= end()"));
    EXPECT_DEATH(s.erase(s.begin() + 3, s.begin() + 1), report("i1 <= i2"));
    EXPECT_DEATH(s.replace(s.begin() + 2, s.begin() + 1, "x"), report("i1 <= i2"));
    EXPECT_DEATH(s.replace(s.end() + 1, s.end() + 1, "x"), report("begin() <= i1 && i1 <= end()"));
    EXPECT_DEATH(s.replace(s.begin(), s.end() + 1, 2, 'x'), report("begin() <= i2 && i2 <= end()"));
    EXPECT_DEATH(s.insert(s.end() + 1, 'x'), report("begin() <= i1 && i1 <= end()"));
    const char* src = "hello";
    EXPECT_DEATH(s.replace(s.begin(), s.end(), src + 3, src), report("n2 >= 0"));
    EXPECT_DEATH(s.append(src + 3, src), report("n2 >= 0"));
    EXPECT_DEATH(flex_string(src + 3, src + 1), report("n2 >= 0"));
}

TEST_F(FlexStringDeathTest, EmptyStringHasNoEnds) {
    flex_string s;
    EXPECT_DEATH(s.pop_back(), report("!empty()"));
    EXPECT_DEATH(s.back(), report("!empty()"));
    EXPECT_DEATH(s.front(), report("!empty()"));
}

TEST_F(FlexStringDeathTest, LengthsBeyondMaxSize) {
    flex_string s("abc");
    EXPECT_DEATH(s.append(flex_string::npos, 'x'), report("n <= max_size() - size()"));
    EXPECT_DEATH(s.insert(1, s.max_size(), 'x'), report("n <= max_size() - size()"));
    EXPECT_DEATH(s.resize(s.max_size() + 1), report("n <= max_size()"));
    EXPECT_DEATH(s.reserve(flex_string::npos), report("n <= max_size()"));
}

TEST_F(FlexStringDeathTest, CorruptedLengthByteIsDetected) {
    flex_string s(text(31).c_str());
    s[31] = 'x';  // overwrites the NUL of a full small string, which is its length byte
    EXPECT_DEATH((void)s.size(), report("!Small() || maxSmallString >= buf_[maxSmallString]"));
    s[31] = '\xff';
    EXPECT_DEATH((void)s.size(), report("!Small() || maxSmallString >= buf_[maxSmallString]"));
    s[31] = '\0';
    EXPECT_TRUE(wellFormed(s, text(31)));
}

TEST_F(FlexStringDeathTest, StorageRawAppendRejectsItsOwnText) {
    const std::string expr = report("!(le(begin(), &*b) && le(&*b, end()))");
    Detail::AllocatorStringStorage<char> heap("hello", 5);
    EXPECT_DEATH(heap.append(heap.begin() + 1, heap.begin() + 3), expr);
    EXPECT_DEATH(heap.append(heap.end(), heap.end() + 1), expr);
    Detail::SmallStringOpt<Detail::AllocatorStringStorage<char>, 31, char*> small("hello", 5);
    EXPECT_DEATH(small.append(small.begin(), small.begin() + 2), expr);
    small.reserve(64);
    EXPECT_DEATH(small.append(small.begin(), small.begin() + 2), expr);
}

}  // namespace
