// Packets and the manager under the pool policy (2 MiB of 1 KiB chunks), including the pool's
// dump, its refusals, sanitizer reports inside the pool and the release at exit.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "infra/Packet.h"
#include "infra/PacketManager.h"
#include "memory/MemoryTestSupport.h"

using MemoryTest::CountingOperator;
using MemoryTest::LogCapture;
using Tovix::Memory::CPacket;
using Tovix::Memory::CPacketManager;

namespace {

const bool g_configured = [] {
    CPacketManager::MemoryOperator memop = CountingOperator::make();
    CPacketManager::config(CPacketManager::policyPool, &memop, nullptr);
    return true;
}();

constexpr unsigned int kTotal = 2097152;
constexpr unsigned int kChunk = 1024;

unsigned char* poolStart() {
    const std::uintptr_t raw =
        reinterpret_cast<std::uintptr_t>(CPacketManager::instance()->getPoolBuffer());
    return reinterpret_cast<unsigned char*>((raw + kChunk - 1) & ~std::uintptr_t(kChunk - 1));
}

bool inPool(const void* p) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    return c >= poolStart() && c < poolStart() + kTotal;
}

// The free lists as dumpNodes shows them: list -> first chunks of its runs, front first.
std::map<int, std::vector<int>> dumpedLists() {
    LogCapture capture;
    CPacketManager::instance()->dumpNodes();
    std::map<int, std::vector<int>> lists;
    int headers = 0;
    for (const std::string& line : capture.lines()) {
        int k = 0;
        int order = 0;
        int index = 0;
        int id = -1;
        void* self = nullptr;
        std::size_t at = line.find("BufferList id:");
        if (line.find("CPacketManager: dump FreeList") != std::string::npos) {
            ++headers;
        } else if (at != std::string::npos) {
            EXPECT_EQ(
                std::sscanf(line.c_str() + at, "BufferList id:%d, order(%d) head(", &k, &order), 2);
            EXPECT_EQ(order, k + 1);
            lists[k];
        } else if ((at = line.find("bufflist(")) != std::string::npos) {
            EXPECT_EQ(std::sscanf(line.c_str() + at,
                                  "bufflist(%d)id: %d, realIdx(%d)self(%p)order(%d) pre(", &k, &id,
                                  &index, &self, &order),
                      5);
            EXPECT_EQ(id, 0);
            EXPECT_EQ(order, k + 1);
            EXPECT_EQ(self, poolStart() + static_cast<std::size_t>(index) * kChunk);
            lists[k].push_back(index);
        }
    }
    EXPECT_EQ(headers, 1);
    return lists;
}

}  // namespace

TEST(PoolPolicy, FreshPoolIsOneRunAndMallocSplitsDownToTheLastChunk) {
    ASSERT_TRUE(g_configured);
    CPacketManager* manager = CPacketManager::instance();
    EXPECT_EQ(manager->getBufferSize(), kTotal);
    EXPECT_EQ(manager->getFreeSize(), kTotal);
    ASSERT_NE(manager->getPoolBuffer(), nullptr);
    EXPECT_LT(poolStart() - manager->getPoolBuffer(), static_cast<std::ptrdiff_t>(kChunk));
    auto lists = dumpedLists();
    ASSERT_EQ(lists.size(), 12u);
    EXPECT_EQ(lists[11], std::vector<int>{0});

    void* p = manager->malloc(1);
    EXPECT_EQ(p, poolStart() + 2047 * kChunk);
    EXPECT_EQ(manager->getFreeSize(), kTotal - kChunk);
    lists = dumpedLists();
    for (int k = 0; k <= 10; ++k) {
        EXPECT_EQ(lists[k], std::vector<int>{2048 - (2 << k)}) << k;
    }
    EXPECT_TRUE(lists[11].empty());
    manager->free(p);
    EXPECT_EQ(manager->getFreeSize(), kTotal);
    EXPECT_EQ(dumpedLists()[11], std::vector<int>{0});
}

TEST(PoolPolicy, RequestsOfZeroOrPastThePoolFail) {
    LogCapture capture;
    CPacketManager* manager = CPacketManager::instance();
    EXPECT_EQ(manager->malloc(0), nullptr);
    EXPECT_EQ(manager->malloc(kTotal + 1), nullptr);
    EXPECT_EQ(capture.count("CPacket No Free Space"), 2);
    void* whole = manager->malloc(kTotal);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(manager->getFreeSize(), 0u);
    EXPECT_EQ(manager->malloc(1), nullptr);
    manager->free(whole);
    EXPECT_EQ(manager->getFreeSize(), kTotal);
}

