// flex_string: random operation sequences over the whole interface checked against std::string,
// per storage, and the documented differences: the inline form, exact growth, the assertion
// reports of misuse.
#include "infra/FlexString.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iomanip>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Tovix::Infra::flex_string;
namespace Detail = Tovix::Infra::Detail;
// The same template over the plain heap storage (no inline buffer).
using HeapString = Detail::flex_string<char, std::char_traits<char>, std::allocator<char>,
                                       Detail::AllocatorStringStorage<char, std::allocator<char>>>;

std::string text(std::size_t n, char base = 'a') {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(static_cast<char>(base + (i * 7 + i / 26) % 26));
    }
    return s;
}

bool isInline(const flex_string& s) {
    return s.data() == reinterpret_cast<const char*>(&s);
}
unsigned char lastByte(const flex_string& s) {
    return reinterpret_cast<const unsigned char*>(&s)[31];
}

// The text, its NUL, a capacity that holds it, and for the inline-capable storage a form that
// agrees with the last byte (31 minus the length inline, 32 on the heap).
template <class S>
::testing::AssertionResult wellFormed(const S& s, const std::string& expected) {
    if (std::string(s.data(), s.size()) != expected || s.c_str()[s.size()] != '\0' ||
        s.capacity() < s.size() || s.length() != s.size() || s.empty() != expected.empty()) {
        return ::testing::AssertionFailure() << '"' << s.c_str() << "\" != \"" << expected << '"';
    }
    if constexpr (std::is_same<S, flex_string>::value) {
        if (isInline(s) ? lastByte(s) != 31 - s.size() : lastByte(s) != 32 || s.capacity() < 32) {
            return ::testing::AssertionFailure() << "form, last byte " << int(lastByte(s));
        }
    }
    return ::testing::AssertionSuccess();
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

template <class S>
class FlexStringSweep : public ::testing::Test {};
using Storages = ::testing::Types<flex_string, HeapString>;
TYPED_TEST_SUITE(FlexStringSweep, Storages);

// Random operations on the string and on a std::string, with sources inside the string's own
// text included, compared after every step together with the read-only interface.
TYPED_TEST(FlexStringSweep, RandomOperationsMatchStdString) {
    using S = TypeParam;
    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::mt19937 rng(seed);
        const auto below = [&rng](std::size_t n) {  // uniform in [0, n]
            return std::uniform_int_distribution<std::size_t>(0, n)(rng);
        };
        S f;
        std::string s;
        for (int step = 0; step < 2500 && !this->HasFailure(); ++step) {
            const std::size_t pos = below(s.size()), n = below(s.size() - pos + 3);
            const std::size_t from = below(s.size()), len = below(s.size() - from);
            const std::string p = text(below(below(4) == 0 ? 70 : 12), char('a' + below(20)));
            const char c = static_cast<char>('A' + below(25));
            const std::size_t last = std::min(s.size(), pos + n);
            const int op = static_cast<int>(below(35));
            const auto both = [&](auto apply) { apply(f), apply(s); };
            using Own = std::decay_t<decltype(f)>;  // clang-format off
            switch (op) {
                case 0: both([&](auto& x) { x.push_back(c); }); break;
                case 1: both([&](auto& x) { x.empty() || (x.pop_back(), true); }); break;
                case 2: both([&](auto& x) { x.append(p.data(), p.size()); }); break;
                case 3: both([&](auto& x) { x += p.c_str(); }); break;
                case 4: both([&](auto& x) { x.append(n, c); }); break;
                case 5: both([&](auto& x) { x.append(x, pos, n); }); break;
                case 6: both([&](auto& x) { x.append(x.data() + from, len); }); break;
                case 7: both([&](auto& x) { x.append(x.rbegin(), x.rend()); }); break;
                case 8: both([&](auto& x) { x.insert(pos, p.c_str()); }); break;
                case 9: both([&](auto& x) { x.insert(pos, n, c); }); break;
                case 10: both([&](auto& x) { x.insert(x.begin() + pos, c); }); break;
                case 11: both([&](auto& x) { x.insert(pos, x, from, n); }); break;
                case 12: both([&](auto& x) { x.insert(pos, x.data() + from, len); }); break;
                case 13: both([&](auto& x) { x.insert(x.begin() + pos, x.begin(), x.end()); }); break;
                case 14: both([&](auto& x) { x.erase(pos, n); }); break;
                case 15: both([&](auto& x) { pos == x.size() || (x.erase(x.begin() + pos), 1); }); break;
                case 16: both([&](auto& x) { x.erase(x.begin() + pos, x.begin() + last); }); break;
                case 17: both([&](auto& x) { x.replace(pos, n, p.c_str()); }); break;
                case 18: both([&](auto& x) { x.replace(pos, n, decltype(s)(x.c_str())); }); break;
                case 19: both([&](auto& x) { x.replace(pos, n, len, c); }); break;
                case 20: both([&](auto& x) { x.replace(pos, n, x.data() + from, len); }); break;
                case 21: both([&](auto& x) { x.replace(x.begin() + pos, x.begin() + last,
                                                       x.rbegin() + from, x.rend()); }); break;
                case 22: both([&](auto& x) { x.assign(p.c_str()); }); break;
                case 23: both([&](auto& x) { x.assign(n, c); }); break;
                case 24: both([&](auto& x) { x.assign(x.c_str() + from); }); break;
                case 25: both([&](auto& x) { x.resize(pos + n * 9, c); }); break;
                case 26: both([&](auto& x) { x.reserve(n * 9); }); break;
                case 27: both([&](auto& x) { x.shrink_to_fit(); }); break;
                case 29: both([&](auto& x) { x = x.substr(pos, n); }); break;
                case 30: both([&](auto& x) { x = c + (p.c_str() + x + p.c_str()) + c; }); break;
                case 31: f = step % 2 ? Own(f.c_str() + from, len) : Own(f, from, n), s = s.substr(from, step % 2 ? len : n); break;
                case 32: both([&](auto& x) { std::istringstream(p + "\n;" + p) >> x; }); break;
                case 33: both([&](auto& x) { std::istringstream in(";" + p); getline(in, x, ';'), getline(in, x, ';'); }); break;
                case 28: {
                    Own other(p.c_str());
                    f.swap(other), swap(f, other), std::swap(f, other), f.swap(other);
                    Own moved(std::move(f));
                    EXPECT_TRUE(f.empty());
                    f = moved;
                    break;
                }
                default: both([&](auto& x) { x.size() < 300 || (x.erase(0, 200), 1); }); break;
            }  // clang-format on
            ASSERT_TRUE(wellFormed(f, s)) << "seed " << seed << " step " << step << " op " << op;
            const std::size_t q = below(s.size()), k = below(5);  // read-only calls from here
            const std::string needle = s.substr(q, k % 4) + (k == 4 ? "q" : "");
            for (std::size_t at : {q, k, s.size() + 1, S::npos}) {
                EXPECT_EQ(s.find(needle, at), f.find(needle.c_str(), at));
                EXPECT_EQ(s.rfind(needle, at), f.rfind(needle.c_str(), at));
                EXPECT_EQ(s.find(c, at), f.find(c, at));
                EXPECT_EQ(s.rfind(c, at), f.rfind(c, at));
                EXPECT_EQ(s.find_first_of(needle, at), f.find_first_of(S(needle.c_str()), at));
                EXPECT_EQ(s.find_last_of(needle, at), f.find_last_of(needle.c_str(), at));
                EXPECT_EQ(s.find_first_not_of(needle, at), f.find_first_not_of(needle.c_str(), at));
                EXPECT_EQ(s.find_last_not_of(needle.data(), at, k % 3),
                          f.find_last_not_of(needle.data(), at, k % 3));
                EXPECT_EQ(s.find_last_not_of(needle, at), f.find_last_not_of(needle.c_str(), at));
            }
            const S fp(p.c_str());
            EXPECT_EQ(sign(s.compare(p)), sign(f.compare(fp)));
            EXPECT_EQ(sign(s.compare(q, k, p)), sign(f.compare(q, k, p.c_str())));
            EXPECT_EQ(sign(s.compare(q, k, p, p.size() / 2, 3)),
                      sign(f.compare(q, k, fp, p.size() / 2, 3)));
            EXPECT_EQ(std::vector<bool>(
                          {s == p, s != p, (s < p), s <= p, (s > p), s >= p, s == p, s == p}),
                      std::vector<bool>({f == fp, f != p.c_str(), f < fp, p.c_str() >= f, fp < f,
                                         f >= p.c_str(), f == p, p == f}));
            char copied[8] = {};
            EXPECT_EQ(s.substr(q, 7).size(), f.copy(copied, 7, q));
            EXPECT_EQ(s.substr(q, 7), copied);
            EXPECT_TRUE(q == s.size() || (s.front() == f.front() && s.back() == f.back() &&
                                          s.at(q) == f.at(q) && s[q] == f[q]));
            EXPECT_EQ(std::string(s.rbegin(), s.rend()), std::string(f.crbegin(), f.crend()));
            std::ostringstream fout, sout;
            fout << std::setw(q) << std::left << f, sout << std::setw(q) << std::left << s;
            EXPECT_EQ(sout.str(), fout.str());
        }
    }
}

