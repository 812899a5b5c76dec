// The buddy pool against a model of its free lists, its refusals, its release, and threads.
#include "memory/BuddyPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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
        while (j >= 0 && j < m_orders && m_lists[j].empty()) {
            ++j;
        }
        if (j >= m_orders || k < 0) {
            return -1;
        }
        int start = m_lists[j].front();
        m_lists[j].erase(m_lists[j].begin());
        for (; j > k; start += 1 << j) {
            push(--j, start);
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
        push(level - 1, id);
    }
    void push(int k, int id) {  // at the front of list k
        m_lists[k].insert(m_lists[k].begin(), id);
        m_marks[id] = k + 1;
    }
    int m_blocks, m_orders = 0, m_free = m_blocks;
    std::vector<int> m_marks;
    std::vector<std::vector<int>> m_lists;
};

void expectSame(CBuddyPool& pool, const Model& model, int step) {
    // The marks first: reading the lists carries out a split still pending.
    ASSERT_EQ(pool.orderMarks(), model.m_marks) << "step " << step;
    ASSERT_EQ(pool.freeSize(), static_cast<unsigned>(model.m_free) * pool.chunkSize());
    for (int k = 0; k < model.m_orders; ++k) {
        ASSERT_EQ(pool.freeList(k), model.m_lists[k]) << "list " << k << " at step " << step;
    }
}

struct Live {
    unsigned char* p;
    int index, order;
};

// Random requests (sizes at the edges of each order, of 0 bytes and past the pool), frees of the
// newest block (which comes back before its split is carried out) or of any, copies between
// blocks, and refused frees of pointers that are not handed-out runs; the pool must match the
// model after every step.
void runAgainstModel(unsigned int total, unsigned int chunk, int steps, int every) {
    Capture capture;
    CBuddyPool pool(CountingOperator::make(), total, chunk);
    EXPECT_EQ(CountingOperator::lastSize.load(), total + chunk);  // a spare chunk for aligning
    const auto start = reinterpret_cast<std::uintptr_t>(pool.start());
    EXPECT_TRUE(start % chunk == 0 &&
                start - reinterpret_cast<std::uintptr_t>(pool.originBuffer()) < chunk);
    Model model(pool.blockCount());
    expectSame(pool, model, -1);
    std::mt19937 rng(static_cast<unsigned int>(steps + every));
    std::vector<Live> live;
    std::vector<unsigned char*> freed;
    int refused = 0, full = 0, copies = CountingOperator::copies;
    for (int step = 0; step < steps; ++step) {
        const unsigned int action = rng() % 100;
        if (action < 45 || live.empty()) {
            const int k = static_cast<int>(rng() % (model.m_orders + 1));
            const unsigned int edges[] = {k == 0 ? 1 : (chunk << (k - 1)) + 1, chunk << k, 0,
                                          0xFFFFFFFFu};
            const unsigned int asked = edges[action < 2 ? 2 + action : rng() % 2];
            unsigned int size = asked;
            const int expected = model.malloc(asked == 0 || asked == 0xFFFFFFFFu ? -1 : k);
            auto* p = static_cast<unsigned char*>(pool.malloc(size));
            if (expected < 0) {
                ASSERT_TRUE(p == nullptr && size == asked) << "step " << step;
                ++full;
                continue;
            }
            ASSERT_EQ(p, pool.start() + static_cast<std::size_t>(expected) * chunk) << step;
            ASSERT_EQ(size, chunk << k);
            unsigned char bytes[4] = {1, 2, 3, 4};
            EXPECT_EQ(pool.memcpy(p, bytes, 4), p);
            copies += live.empty() ? 0 : 1;  // both ends in the pool
            EXPECT_EQ(pool.memcpy(p, live.empty() ? p : live.back().p, live.empty() ? 0 : 4), p);
            EXPECT_TRUE(pool.memcpy(bytes, p, 4) == bytes && bytes[3] == 4);
            live.push_back(Live{p, expected, k});
        } else if (action < 95) {
            const std::size_t at = action < 70 ? live.size() - 1 : rng() % live.size();
            ASSERT_TRUE(pool.free(live[at].p)) << "step " << step;
            model.free(live[at].index);
            freed.push_back(live[at].p);
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
        } else {
            const Live& some = live[rng() % live.size()];
            unsigned char* bad[] = {some.p + 1, some.p + 8,
                                    some.order > 0 ? some.p + chunk : pool.start() - chunk,
                                    pool.start() + static_cast<std::size_t>(model.m_blocks) * chunk,
                                    freed.empty() ? some.p + 2 : freed[rng() % freed.size()]};
            for (unsigned char* p : bad) {
                if (std::none_of(live.begin(), live.end(),
                                 [p](const Live& l) { return l.p == p; })) {
                    ASSERT_FALSE(pool.free(p)) << "step " << step;
                    ++refused;
                }
            }
        }
        if (step % every == 0) {  // else a split may still be pending at the next step
            expectSame(pool, model, step);
        }
    }
    for (const Live& block : live) {
        ASSERT_TRUE(pool.free(block.p));
    }
    EXPECT_TRUE(pool.free(nullptr) && pool.freeSize() == total);
    EXPECT_EQ(capture.count("Pool_Free(): "), refused);
    EXPECT_EQ(capture.count("CPacket No Free Space\n"), full);
    EXPECT_EQ(CountingOperator::copies.load(), copies);
}

}  // namespace