TEST(PoolPolicy, ForeignAndRepeatedFreesAreRefusedWithAnError) {
    CPacketManager* manager = CPacketManager::instance();
    void* a = manager->malloc(3000);  // four chunks
    const unsigned int free = manager->getFreeSize();
    const auto lists = dumpedLists();
    int local = 0;
    void* heap = std::malloc(16);
    {
        LogCapture capture;
        manager->free(&local);
        manager->free(heap);
        manager->free(static_cast<unsigned char*>(a) + kChunk);
        manager->free(static_cast<unsigned char*>(a) + 8);
        EXPECT_EQ(capture.count("Pool_Free(): "), 4);
        EXPECT_EQ(manager->getFreeSize(), free);
    }
    EXPECT_EQ(dumpedLists(), lists);
    manager->free(a);
    EXPECT_EQ(manager->getFreeSize(), kTotal);
    {
        LogCapture capture;
        manager->free(a);
        EXPECT_EQ(capture.count("Pool_Free(): "), 1);
    }
    EXPECT_EQ(manager->getFreeSize(), kTotal);
    std::free(heap);
}

TEST(PoolPolicy, CopiesBetweenPoolBlocksUseTheOperator) {
    CPacketManager* manager = CPacketManager::instance();
    auto* a = static_cast<unsigned char*>(manager->malloc(64));
    auto* b = static_cast<unsigned char*>(manager->malloc(64));
    unsigned char stack[64] = {9, 8, 7};
    const int copies = CountingOperator::copies();
    manager->memcpy(a, stack, 64);
    EXPECT_EQ(CountingOperator::copies(), copies);
    EXPECT_EQ(manager->memcpy(b, a, 64), b);
    EXPECT_EQ(CountingOperator::copies(), copies + 1);
    EXPECT_EQ(b[2], 7);
    manager->memcpy(stack, b, 3);
    EXPECT_EQ(CountingOperator::copies(), copies + 1);
    manager->free(a);
    manager->free(b);
}

TEST(PoolPolicy, PacketKeepsDataExtraAndRecordInOneRun) {
    CPacketManager* manager = CPacketManager::instance();
    {
        CPacket packet(1, 8);
        ASSERT_TRUE(packet.valid());
        EXPECT_EQ(manager->getFreeSize(), kTotal - kChunk);
        EXPECT_TRUE(inPool(packet.getBuffer()));
        EXPECT_EQ(packet.size(), 1u);
        // Whatever the chunk does not need for the extra area and record is capacity.
        EXPECT_EQ(packet.capacity() % 4, 0u);
        EXPECT_GT(packet.capacity(), kChunk - 8 - 256);
        EXPECT_LE(packet.capacity() + 8, kChunk - 16);
        EXPECT_EQ(packet.getExtraData(), packet.getBuffer() + packet.capacity());
        std::memset(packet.getBuffer(), 0x11, packet.capacity());
        std::memset(packet.getExtraData(), 0x22, 8);
        CPacket two(1800, 0);
        EXPECT_EQ(manager->getFreeSize(), kTotal - 3 * kChunk);
        EXPECT_GE(two.capacity(), 1800u);
        EXPECT_LT(two.capacity(), 2048u);
        EXPECT_EQ(static_cast<unsigned char*>(packet.getExtraData())[7], 0x22);
    }
    EXPECT_EQ(manager->getFreeSize(), kTotal);
}

TEST(PoolPolicy, PacketsLargerThanThePoolAreInvalid) {
    LogCapture capture;
    CPacket packet(kTotal, 0);
    EXPECT_FALSE(packet.valid());
    EXPECT_EQ(capture.count("PacketInternal::create(): NO enough, need size(2097152) ext(0)"), 1);
    EXPECT_EQ(capture.count("CPacket No Free Space"), 1);
    EXPECT_EQ(CPacketManager::instance()->getFreeSize(), kTotal);
}

