// The block pool: the last block a thread freed is the next it gets, growth by chunks, invalid
// pools, blocks passing between threads, sanitizer reports.
#include "infra/MemPool.h"

#include <gtest/gtest.h>

#include <algorithm>
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

const auto address = [](void* p) { return reinterpret_cast<std::uintptr_t>(p); };

// One pool under test: its live blocks (each filled with its own byte) and its freed blocks in
// the order they must come back (last freed first).
struct Tracked {
    unsigned int size, count;
    std::unique_ptr<CMemPool> pool{new CMemPool(size, count)};
    std::vector<std::pair<unsigned char*, unsigned char>> live = {};
    std::vector<unsigned char*> freed = {};
    std::set<unsigned char*> seen = {};
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
            pools.emplace_back(new Tracked{shape[0], shape[1]});
        }
        Tracked& t = *pools[rng() % pools.size()];
        const unsigned int fill = t.size < 8 ? t.size : 8;
        if (t.live.empty() || (t.live.size() < 60 && rng() % 2 == 0)) {
            auto* p = static_cast<unsigned char*>(t.pool->malloc());
            ASSERT_NE(p, nullptr);
            // The last block freed, or one never handed out.
            ASSERT_TRUE(t.freed.empty() ? t.seen.insert(p).second : p == t.freed.back()) << step;
            t.freed.resize(t.freed.empty() ? 0 : t.freed.size() - 1);
            ASSERT_TRUE(t.size % 8 != 0 || address(p) % alignof(void*) == 0);  // aligned for T
            std::memset(p, ++mark, fill);
            t.live.emplace_back(p, mark);
        } else {
            const std::size_t at = rng() % t.live.size();
            const auto block = t.live[at];
            t.live.erase(t.live.begin() + static_cast<std::ptrdiff_t>(at));
            ASSERT_EQ(std::count(block.first, block.first + fill, block.second),
                      std::ptrdiff_t(fill));
            t.pool->free(block.first);
            t.freed.push_back(block.first);
        }
    }
}

TEST(MemPool, FreshBlocksLieInAddressOrderAndTheEleventhNeedsASecondChunk) {
    CMemPool tiny(2, 10), pool(16, 10);  // tiny blocks are raised to hold a free block's link
    void* a = tiny.malloc();
    EXPECT_EQ(address(tiny.malloc()) - address(a), sizeof(void*));
    std::vector<std::uintptr_t> blocks;
    for (int i = 0; i < 11; ++i) {
        blocks.push_back(address(pool.malloc()));
        EXPECT_TRUE(i == 0 || i == 10 || blocks[i] - blocks[i - 1] == 16) << i;
    }
    EXPECT_TRUE(blocks[10] < blocks[0] || blocks[10] > blocks[9]);
}

TEST(MemPool, BlocksCachedOrFreedByAnotherThreadAreHandedOutAgain) {
    CMemPool pool(64, 4);
    void* first = nullptr;
    std::thread([&] { pool.free(first = pool.malloc()); }).join();
    // The exiting thread gave back what it kept: the first chunk's four blocks, no other.
    std::vector<void*> blocks;
    for (int i = 0; i < 96; ++i) {  // whole chunks: this thread keeps no block unseen
        blocks.push_back(pool.malloc());
        EXPECT_TRUE(i >= 4 || (address(blocks[i]) - address(first) < 4 * 64));
    }
    std::thread([&] {
        std::for_each(blocks.begin(), blocks.end(), [&](void* p) { pool.free(p); });
    }).join();
    const std::set<void*> before(blocks.begin(), blocks.end());
    for (int i = 0; i < 96; ++i) {
        EXPECT_EQ(before.count(pool.malloc()), 1u);
    }
}

TEST(MemPool, ThreadsSharingAPoolNeverGetOneBlockTwice) {
    CMemPool pool(48, 16);
    auto use = [&pool](int t) {
        std::vector<unsigned char*> mine;
        for (int i = 0; i < 20000; ++i) {
            mine.push_back(static_cast<unsigned char*>(pool.malloc()));
            std::memset(mine.back(), t, 48);
            while (mine.size() > (i % 40 == 0 || i == 19999 ? 0u : 40u)) {
                EXPECT_EQ(mine.back()[0] + mine.back()[47], 2 * t);
                pool.free(mine.back());
                mine.pop_back();
            }
        }
    };
    std::thread a(use, 1), b(use, 2), c(use, 3);
    use(4);
    a.join();
    b.join();
    c.join();
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
