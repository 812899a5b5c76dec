// The buddy pool against a model of its free lists, its refusals, its release, and threads.
#include "memory/BuddyPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "memory/MemoryTestSupport.h"

using MemoryTest::Capture;
using MemoryTest::CountingOperator;
using Tovix::Memory::Detail::CBuddyPool;

namespace {

// The free lists of the eager algorithm: seeded largest runs first in ascending addresses; a
// split hands out the highest piece and puts the lower halves at the front of their lists; a
// free merges with its buddy while that is a free run of the same size inside the pool.
class Model {
public:
    explicit Model(int blocks) : m_blocks(blocks), m_marks(static_cast<std::size_t>(blocks)) {
        while ((2 << m_orders) <= blocks) {
            ++m_orders;
        }
        m_lists.resize(static_cast<std::size_t>(++m_orders));
        for (int k = m_orders - 1, next = 0; k >= 0; --k) {
            for (int n = (blocks - next) >> k; n > 0; --n, next += 1 << k) {
                m_lists[k].push_back(next);
                m_marks[next] = k + 1;
            }
        }
    }
    int malloc(int k) {  // first chunk of the run handed out, or -1
        int j = k;
        while (j < m_orders && m_lists[j].empty()) {
            ++j;
        }
        if (j >= m_orders) {
            return -1;
        }
        int start = m_lists[j].front();
        m_lists[j].pop_front();
        while (j > k) {
            m_lists[--j].push_front(start);
            m_marks[start] = j + 1;
            start += 1 << j;
        }
        m_marks[start] = -(k + 1);
        m_free -= 1 << k;
        return start;
    }
    void free(int id) {
        int level = -m_marks[id];
        m_marks[id] = 0;
        m_free += 1 << (level - 1);
        for (; level < m_orders; ++level) {
            const int half = 1 << (level - 1), buddy = id ^ half;
            if (buddy >= m_blocks || m_marks[buddy] != level) {
                break;
            }
            auto& list = m_lists[level - 1];
            list.erase(std::find(list.begin(), list.end(), buddy));
            m_marks[buddy] = 0;
            id &= ~half;
        }
        m_lists[level - 1].push_front(id);
        m_marks[id] = level;
    }
    int m_blocks, m_orders = 0, m_free = m_blocks;
    std::vector<int> m_marks;
    std::vector<std::deque<int>> m_lists;
};

void expectSame(CBuddyPool& pool, const Model& model, int step) {
    // The marks first: reading the lists carries out a split still pending.
    ASSERT_EQ(pool.orderMarks(), model.m_marks) << "step " << step;
    ASSERT_EQ(pool.freeSize(), static_cast<unsigned>(model.m_free) * pool.chunkSize());
    for (int k = 0; k < model.m_orders; ++k) {
        const std::vector<int> list(model.m_lists[k].begin(), model.m_lists[k].end());
        ASSERT_EQ(pool.freeList(k), list) << "list " << k << " at step " << step;
    }
}

struct Live {
    unsigned char* p;
    int index, order;
};

// Random requests (some of 0 bytes or past the pool), frees of the newest block (which comes
// back before its split is carried out) or of any, and refused frees of pointers that are not
// handed-out runs; the pool must match the model after every step.
void runAgainstModel(unsigned int total, unsigned int chunk, int steps, unsigned int seed) {
    Capture capture;
    CBuddyPool pool(CountingOperator::make(), total, chunk);
    ASSERT_TRUE(pool.valid());
    // One spare chunk absorbs aligning the start.
    EXPECT_EQ(CountingOperator::lastSize.load(), total + chunk);
    const auto origin = reinterpret_cast<std::uintptr_t>(pool.originBuffer());
    const auto start = reinterpret_cast<std::uintptr_t>(pool.start());
    EXPECT_EQ(start % chunk, 0u);
    EXPECT_LT(start - origin, chunk);
    Model model(pool.blockCount());
    ASSERT_EQ(pool.orderCount(), model.m_orders);
    expectSame(pool, model, -1);
    std::mt19937 rng(seed);
    std::vector<Live> live;
    std::vector<unsigned char*> freed;
    int refused = 0;
    for (int step = 0; step < steps; ++step) {
        const unsigned int action = rng() % 100;
        if (action < 45 || live.empty()) {
            const int k = static_cast<int>(rng() % (model.m_orders + 1));
            const unsigned int low = k == 0 ? 1 : (chunk << (k - 1)) + 1;
            unsigned int size = action == 0 ? 0 : low + rng() % ((chunk << k) - low + 1);
            const int expected = size == 0 ? -1 : model.malloc(k);
            auto* p = static_cast<unsigned char*>(pool.malloc(size));
            if (expected < 0) {
                ASSERT_EQ(p, nullptr) << "step " << step;
                continue;
            }
            ASSERT_EQ(p, pool.start() + static_cast<std::size_t>(expected) * chunk) << step;
            ASSERT_EQ(size, chunk << k);
            p[0] = p[size - 1] = 1;
            live.push_back(Live{p, expected, k});
        } else if (action < 95) {
            const std::size_t at = action < 70 ? live.size() - 1 : rng() % live.size();
            const Live block = live[at];
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
            ASSERT_TRUE(pool.free(block.p)) << "step " << step;
            model.free(block.index);
            freed.push_back(block.p);
        } else {
            const Live& some = live[rng() % live.size()];
            unsigned char* bad[] = {some.p + 1, some.p + 8,
                                    some.order > 0 ? some.p + chunk : pool.start() - chunk,
                                    pool.start() + static_cast<std::size_t>(model.m_blocks) * chunk,
                                    freed.empty() ? some.p + 2 : freed[rng() % freed.size()]};
            for (unsigned char* p : bad) {
                bool handedOut = false;
                for (const Live& l : live) {
                    handedOut = handedOut || l.p == p;
                }
                if (!handedOut) {
                    ASSERT_FALSE(pool.free(p)) << "step " << step;
                    ++refused;
                }
            }
        }
        expectSame(pool, model, step);
    }
    for (const Live& block : live) {
        ASSERT_TRUE(pool.free(block.p));
        model.free(block.index);
    }
    expectSame(pool, model, steps);
    EXPECT_EQ(pool.freeSize(), total);
    EXPECT_EQ(capture.count("Pool_Free(): "), refused);
    EXPECT_TRUE(pool.free(nullptr));
}

}  // namespace

