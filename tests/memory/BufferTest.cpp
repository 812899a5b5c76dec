// The growable buffer against a model of its growth rule; appending from itself; requests past
// 32 bits; and, in a process with a limited address space, allocation failures of the buffer
// and memory the block pool gives back.
#include "infra/Buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "infra/MemPool.h"
#include "memory/MemoryTestSupport.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

using Tovix::Memory::CBuffer;

namespace {

// What a buffer must hold: whether it has a block, its bytes (-1: not written), capacity, step.
struct Model {
    bool block = false;
    std::vector<int> bytes;
    unsigned int capacity = 0, step = 0;

    void make(unsigned int n) {
        if (!block) {
            *this = Model{true, {}, n, 0};
        }
    }
    void grow(unsigned int wanted) {
        if (capacity < wanted) {
            capacity = step == 0 ? wanted : (wanted + step - 1) / step * step;
        }
    }
};

void expectSame(const CBuffer& buffer, const Model& model, int step) {
    ASSERT_EQ(buffer.size(), model.bytes.size()) << "step " << step;
    ASSERT_EQ(buffer.capacity(), model.capacity) << "step " << step;
    ASSERT_EQ(buffer.getBuffer() == nullptr, model.bytes.empty()) << "step " << step;
    for (std::size_t i = 0; i < model.bytes.size(); ++i) {
        if (model.bytes[i] >= 0) {
            ASSERT_EQ(buffer.getBuffer()[i], model.bytes[i]) << "byte " << i << " step " << step;
        }
    }
}

}  // namespace

TEST(Buffer, FollowsTheGrowthRuleThroughRandomCalls) {
    std::mt19937 rng(3);
    CBuffer buffer;
    Model model;
    std::vector<unsigned char> data(600);
    for (int step = 0; step < 4000; ++step) {
        const unsigned int op = rng() % 8, n = rng() % 3 == 0 ? 0 : rng() % 600;
        if (op < 3) {
            // Now and then a part of the buffer itself is appended.
            const bool self = model.bytes.size() > 20 && op == 0;
            const unsigned int len = self ? 20 : n;
            unsigned char* from = self ? buffer.getBuffer() + 3 : data.data();
            std::generate_n(data.begin(), len, rng);
            model.make(len);
            model.grow(static_cast<unsigned int>(model.bytes.size()) + len);
            model.bytes.insert(model.bytes.end(), from, from + len);
            ASSERT_EQ(buffer.putBuffer(from, len), len);
        } else if (op < 5) {
            model.make(n);
            model.grow(n);
            model.bytes.resize(n, -1);  // bytes past the old size are not known
            buffer.resize(n);
        } else if (op == 5) {
            model.make(n);
            model.capacity = std::max(model.capacity, n);  // the step is ignored
            buffer.reserve(n);
        } else if (op == 6) {
            const unsigned int steps[] = {0, 1, 7, 64, 100};
            model.make(steps[n % 5]);
            model.step = steps[n % 5];
            buffer.setIncreasedSize(model.step);
        } else if (n % 4 == 0) {
            model = Model{};
            buffer.reset();
        } else {
            // Copies are deep and keep capacity and step.
            CBuffer copy(buffer), other;
            expectSame(copy, model, step);
            ASSERT_TRUE(model.bytes.empty() || copy.getBuffer() != buffer.getBuffer());
            other.setIncreasedSize(5);
            other = copy;
            buffer = other;
        }
        expectSame(buffer, model, step);
    }
}

