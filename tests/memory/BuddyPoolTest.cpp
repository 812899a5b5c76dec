// The buddy pool against a model of its free lists, its refusals, and its use from many threads.
#include "memory/BuddyPool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "memory/MemoryTestSupport.h"

using MemoryTest::CountingOperator;
using MemoryTest::LogCapture;
using Tovix::Memory::Detail::CBuddyPool;

namespace {

// The free lists as the eager algorithm keeps them: seeded largest runs first, a split hands
// out the highest piece and puts the lower halves at the front of their lists, a free merges
// with its buddy while the buddy is a free run of the same size.
class Model {
public:
    explicit Model(int blockCount) : m_blockCount(blockCount) {
        m_orderCount = static_cast<int>(Tovix::Memory::Detail::floorLog2(
                           static_cast<std::uint32_t>(blockCount))) +
                       1;
        m_lists.resize(static_cast<std::size_t>(m_orderCount));
        m_marks.assign(static_cast<std::size_t>(blockCount > 0 ? blockCount : 0), 0);
        int remaining = blockCount;
        int next = 0;
        for (int k = m_orderCount - 1; k >= 0; --k) {
            const int n = remaining >> k;
            remaining -= n << k;
            for (int i = 0; i < n; ++i) {
                m_lists[k].push_back(next);
                m_marks[next] = k + 1;
                next += 1 << k;
            }
        }
        m_free = blockCount;
    }

    // The first chunk of the run handed out, or -1.
    int malloc(int k) {
        int j = k;
        while (j < m_orderCount && m_lists[j].empty()) {
            ++j;
        }
        if (j >= m_orderCount) {
            return -1;
        }
        int start = m_lists[j].front();
        m_lists[j].pop_front();
        m_marks[start] = 0;
        while (j > k) {
            --j;
            m_lists[j].push_front(start);
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
        while (level < m_orderCount) {
            const int buddy = id ^ (1 << (level - 1));
            if (buddy >= m_blockCount || m_marks[buddy] != level) {
                break;
            }
            auto& list = m_lists[level - 1];
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (*it == buddy) {
                    list.erase(it);
                    break;
                }
            }
            m_marks[buddy] = 0;
            id &= ~(1 << (level - 1));
            ++level;
        }
        m_lists[level - 1].push_front(id);
        m_marks[id] = level;
    }