TEST(PoolPolicy, PacketsFromManyThreadsComeBackWhole) {
    std::vector<std::thread> threads;
    std::atomic<int> invalid{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &invalid] {
            std::mt19937 rng(static_cast<unsigned>(t));
            std::vector<CPacket> held;
            for (int i = 0; i < 2000; ++i) {
                const unsigned int size = rng() % 20000;
                CPacket packet(size, rng() % 64);
                if (!packet.valid()) {
                    ++invalid;
                    continue;
                }
                if (size > 0) {
                    packet.getBuffer()[size - 1] = static_cast<unsigned char>(t);
                    held.push_back(CPacket(packet, size - 1, 1, 0));
                }
                if (held.size() > 10) {
                    EXPECT_EQ(held.front().getBuffer()[0], t);
                    held.erase(held.begin());
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(invalid.load(), 0);
    EXPECT_EQ(CPacketManager::instance()->getFreeSize(), kTotal);
    EXPECT_EQ(dumpedLists()[11], std::vector<int>{0});
}

TEST(PoolPolicyDeathTest, UseAfterFreeInsideThePoolIsReportedUnderAddressSanitizer) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    if (!MemoryTest::kAddressSanitizer) {
        GTEST_SKIP() << "needs AddressSanitizer";
    }
    EXPECT_DEATH(
        {
            auto* p = static_cast<volatile unsigned char*>(CPacketManager::instance()->malloc(100));
            p[0] = 1;
            CPacketManager::instance()->free(const_cast<unsigned char*>(p));
            p[0] = 2;
        },
        "use-after-poison");
}

TEST(PoolPolicyDeathTest, OverrunPastTheRequestIsReportedUnderAddressSanitizer) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    if (!MemoryTest::kAddressSanitizer) {
        GTEST_SKIP() << "needs AddressSanitizer";
    }
    EXPECT_DEATH(
        {
            auto* p = static_cast<volatile unsigned char*>(CPacketManager::instance()->malloc(100));
            p[99] = 1;
            p[100] = 2;
        },
        "use-after-poison");
}

TEST(PoolPolicyDeathTest, PacketBytesAfterTheLastCopyAreReportedUnderAddressSanitizer) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    if (!MemoryTest::kAddressSanitizer) {
        GTEST_SKIP() << "needs AddressSanitizer";
    }
    EXPECT_DEATH(
        {
            volatile unsigned char* bytes = nullptr;
            {
                CPacket packet(64, 0);
                bytes = packet.getBuffer();
            }
            bytes[0] = 1;
        },
        "use-after-poison");
}

namespace {

CPacket* g_lateHolder = nullptr;

void dropLatePacket() {
    delete g_lateHolder;
    CPacketManager* manager = CPacketManager::instance();
#if defined(_WIN32)
    // A DLL's exit handlers run after the program's: the pool is still whole here and goes back
    // when the library is unloaded.
    if (manager->getPoolBuffer() != nullptr && manager->getFreeSize() == manager->getBufferSize()) {
        std::fprintf(stderr, "pool whole after the last packet\n");
    }
#else
    if (manager->getPoolBuffer() == nullptr) {
        std::fprintf(stderr, "pool released after the last packet\n");
    }
#endif
}

}  // namespace

TEST(PoolPolicyExit, PoolOutlivesPacketsReleasedAfterExitHandlersAndThenGoesBack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_EXIT(
        {
            std::atexit(&dropLatePacket);  // runs after the pool's own exit handler
            g_lateHolder = new CPacket(100, 0);
            std::memset(g_lateHolder->getBuffer(), 1, 100);
            std::exit(0);
        },
        testing::ExitedWithCode(0),
#if defined(_WIN32)
        "pool whole after the last packet"
#else
        "pool released after the last packet"
#endif
    );
}

TEST(PoolPolicyExit, ThreadsStillUsingPacketsAtExitAreSafe) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_EXIT(
        {
            std::atomic<bool> started{false};
            std::thread([&started] {
                for (unsigned int i = 0;; ++i) {
                    CPacket packet(100 + i % 5000, 8);
                    if (packet.valid()) {
                        std::memset(packet.getBuffer(), 3, packet.size());
                    }
                    started.store(true);
                }
            }).detach();
            while (!started.load()) {
                std::this_thread::yield();
            }
            std::fprintf(stderr, "exiting with a busy thread\n");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "exiting with a busy thread");
}
