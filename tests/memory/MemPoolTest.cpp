// The block pool: order of blocks, growth by chunks, invalid pools, threads, sanitizer reports.
#include "infra/MemPool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "memory/MemoryTestSupport.h"

using MemoryTest::LogCapture;
using Tovix::Memory::Detail::CMemPool;

namespace {

std::uintptr_t address(void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

}  // namespace

TEST(MemPool, TinyBlocksArePointerSizedAndHandedOutInAddressOrder) {
    CMemPool pool(2, 10);
    void* a = pool.malloc();
    void* b = pool.malloc();
    void* c = pool.malloc();
    EXPECT_EQ(address(b) - address(a), sizeof(void*));
    EXPECT_EQ(address(c) - address(b), sizeof(void*));
    pool.free(a);
    EXPECT_EQ(pool.malloc(), a);
    pool.free(c);
    pool.free(b);
    EXPECT_EQ(pool.malloc(), b);
    EXPECT_EQ(pool.malloc(), c);
}

TEST(MemPool, EleventhBlockComesFromASecondChunk) {
    CMemPool pool(16, 10);
    std::vector<void*> blocks;
    for (int i = 0; i < 10; ++i) {
        blocks.push_back(pool.malloc());
    }
    for (int i = 1; i < 10; ++i) {
        EXPECT_EQ(address(blocks[i]) - address(blocks[i - 1]), 16u);
    }
    void* eleventh = pool.malloc();
    ASSERT_NE(eleventh, nullptr);
    EXPECT_TRUE(address(eleventh) < address(blocks[0]) || address(eleventh) > address(blocks[9]));
    std::set<void*> distinct(blocks.begin(), blocks.end());
    distinct.insert(eleventh);
    EXPECT_EQ(distinct.size(), 11u);
}

TEST(MemPool, BlocksAreAlignedForTheirType) {
    struct Record {
        double value;
        void* link;
        long long count;
    };
    CMemPool pool(sizeof(Record), 7);
    for (int i = 0; i < 20; ++i) {
        void* p = pool.malloc();
        EXPECT_EQ(address(p) % alignof(Record), 0u);
        new (p) Record{1.5, p, i};
    }
}

TEST(MemPool, CountZeroOrChunkPast32BitsGivesAnInvalidPool) {
    LogCapture capture;
    CMemPool empty(64, 0);
    EXPECT_EQ(empty.malloc(), nullptr);
    empty.free(nullptr);
    CMemPool huge(0x10000u, 0x10000u);  // 4 GiB of blocks in one chunk
    EXPECT_EQ(huge.malloc(), nullptr);
    CMemPool widest(0xFFFFFFFFu, 2);
    EXPECT_EQ(widest.malloc(), nullptr);
    EXPECT_EQ(capture.count("CMemPool(): "), 3);
}

TEST(MemPool, NullFreeIsIgnored) {
    CMemPool pool(32, 4);
    pool.free(nullptr);
    void* p = pool.malloc();
    pool.free(nullptr);
    EXPECT_NE(pool.malloc(), p);
}

TEST(MemPool, BlocksCachedByAnExitingThreadGoBackToThePool) {
    CMemPool pool(64, 4);
    void* first = nullptr;
    std::thread([&] {
        first = pool.malloc();
        pool.free(first);
    }).join();
    // All four blocks of the first chunk are available again: no second chunk is needed.
    std::set<std::uintptr_t> seen;
    for (int i = 0; i < 4; ++i) {
        void* p = pool.malloc();
        seen.insert(address(p));
        EXPECT_GE(address(p), address(first));
        EXPECT_LT(address(p), address(first) + 4 * 64);
    }
    EXPECT_EQ(seen.size(), 4u);
}

TEST(MemPool, ManyPoolsPerThreadKeepTheirBlocksApart) {
    std::vector<CMemPool*> pools;
    for (int i = 0; i < 9; ++i) {
        pools.push_back(new CMemPool(32 + 8 * static_cast<unsigned>(i), 3));
    }
    std::vector<std::vector<void*>> held(pools.size());
    for (int round = 0; round < 50; ++round) {
        for (std::size_t i = 0; i < pools.size(); ++i) {
            void* p = pools[i]->malloc();
            ASSERT_NE(p, nullptr);
            std::memset(p, static_cast<int>(i), 32);
            held[i].push_back(p);
            if (round % 3 == 2) {
                for (void* q : held[i]) {
                    EXPECT_EQ(static_cast<unsigned char*>(q)[31], i);
                    pools[i]->free(q);
                }
                held[i].clear();
            }
        }
        if (round == 20) {
            delete pools[4];  // a dead pool's cached blocks are forgotten, not reused
            pools.erase(pools.begin() + 4);
            held.erase(held.begin() + 4);
        }
    }
    for (std::size_t i = 0; i < pools.size(); ++i) {
        for (void* q : held[i]) {
            pools[i]->free(q);
        }
        delete pools[i];
    }
}

TEST(MemPool, ThreadsSharingAPoolNeverGetOneBlockTwice) {
    CMemPool pool(48, 16);
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&pool, t] {
            std::vector<unsigned char*> mine;
            for (int i = 0; i < 20000; ++i) {
                if (mine.size() < 40 && (i % 3) != 2) {
                    auto* p = static_cast<unsigned char*>(pool.malloc());
                    std::memset(p, t, 48);
                    mine.push_back(p);
                } else if (!mine.empty()) {
                    unsigned char* p = mine.back();
                    mine.pop_back();
                    for (int b = 0; b < 48; b += 7) {
                        ASSERT_EQ(p[b], t);
                    }
                    pool.free(p);
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

TEST(MemPool, BlocksFreedOnAnotherThreadAreReused) {
    CMemPool pool(128, 8);
    std::vector<void*> blocks;
    // Whole chunks, so this thread keeps no block it has not handed out.
    for (int i = 0; i < 96; ++i) {
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

TEST(MemPoolDeathTest, UseAfterFreeIsReportedUnderAddressSanitizer) {
    if (!MemoryTest::kAddressSanitizer) {
        GTEST_SKIP() << "needs AddressSanitizer";
    }
    EXPECT_DEATH(
        {
            CMemPool pool(64, 8);
            auto* p = static_cast<volatile unsigned char*>(pool.malloc());
            p[10] = 1;
            pool.free(const_cast<unsigned char*>(p));
            p[10] = 2;
        },
        "use-after-poison");
}

TEST(MemPoolDeathTest, OverrunIntoAFreeBlockIsReportedUnderAddressSanitizer) {
    if (!MemoryTest::kAddressSanitizer) {
        GTEST_SKIP() << "needs AddressSanitizer";
    }
    EXPECT_DEATH(
        {
            CMemPool pool(64, 8);
            auto* p = static_cast<volatile unsigned char*>(pool.malloc());
            p[64] = 1;  // the next block is free
        },
        "use-after-poison");
}