TEST(BuddyPool, MatchesTheModelOnPowerOfTwoAndOddSizedPools) {
    runAgainstModel(1 << 18, 1024, 3000, 1);
    runAgainstModel(3000 * 1024, 1024, 600, 2);
    runAgainstModel(7 * 4096, 4096, 1500, 3);
    runAgainstModel(5 * 2048, 2048, 1500, 2);
    runAgainstModel(1024, 1024, 300, 1);
}

TEST(BuddyPool, MemoryGoesBackOnceRetiredAndEmpty) {
    Capture quiet;
    const int frees = CountingOperator::frees;
    for (bool out : {true, false}) {
        CBuddyPool pool(CountingOperator::make(), 8 * 1024, 1024);
        unsigned int size = 100;
        void* p = pool.malloc(size);
        EXPECT_TRUE(pool.free(pool.malloc(size)) && (out || pool.free(p)));  // used
        pool.retire();
        // Still there while a block is out, given back with the last one.
        EXPECT_EQ(pool.originBuffer() != nullptr, out);
        EXPECT_TRUE(!out || (CountingOperator::frees == frees && pool.free(p)));
        EXPECT_TRUE(pool.originBuffer() == nullptr && CountingOperator::frees == frees + 1 + !out);
        EXPECT_FALSE(pool.free(p) || pool.freeSize() > 0 || !pool.orderMarks().empty());
        EXPECT_EQ(pool.malloc(size), nullptr);
    }
    EXPECT_EQ(CountingOperator::frees.load(), frees + 2);  // not again at destruction
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
    auto use = [&pool](unsigned int t) {
        std::mt19937 rng(t);
        std::vector<std::pair<unsigned char*, unsigned int>> mine;
        for (int i = 0; i < 3000; ++i) {
            unsigned int size = 1 + rng() % 16384;
            if (auto* p = static_cast<unsigned char*>(pool.malloc(size))) {
                p[0] = p[size - 1] = static_cast<unsigned char>(t);
                mine.emplace_back(p, size);
            }
            while (mine.size() > (i % 8 == 0 || i == 2999 ? 0u : 8u)) {
                EXPECT_EQ(mine.back().first[0] + mine.back().first[mine.back().second - 1],
                          2 * int(t));
                EXPECT_TRUE(pool.free(mine.back().first));
                mine.pop_back();
            }
        }
    };
    std::thread a(use, 1), b(use, 2), c(use, 3);
    use(4);
    a.join();
    b.join();
    c.join();
    owner.join();
    EXPECT_EQ(pool.freeSize(), 1024u * 1024u);
    EXPECT_EQ(pool.freeList(10), std::vector<int>{0});
}