TEST(FlexStringForm, ThirtyOneCharactersStayInlineAndAddedTextGrowsTheCapacityExactly) {
    for (std::size_t n = 0; n <= 33; ++n) {
        EXPECT_EQ(n <= 31 ? 31u : n, flex_string(text(n).c_str()).capacity()) << n;
        EXPECT_EQ(std::hash<std::string>()(text(n)), std::hash<flex_string>()(text(n).c_str()));
    }
    flex_string s(text(31).c_str());
    EXPECT_EQ(0, lastByte(s));  // 31 characters: the length byte is the terminating NUL
    s.reserve(31);
    EXPECT_TRUE(isInline(s));
    s.push_back('x'), s.pop_back();
    EXPECT_FALSE(isInline(s));              // stays on the heap until shrink_to_fit
    EXPECT_TRUE(isInline(flex_string(s)));  // a copy takes the smallest form
    s.shrink_to_fit();
    EXPECT_TRUE(isInline(s));
    s.reserve(100), s.reserve(50);  // exactly the request, and never shrinks
    EXPECT_EQ(100u, s.capacity());
    // No growth factor, from the inline form (capacity 31) and from a full heap block alike;
    // text added within the capacity keeps it.
    const std::string five = "ABCDE";
    const std::vector<std::function<void(flex_string&)>> addFive = {
        [&](flex_string& s) { s.append(five.c_str(), 5); },
        [](flex_string& s) { s.append(s.data() + 1, 5); },
        [](flex_string& s) { s.append(5, 'x'); },
        [](flex_string& s) { s.insert(s.begin() + 1, 5, 'y'); },
        [](flex_string& s) { s.replace(2, 1, "abcdef"); },
        [](flex_string& s) { s.replace(2, 1, 6, 'z'); },
        [](flex_string& s) { s.resize(s.size() + 5, 'r'); },
        [&](flex_string& s) {
            std::for_each(five.begin(), five.end(), [&](char c) { s.push_back(c); });
        }};
    for (const std::size_t start : {std::size_t(31), std::size_t(40)}) {
        for (std::size_t i = 0; i < addFive.size(); ++i) {
            flex_string s(text(start).c_str());
            addFive[i](s);
            EXPECT_EQ(start + 5, s.capacity()) << i;
            s.reserve(start + 10);
            addFive[i](s);
            EXPECT_EQ(start + 10, s.capacity()) << i;
        }
    }
}