    int orderCount() const { return m_orderCount; }
    int freeChunks() const { return m_free; }
    std::vector<int> list(int k) const { return {m_lists[k].begin(), m_lists[k].end()}; }
    const std::vector<int>& marks() const { return m_marks; }

private:
    int m_blockCount;
    int m_orderCount;
    int m_free;
    std::vector<std::deque<int>> m_lists;
    std::vector<int> m_marks;
};

void expectSameLists(CBuddyPool& pool, const Model& model, int step) {
    ASSERT_EQ(pool.freeSize(), static_cast<unsigned>(model.freeChunks()) * pool.chunkSize())
        << "step " << step;
    for (int k = 0; k < model.orderCount(); ++k) {
        ASSERT_EQ(pool.freeList(k), model.list(k)) << "list " << k << " at step " << step;
    }
    ASSERT_EQ(pool.orderMarks(), model.marks()) << "step " << step;
}

// A size that needs exactly 2^k chunks.
unsigned int sizeForOrder(int k, unsigned int chunk, std::mt19937& rng) {
    const unsigned int high = chunk << k;
    const unsigned int low = k == 0 ? 1 : (chunk << (k - 1)) + 1;
    return std::uniform_int_distribution<unsigned int>(low, high)(rng);
}

struct Live {
    void* p;
    int index;
};

// Random allocations and frees, with frequent immediate frees of the newest block and some
// refused frees; the pool must match the model after every step. With `fullEvery` > 1 the lists
// are compared only now and then (the comparison itself links in pending splits), while the
// addresses and free size are compared at every step.
void runAgainstModel(unsigned int totalSize, unsigned int chunkSize, int steps, int fullEvery,
                     unsigned int seed) {
    LogCapture quiet;
    CBuddyPool pool(CountingOperator::make(), totalSize, chunkSize);
    ASSERT_TRUE(pool.valid());
    Model model(pool.blockCount());
    expectSameLists(pool, model, -1);
    std::mt19937 rng(seed);
    std::vector<Live> live;
    std::vector<void*> freed;
    int refused = 0;
    for (int step = 0; step < steps; ++step) {
        const int action = std::uniform_int_distribution<int>(0, 99)(rng);
        if (action < 45 || live.empty()) {
            // Allocate; orders past the pool fail, and so does 0 bytes.
            const int k = std::uniform_int_distribution<int>(0, model.orderCount())(rng);
            unsigned int size = action == 0 ? 0 : sizeForOrder(k, chunkSize, rng);
            const unsigned int asked = size;
            void* p = pool.malloc(size);
            const int expected = asked == 0 ? -1 : model.malloc(k);
            if (expected < 0) {
                ASSERT_EQ(p, nullptr) << "step " << step;
            } else {
                ASSERT_EQ(p, pool.start() + static_cast<std::size_t>(expected) * chunkSize)
                    << "step " << step;
                ASSERT_EQ(size, chunkSize << k);
                live.push_back(Live{p, expected});
            }
        } else if (action < 75) {
            // Free the newest block (the allocate-then-free pair).
            Live block = live.back();
            live.pop_back();
            ASSERT_TRUE(pool.free(block.p));
            model.free(block.index);
            freed.push_back(block.p);
        } else if (action < 95) {
            const std::size_t at =
                std::uniform_int_distribution<std::size_t>(0, live.size() - 1)(rng);
            Live block = live[at];
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
            ASSERT_TRUE(pool.free(block.p));
            model.free(block.index);
            freed.push_back(block.p);
        } else {
            // Refused: a pointer no longer handed out, inside a run, or not on a chunk start.
            void* bad = nullptr;
            const int kind = std::uniform_int_distribution<int>(0, 2)(rng);
            bool handedOut = false;
            if (kind == 0 && !freed.empty()) {
                bad = freed[std::uniform_int_distribution<std::size_t>(0, freed.size() - 1)(rng)];
                for (const Live& l : live) {
                    handedOut = handedOut || l.p == bad;
                }
            } else if (kind == 1) {
                bad = static_cast<unsigned char*>(live.back().p) + 1;
            } else {
                bad = pool.start() + static_cast<std::size_t>(pool.blockCount()) * chunkSize;
            }
            if (bad != nullptr && !handedOut) {
                ASSERT_FALSE(pool.free(bad)) << "step " << step;
                ++refused;
            }
        }
        ASSERT_EQ(pool.freeSize(), static_cast<unsigned>(model.freeChunks()) * chunkSize);
        if (step % fullEvery == 0) {
            expectSameLists(pool, model, step);
        }
    }
    expectSameLists(pool, model, steps);
    for (const Live& block : live) {
        ASSERT_TRUE(pool.free(block.p));
        model.free(block.index);
    }
    expectSameLists(pool, model, steps + 1);
    EXPECT_EQ(pool.freeSize(), static_cast<unsigned>(pool.blockCount()) * chunkSize);
    EXPECT_EQ(quiet.count("Pool_Free(): "), refused);
}

}  // namespace

TEST(BuddyPool, MatchesModelAfterEveryStepOnPowerOfTwoPool) {
    runAgainstModel(2097152, 1024, 4000, 1, 1);
}

TEST(BuddyPool, MatchesModelAfterEveryStepOnOddSizedPools) {
    runAgainstModel(3000 * 1024, 1024, 3000, 1, 2);
    runAgainstModel(7 * 4096, 4096, 2000, 1, 3);
    runAgainstModel(5 * 2048, 2048, 2000, 1, 4);
    runAgainstModel(1024, 1024, 500, 1, 5);
}

TEST(BuddyPool, MatchesModelWhenSplitsAreLinkedInLazily) {
    runAgainstModel(2097152, 1024, 30000, 101, 6);
    runAgainstModel(3000 * 1024, 1024, 20000, 37, 7);
}