TEST(BuddyPool, MatchesTheModelOnPowerOfTwoAndOddSizedPools) {
    runAgainstModel(1 << 18, 1024, 3000, 1);
    runAgainstModel(3000 * 1024, 1024, 600, 2);
    runAgainstModel(7 * 4096, 4096, 1500, 3);
    runAgainstModel(5 * 2048, 2048, 1500, 4);
    runAgainstModel(1024, 1024, 300, 5);
}

TEST(BuddyPool, SizesMapToRunsAndRequestsThatCannotFitFail) {
    Capture capture;
    CBuddyPool pool(CountingOperator::make(), 2097152, 1024);
    const unsigned int cases[][2] = {{1, 1024},    {1024, 1024}, {1025, 2048},
                                     {2048, 2048}, {2049, 4096}, {2097152, 2097152}};
    for (const auto& c : cases) {
        unsigned int size = c[0];
        void* p = pool.malloc(size);
        EXPECT_EQ(size, c[1]) << c[0];
        EXPECT_TRUE(pool.free(p));
    }
    for (unsigned int bad : {0u, 2097153u, 0xFFFFFFFFu}) {
        unsigned int size = bad;
        EXPECT_EQ(pool.malloc(size), nullptr) << bad;
        EXPECT_EQ(size, bad);
    }
    EXPECT_EQ(capture.count("CPacket No Free Space\n"), 3);
    EXPECT_EQ(pool.freeSize(), 2097152u);
}