// Misuse ends the process with the assertion report naming the broken condition.
TEST(FlexStringDeathTest, MisuseIsReportedWithTheCheckedCondition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    flex_string s("abcdef"), full(text(31).c_str());
    const char* src = "hello";
    Detail::AllocatorStringStorage<char> heap("hello", 5);
    const std::vector<std::pair<std::function<void()>, std::string>> misuse = {
        {[&] { s.substr(7); }, "pos <= size()"},
        {[&] { s.compare(0, 1, s, 7); }, "pos <= size()"},
        {[&] { s.at(6); }, "n < size()"},
        {[&] { s.erase(s.end()); }, "begin() <= i2 && i2 <= end()"},
        {[&] { s.erase(s.begin() + 3, s.begin() + 1); }, "i1 <= i2"},
        {[&] { s.replace(s.end() + 1, s.end() + 1, "x"); }, "begin() <= i1 && i1 <= end()"},
        {[&] { s.append(src + 3, src); }, "n2 >= 0"},
        {[&] { flex_string().pop_back(); }, "!empty()"},
        {[&] { s.append(flex_string::npos, 'x'); }, "n <= max_size() - size()"},
        {[&] { s.reserve(flex_string::npos); }, "n <= max_size()"},
        {[&] { full[31] = 'x', (void)full.size(); },
         "!Small() || maxSmallString >= buf_[maxSmallString]"},
        {[&] { heap.append(heap.begin() + 1, heap.begin() + 3); },
         "!(le(begin(), &*b) && le(&*b, end()))"},
    };
    for (const auto& m : misuse) {
        std::string escaped;
        for (char c : m.second) {
            escaped += std::strchr("\\^$.|?*+()[]{}", c) != nullptr ? std::string("\\") + c
                                                                    : std::string(1, c);
        }
        EXPECT_DEATH(m.first(),
                     "Internal Program Error - assertion \\(" + escaped + "\\) failed in ");
    }
}

}  // namespace