TEST(BuddyPool, SplitHandsOutTheLastChunkAndFreeMergesEverythingBack) {
    LogCapture quiet;
    CBuddyPool pool(CountingOperator::make(), 2097152, 1024);
    ASSERT_EQ(pool.orderCount(), 12);
    EXPECT_EQ(pool.freeList(11), std::vector<int>{0});
    unsigned int size = 1;
    void* p = pool.malloc(size);
    EXPECT_EQ(size, 1024u);
    EXPECT_EQ(p, pool.start() + 2047u * 1024u);
    for (int k = 0; k <= 10; ++k) {
        EXPECT_EQ(pool.freeList(k), std::vector<int>{2048 - (2 << k)}) << k;
    }
    EXPECT_TRUE(pool.freeList(11).empty());
    EXPECT_EQ(pool.freeSize(), 2097152u - 1024u);
    EXPECT_TRUE(pool.free(p));
    EXPECT_EQ(pool.freeList(11), std::vector<int>{0});
    EXPECT_EQ(pool.freeSize(), 2097152u);
}

TEST(BuddyPool, SizesMapToRunsOfChunks) {
    LogCapture capture;
    CBuddyPool pool(CountingOperator::make(), 2097152, 1024);
    const struct {
        unsigned int size;
        unsigned int granted;
    } cases[] = {{1, 1024},    {1024, 1024}, {1025, 2048},
                 {2048, 2048}, {2049, 4096}, {2097152, 2097152}};
    for (const auto& c : cases) {
        unsigned int size = c.size;
        void* p = pool.malloc(size);
        ASSERT_NE(p, nullptr) << c.size;
        EXPECT_EQ(size, c.granted) << c.size;
        EXPECT_TRUE(pool.free(p));
    }
    for (unsigned int bad : {0u, 2097153u, 0xFFFFFFFFu}) {
        unsigned int size = bad;
        EXPECT_EQ(pool.malloc(size), nullptr) << bad;
        EXPECT_EQ(size, bad);
    }
    EXPECT_EQ(capture.count("CPacket No Free Space"), 3);
    EXPECT_EQ(pool.freeSize(), 2097152u);
}

TEST(BuddyPool, SeedsOddSizedPoolsLargestRunsFirst) {
    LogCapture quiet;
    CBuddyPool pool(CountingOperator::make(), 3000 * 1024, 1024);
    // 3000 chunks: runs of 2048, 512, 256, 128, 32, 16 and 8 chunks in ascending addresses.
    const std::vector<std::pair<int, int>> runs = {{11, 0},   {9, 2048}, {8, 2560}, {7, 2816},
                                                   {5, 2944}, {4, 2976}, {3, 2992}};
    for (int k = 0; k < pool.orderCount(); ++k) {
        std::vector<int> expected;
        for (const auto& run : runs) {
            if (run.first == k) {
                expected.push_back(run.second);
            }
        }
        EXPECT_EQ(pool.freeList(k), expected) << k;
    }
}

TEST(BuddyPool, RunsWhoseBuddyLiesBeyondThePoolNeverMerge) {
    LogCapture quiet;
    CBuddyPool pool(CountingOperator::make(), 3 * 1024, 1024);
    EXPECT_EQ(pool.freeList(1), std::vector<int>{0});
    EXPECT_EQ(pool.freeList(0), std::vector<int>{2});
    unsigned int size = 1000;
    void* p = pool.malloc(size);
    EXPECT_EQ(p, pool.start() + 2 * 1024);
    EXPECT_TRUE(pool.free(p));
    EXPECT_EQ(pool.freeList(1), std::vector<int>{0});
    EXPECT_EQ(pool.freeList(0), std::vector<int>{2});
}

TEST(BuddyPool, RefusesForeignInteriorAndRepeatedFreesLeavingThePoolIntact) {
    LogCapture capture;
    CBuddyPool pool(CountingOperator::make(), 64 * 1024, 1024);
    unsigned int size = 4096;
    unsigned char* run = static_cast<unsigned char*>(pool.malloc(size));
    unsigned int small = 10;
    void* other = pool.malloc(small);
    ASSERT_NE(run, nullptr);
    const std::vector<int> marks = pool.orderMarks();
    std::vector<std::vector<int>> lists;
    for (int k = 0; k < pool.orderCount(); ++k) {
        lists.push_back(pool.freeList(k));
    }
    int local = 0;
    std::vector<void*> bad = {&local, run + 1024, run + 1, pool.start() - 1024,
                              pool.start() + 64 * 1024};
    for (void* p : bad) {
        EXPECT_FALSE(pool.free(p)) << p;
    }
    // A free run's first chunk is not a block handed out either.
    EXPECT_FALSE(pool.free(pool.start()));
    EXPECT_EQ(pool.orderMarks(), marks);
    for (int k = 0; k < pool.orderCount(); ++k) {
        EXPECT_EQ(pool.freeList(k), lists[static_cast<std::size_t>(k)]);
    }
    EXPECT_TRUE(pool.free(run));
    EXPECT_FALSE(pool.free(run));  // twice
    EXPECT_TRUE(pool.free(other));
    EXPECT_FALSE(pool.free(other));
    EXPECT_EQ(pool.freeSize(), 64u * 1024u);
    EXPECT_EQ(pool.freeList(6), std::vector<int>{0});
    EXPECT_EQ(capture.count("Pool_Free(): "), 8);
    EXPECT_TRUE(pool.free(nullptr));
}