TEST(BuddyPool, MemoryGoesBackOnceRetiredAndEmpty) {
    Capture quiet;
    const int frees = CountingOperator::frees;
    {
        CBuddyPool pool(CountingOperator::make(), 8 * 1024, 1024);
        unsigned int size = 100;
        void* p = pool.malloc(size);
        void* q = pool.malloc(size);
        EXPECT_TRUE(pool.free(q));
        pool.retire();
        EXPECT_NE(pool.originBuffer(), nullptr);  // a block is still out
        EXPECT_EQ(CountingOperator::frees.load(), frees);
        EXPECT_TRUE(pool.free(p));
        EXPECT_EQ(pool.originBuffer(), nullptr);
        EXPECT_EQ(CountingOperator::frees.load(), frees + 1);
        EXPECT_FALSE(pool.free(p));
        EXPECT_EQ(pool.freeSize(), 0u);
        EXPECT_TRUE(pool.orderMarks().empty());
        EXPECT_EQ(pool.malloc(size), nullptr);
    }
    EXPECT_EQ(CountingOperator::frees.load(), frees + 1);
    {
        CBuddyPool pool(CountingOperator::make(), 8 * 1024, 1024);
        unsigned int size = 100;
        EXPECT_TRUE(pool.free(pool.malloc(size)));  // used, and whole again
        EXPECT_NE(pool.originBuffer(), nullptr);
        pool.retire();
        EXPECT_EQ(pool.originBuffer(), nullptr);
    }
    EXPECT_EQ(CountingOperator::frees.load(), frees + 2);
}

TEST(BuddyPool, CopiesWithTheOperatorOnlyInsideThePool) {
    Capture quiet;
    CBuddyPool pool(CountingOperator::make(), 8 * 1024, 1024);
    unsigned int a = 100, b = 100;
    auto* x = static_cast<unsigned char*>(pool.malloc(a));
    auto* y = static_cast<unsigned char*>(pool.malloc(b));
    unsigned char stack[16] = {1, 2, 3};
    const int before = CountingOperator::copies;
    EXPECT_EQ(pool.memcpy(x, stack, sizeof stack), x);
    EXPECT_EQ(pool.memcpy(y, x, 16), y);
    EXPECT_EQ(pool.memcpy(stack, y, 4), stack);
    EXPECT_EQ(CountingOperator::copies.load(), before + 1);
    EXPECT_EQ(y[2], 3);
    pool.free(x);
    pool.free(y);
}

TEST(BuddyPool, ThreadsTakingTheLockOverFromALongRunLeaveThePoolWhole) {
    Capture quiet;
    CBuddyPool pool(CountingOperator::make(), 1024 * 1024, 1024);
    // A long run alone first: this thread comes to own the lock, and the threads below must
    // take it over while it may still be inside.
    std::thread owner([&pool] {
        for (int i = 0; i < 200000; ++i) {
            unsigned int size = 1024u << (i % 3);
            EXPECT_TRUE(pool.free(pool.malloc(size)));
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, t] {
            std::mt19937 rng(static_cast<unsigned>(t) + 100);
            std::vector<std::pair<unsigned char*, unsigned int>> mine;
            for (int i = 0; i < 3000; ++i) {
                if (mine.size() < 8 && rng() % 2 == 0) {
                    unsigned int size = 1 + rng() % 16384;
                    if (auto* p = static_cast<unsigned char*>(pool.malloc(size))) {
                        p[0] = p[size - 1] = static_cast<unsigned char>(t);
                        mine.emplace_back(p, size);
                    }
                } else if (!mine.empty()) {
                    const auto block = mine.back();
                    mine.pop_back();
                    EXPECT_EQ(block.first[0] + block.first[block.second - 1], 2 * t);
                    EXPECT_TRUE(pool.free(block.first));
                }
            }
            for (auto& block : mine) {
                EXPECT_TRUE(pool.free(block.first));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    owner.join();
    EXPECT_EQ(pool.freeSize(), 1024u * 1024u);
    EXPECT_EQ(pool.freeList(10), std::vector<int>{0});
}