TEST(Buffer, AppendingItselfWhileGrowingCopiesTheOldBytes) {
    // Large enough that growing moves the block and returns the old one to the system.
    constexpr unsigned int kSize = 300000;
    CBuffer buffer;
    std::vector<unsigned char> pattern(kSize);
    std::generate(pattern.begin(), pattern.end(), std::mt19937(1));
    ASSERT_EQ(buffer.putBuffer(pattern.data(), kSize), kSize);
    ASSERT_EQ(buffer.putBuffer(buffer.getBuffer(), kSize), kSize);
    ASSERT_EQ(buffer.putBuffer(buffer.getBuffer() + 1000, 5000), 5000u);  // a part of itself
    ASSERT_EQ(buffer.size(), 2 * kSize + 5000);
    EXPECT_TRUE(
        std::equal(pattern.begin(), pattern.end(), buffer.getBuffer()) &&
        std::equal(pattern.begin(), pattern.end(), buffer.getBuffer() + kSize) &&
        std::equal(pattern.begin() + 1000, pattern.begin() + 6000, buffer.getBuffer() + 2 * kSize));
}

TEST(Buffer, RequestsPast32BitsFailAndLeaveTheBufferAsItWas) {
    MemoryTest::Capture capture;
    CBuffer buffer;
    unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    buffer.putBuffer(data, 8);
    buffer.setIncreasedSize(0x80000000u);
    buffer.resize(0x80000001u);                          // the step rounds past 32 bits
    EXPECT_EQ(buffer.putBuffer(data, 0xFFFFFFF8u), 0u);  // 8 + 0xFFFFFFF8 does not fit either
    EXPECT_EQ(capture.count("CBuffer resize ReMalloc fail:\n"), 1);
    EXPECT_EQ(capture.count("ReMalloc fail:"), 2);
    EXPECT_TRUE(buffer.size() == 8 && buffer.capacity() == 8 && buffer.getBuffer()[7] == 8);
    if (sizeof(void*) == 4) {  // the header added to a capacity near 4 GiB would wrap the size
        buffer.reserve(0xFFFFFFF0u);
        EXPECT_TRUE(buffer.size() == 8 && buffer.capacity() == 8);
    }
}

#if !defined(_WIN32) && !defined(MEMORY_TEST_SANITIZER)
namespace {

// Runs in a child process whose address space is limited to what it uses plus 512 MiB.
void underAddressSpaceLimit() {
    unsigned long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    const bool read = statm != nullptr && std::fscanf(statm, "%lu", &pages) == 1;
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (512u << 20);
    const rlimit rl{limit, limit};
    std::string failed = read && setrlimit(RLIMIT_AS, &rl) == 0 ? "" : "no limit ";
    auto check = [&failed](bool ok, const char* what) { failed += ok ? "" : what; };
    {
        MemoryTest::Capture capture;
        constexpr unsigned int kHuge = 0xF0000000u;
        unsigned char data[4] = {1, 2, 3, 4};
        CBuffer empty, small;
        small.putBuffer(data, 4);
        for (CBuffer* buffer : {&empty, &small}) {
            check(buffer->putBuffer(data, kHuge) == 0, "put ");
            buffer->resize(kHuge);
            buffer->reserve(kHuge);
        }
        empty.setIncreasedSize(kHuge);
        check(empty.capacity() == 0, "empty ");
        check(small.size() == 4 && small.capacity() == 4 && small.getBuffer()[3] == 4, "small ");
        // Every call above failed once: put, append, resize twice, reserve twice, step.
        check(capture.count("Malloc fail:") == 7 && capture.count("ReMalloc fail:") == 2, "log ");
    }
    // A pool gives its chunks back when it dies: 16 pools of 256 MiB one after the other.
    for (int i = 0; i < 16; ++i) {
        check(Tovix::Memory::Detail::CMemPool(1u << 20, 256).malloc() != nullptr, "pool ");
    }
    std::fprintf(stderr, "%s\n", failed.empty() ? "all held" : failed.c_str());
    std::exit(0);
}

}  // namespace

TEST(MemoryLimitDeathTest, FailedAllocationsAreReportedAndPoolsGiveTheirMemoryBack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_EXIT(underAddressSpaceLimit(), testing::ExitedWithCode(0), "all held");
}
#endif