TEST(BuddyPool, ManyThreadsAllocatingAndFreeingLeaveThePoolWhole) {
    LogCapture quiet;
    CBuddyPool pool(CountingOperator::make(), 1024 * 1024, 1024);
    // A long run alone first: this thread comes to own the lock, and the threads below must
    // take it over while it may still be inside.
    std::thread owner([&pool] {
        for (int i = 0; i < 200000; ++i) {
            unsigned int size = 1024u << (i % 3);
            void* p = pool.malloc(size);
            EXPECT_NE(p, nullptr);
            EXPECT_TRUE(pool.free(p));
        }
    });
    for (int i = 0; i < 5000; ++i) {
        unsigned int size = 1024;
        void* p = pool.malloc(size);
        EXPECT_TRUE(pool.free(p));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, t] {
            std::mt19937 rng(static_cast<unsigned>(t) + 100);
            std::vector<std::pair<unsigned char*, unsigned int>> mine;
            for (int i = 0; i < 3000; ++i) {
                if (mine.size() < 8 && rng() % 2 == 0) {
                    unsigned int size = 1 + rng() % 16384;
                    auto* p = static_cast<unsigned char*>(pool.malloc(size));
                    if (p != nullptr) {
                        p[0] = static_cast<unsigned char>(t);
                        p[size - 1] = static_cast<unsigned char>(t);
                        mine.emplace_back(p, size);
                    }
                } else if (!mine.empty()) {
                    auto block = mine.back();
                    mine.pop_back();
                    EXPECT_EQ(block.first[0], t);
                    EXPECT_EQ(block.first[block.second - 1], t);
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

TEST(BuddyPool, MemoryGoesBackOnceRetiredAndEmpty) {
    LogCapture quiet;
    const int freesBefore = CountingOperator::frees();
    {
        CBuddyPool pool(CountingOperator::make(), 8 * 1024, 1024);
        unsigned int size = 100;
        void* p = pool.malloc(size);
        pool.retire();
        EXPECT_NE(pool.originBuffer(), nullptr);  // a block is still out
        EXPECT_EQ(CountingOperator::frees(), freesBefore);
        EXPECT_TRUE(pool.free(p));
        EXPECT_EQ(pool.originBuffer(), nullptr);
        EXPECT_EQ(CountingOperator::frees(), freesBefore + 1);
        size = 100;
        EXPECT_EQ(pool.malloc(size), nullptr);
    }
    EXPECT_EQ(CountingOperator::frees(), freesBefore + 1);
    {
        CBuddyPool pool(CountingOperator::make(), 8 * 1024, 1024);
        pool.retire();
        EXPECT_EQ(pool.originBuffer(), nullptr);
    }
    EXPECT_EQ(CountingOperator::frees(), freesBefore + 2);
}

TEST(BuddyPool, CopiesWithTheOperatorOnlyInsideThePool) {
    LogCapture quiet;
    CBuddyPool pool(CountingOperator::make(), 8 * 1024, 1024);
    unsigned int a = 100, b = 100;
    auto* x = static_cast<unsigned char*>(pool.malloc(a));
    auto* y = static_cast<unsigned char*>(pool.malloc(b));
    unsigned char stack[16] = {1, 2, 3};
    const int before = CountingOperator::copies();
    pool.memcpy(x, stack, sizeof stack);
    EXPECT_EQ(CountingOperator::copies(), before);
    EXPECT_EQ(pool.memcpy(y, x, 16), y);
    EXPECT_EQ(CountingOperator::copies(), before + 1);
    EXPECT_EQ(y[2], 3);
    pool.memcpy(stack, y, 4);
    EXPECT_EQ(CountingOperator::copies(), before + 1);
    pool.free(x);
    pool.free(y);
}
