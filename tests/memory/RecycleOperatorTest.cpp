// Packets over a caller's memory operator: every block it handed out goes back to it as soon as
// the packet's last copy is gone, on whatever thread that happens; nothing is kept back.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "infra/Packet.h"
#include "infra/PacketManager.h"
#include "memory/MemoryTestSupport.h"

using MemoryTest::CountingOperator;
using Tovix::Memory::CPacket;
using Tovix::Memory::CPacketManager;

namespace {

const bool g_configured = [] {
    CPacketManager::MemoryOperator memop = CountingOperator::make();
    CPacketManager::config(CPacketManager::policySystem, &memop, nullptr);
    return true;
}();

int outstanding() {
    return CountingOperator::mallocs().load() - CountingOperator::frees().load();
}

}  // namespace

TEST(RecycleOperator, EveryBlockGoesBackToTheOperatorAtOnce) {
    ASSERT_TRUE(g_configured);
    CPacketManager::instance();
    const int base = outstanding();
    for (int round = 0; round < 3; ++round) {
        for (unsigned int size : {1u, 64u, 1000u, 8000u, 8100u, 8168u, 8192u, 9000u}) {
            const int mallocs = CountingOperator::mallocs();
            {
                CPacket packet(size, 16);
                ASSERT_TRUE(packet.valid());
                EXPECT_EQ(CountingOperator::mallocs(), mallocs + 1);
                EXPECT_EQ(outstanding(), base + 1);
                CPacket copy(packet);
                packet.reset();
                // A copy holds it: nothing goes back yet.
                EXPECT_EQ(outstanding(), base + 1);
            }
            EXPECT_EQ(outstanding(), base) << "size " << size;
            // The next packet of the same size asks the operator again.
            CPacket again(size, 16);
            ASSERT_TRUE(again.valid());
            EXPECT_EQ(CountingOperator::mallocs(), mallocs + 2);
        }
    }
    EXPECT_EQ(outstanding(), base);
}

TEST(RecycleOperator, ManyLivePacketsEachHaveTheirOwnBlock) {
    CPacketManager::instance();
    const int base = outstanding();
    std::vector<CPacket> live;
    for (int i = 0; i < 40; ++i) {
        live.emplace_back(100u + static_cast<unsigned int>(i % 4), 0u);
        ASSERT_TRUE(live.back().valid());
    }
    EXPECT_EQ(outstanding(), base + 40);
    live.resize(10);
    EXPECT_EQ(outstanding(), base + 10);
    live.clear();
    EXPECT_EQ(outstanding(), base);
}

TEST(RecycleOperator, PacketsDroppedOnOtherThreadsAndThreadEndsKeepNothing) {
    CPacketManager::instance();
    const int base = outstanding();
    std::vector<CPacket> made;
    for (int i = 0; i < 64; ++i) {
        made.emplace_back(static_cast<unsigned int>(64 * (i % 8) + 32), 0u);
        ASSERT_TRUE(made.back().valid());
    }
    std::atomic<int> keptBack{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        std::vector<CPacket> mine(made.begin() + t * 16, made.begin() + (t + 1) * 16);
        threads.emplace_back([list = std::move(mine), &keptBack]() mutable {
            list.clear();
            // The thread's own packets too, made and dropped in pairs of one size.
            for (int i = 0; i < 200; ++i) {
                CPacket a(512, 0);
                CPacket b(512, 0);
                if (!a.valid() || !b.valid()) {
                    ++keptBack;
                }
            }
        });
    }
    made.clear();
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(keptBack.load(), 0);
    EXPECT_EQ(outstanding(), base);
}
