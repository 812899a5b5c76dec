// The block pool: the last block a thread freed is the next it gets, growth by chunks, invalid
// pools, blocks passing between threads, sanitizer reports.
#include "infra/MemPool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "memory/MemoryTestSupport.h"

using Tovix::Memory::Detail::CMemPool;

namespace {

std::uintptr_t address(void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

// One pool under test: its live blocks (each filled with its own byte) and its freed blocks in
// the order they must come back (last freed first).
struct Tracked {
    Tracked(unsigned int blockSize, unsigned int blockCount)
        : size(blockSize), pool(new CMemPool(blockSize, blockCount)) {}
    unsigned int size;
    std::unique_ptr<CMemPool> pool;
    std::vector<std::pair<unsigned char*, unsigned char>> live;
    std::vector<unsigned char*> freed;
    std::set<unsigned char*> seen;
};

}  // namespace

TEST(MemPool, HandsBackTheLastFreedBlockFirstAcrossManyPools) {
    std::mt19937 rng(7);
    const unsigned int shapes[][2] = {{2, 10}, {16, 1}, {64, 3}, {8192, 5}, {24, 40}, {100, 7}};
    std::vector<std::unique_ptr<Tracked>> pools;
    unsigned char mark = 0;
    for (int step = 0; step < 6000; ++step) {
        if (pools.size() < 3 || rng() % 500 == 0) {
            // Pools come and go; those alive keep the blocks this thread cached for them.
            if (!pools.empty() && rng() % 2 == 0) {
                pools.erase(pools.begin() + static_cast<std::ptrdiff_t>(rng() % pools.size()));
            }
            const auto& shape = shapes[rng() % 6];
            pools.emplace_back(new Tracked(shape[0], shape[1]));
        }
        Tracked& t = *pools[rng() % pools.size()];
        const unsigned int fill = t.size < 8 ? t.size : 8;
        if (t.live.empty() || (t.live.size() < 60 && rng() % 2 == 0)) {
            auto* p = static_cast<unsigned char*>(t.pool->malloc());
            ASSERT_NE(p, nullptr);
            if (!t.freed.empty()) {
                ASSERT_EQ(p, t.freed.back()) << "step " << step;
                t.freed.pop_back();
            } else {
                ASSERT_TRUE(t.seen.insert(p).second) << "a block handed out twice";
            }
            std::memset(p, ++mark, fill);
            t.live.emplace_back(p, mark);
        } else {
            const std::size_t at = rng() % t.live.size();
            const auto block = t.live[at];
            t.live.erase(t.live.begin() + static_cast<std::ptrdiff_t>(at));
            for (unsigned int i = 0; i < fill; ++i) {
                ASSERT_EQ(block.first[i], block.second) << "step " << step;
            }
            t.pool->free(block.first);
            t.freed.push_back(block.first);
        }
    }
}

TEST(MemPool, FreshBlocksLieInAddressOrderAndTheEleventhNeedsASecondChunk) {
    CMemPool tiny(2, 10);  // raised to hold the link of a free block
    void* a = tiny.malloc();
    EXPECT_EQ(address(tiny.malloc()) - address(a), sizeof(void*));
    CMemPool pool(16, 10);
    std::vector<void*> blocks;
    for (int i = 0; i < 11; ++i) {
        blocks.push_back(pool.malloc());
    }
    for (int i = 1; i < 10; ++i) {
        EXPECT_EQ(address(blocks[i]) - address(blocks[i - 1]), 16u);
    }
    EXPECT_TRUE(address(blocks[10]) < address(blocks[0]) ||
                address(blocks[10]) > address(blocks[9]));
    pool.free(nullptr);
    EXPECT_NE(pool.malloc(), blocks[10]);
}

TEST(MemPool, BlocksAreAlignedForTheirType) {
    struct Record {
        double value;
        void* link;
        long long count;
    };
    CMemPool pool(sizeof(Record), 7);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(address(pool.malloc()) % alignof(Record), 0u);
    }
}

TEST(MemPool, CountZeroOrChunkPast32BitsGivesAnInvalidPool) {
    MemoryTest::Capture capture;
    CMemPool empty(64, 0);
    EXPECT_EQ(empty.malloc(), nullptr);
    empty.free(nullptr);
    CMemPool huge(0x10000u, 0x10000u);  // 4 GiB of blocks in one chunk
    EXPECT_EQ(huge.malloc(), nullptr);
    EXPECT_EQ(capture.count("CMemPool(): "), 2);
}

TEST(MemPool, BlocksCachedByAnExitingThreadGoBackToThePool) {
    CMemPool pool(64, 4);
    void* first = nullptr;
    std::thread([&] { pool.free(first = pool.malloc()); }).join();
    // All four blocks of the first chunk are available again: no second chunk is needed.
    std::set<void*> seen;
    for (int i = 0; i < 4; ++i) {
        void* p = pool.malloc();
        seen.insert(p);
        EXPECT_TRUE(address(p) >= address(first) && address(p) < address(first) + 4 * 64);
    }
    EXPECT_EQ(seen.size(), 4u);
}

TEST(MemPool, BlocksFreedOnAnotherThreadAreReused) {
    CMemPool pool(128, 8);
    std::vector<void*> blocks;
    for (int i = 0; i < 96; ++i) {  // whole chunks: this thread keeps no block unseen
        blocks.push_back(pool.malloc());
    }
    std::thread([&] {
        for (void* p : blocks) {
            pool.free(p);
        }
    }).join();
    std::set<void*> before(blocks.begin(), blocks.end());
    for (int i = 0; i < 96; ++i) {
        EXPECT_EQ(before.count(pool.malloc()), 1u);
    }
}

TEST(MemPool, ThreadsSharingAPoolNeverGetOneBlockTwice) {
    CMemPool pool(48, 16);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, t] {
            std::vector<unsigned char*> mine;
            for (int i = 0; i < 20000; ++i) {
                if (mine.size() < 40 && (i % 3) != 2) {
                    mine.push_back(static_cast<unsigned char*>(pool.malloc()));
                    std::memset(mine.back(), t, 48);
                } else if (!mine.empty()) {
                    EXPECT_EQ(mine.back()[0] + mine.back()[47], 2 * t);
                    pool.free(mine.back());
                    mine.pop_back();
                }
            }
            for (unsigned char* p : mine) {
                pool.free(p);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

TEST(MemPoolDeathTest, UseAfterFreeAndOverrunsAreReportedUnderAddressSanitizer) {
    if (!MemoryTest::kAddressSanitizer) {
        GTEST_SKIP() << "needs AddressSanitizer";
    }
    CMemPool pool(64, 8);
    auto* p = static_cast<volatile unsigned char*>(pool.malloc());
    EXPECT_DEATH(p[64] = 1, "use-after-poison");  // the next block is free
    pool.free(const_cast<unsigned char*>(p));
    EXPECT_DEATH(p[10] = 2, "use-after-poison");
}
