// Configuration of the packet manager before its first use. Every scenario runs in a child
// process of its own, so each one sees a manager that was never used.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "infra/Packet.h"
#include "infra/PacketManager.h"
#include "memory/MemoryTestSupport.h"

using Tovix::Memory::CPacket;
using Tovix::Memory::CPacketManager;

namespace {

void configurePool(unsigned int total, unsigned int chunk, unsigned int align) {
    CPacketManager::PoolParameter param{total, chunk, align};
    CPacketManager::config(CPacketManager::policyPool, nullptr, &param);
}

void* refuseLarge(unsigned int size) {
    return size > 4096 ? nullptr : std::malloc(size);
}

void configureOperator(bool emptyFree) {
    CPacketManager::MemoryOperator memop{&refuseLarge, &MemoryTest::CountingOperator::doFree,
                                         &MemoryTest::CountingOperator::doMemcpy};
    if (emptyFree) {
        memop.free = Tovix::Infra::TFunction1<void, void*>();
    }
    CPacketManager::config(CPacketManager::policyPool, &memop, nullptr);
    CPacketManager::instance();
}

// Exits reporting whether `ok` held.
void report(bool ok) {
    std::fprintf(stderr, ok ? "configuration held\n" : "configuration lost\n");
    std::exit(0);
}

}  // namespace

TEST(PacketConfigDeathTest, BadPoolParametersOrOperatorsEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    const char* chunk =
        "param->chunkSize >= 1024 && param->chunkSize > 0 && param->totalSize % param->chunkSize "
        "== 0";
    EXPECT_DEATH(configurePool(1000 * 16, 1000, 4), chunk);
    EXPECT_DEATH(configurePool(1024 * 16 + 1, 1024, 4), chunk);
    EXPECT_DEATH(configurePool(3072 * 4, 3072, 4),
                 "\\(\\(param->chunkSize & \\(param->chunkSize - 1\\)\\) == 0\\)");
    EXPECT_DEATH(configurePool(1024 * 16, 1024, 2), "param->alignSize >= 4");
    EXPECT_DEATH(
        configureOperator(true),
        "!memop->malloc.empty\\(\\) && !memop->free.empty\\(\\) && !memop->memcpy.empty\\(\\)");
}

TEST(PacketConfigDeathTest, PoolWhoseMemoryCannotBeHadEndsTheProcessAtFirstUse) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_DEATH(configureOperator(false), "NULL != m_pOriginBuffer");
    // A pool block past 32 bits cannot be asked of the operator either.
    EXPECT_DEATH((configurePool(0xFFFFFC00u, 1024, 4), CPacketManager::instance()),
                 "NULL != m_pOriginBuffer");
}

TEST(PacketConfigExitTest, UnknownPolicyIsRefusedAndTheRestApplies) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    auto scenario = [] {
        configurePool(65536, 1024, 16);
        CPacketManager::config(CPacketManager::Policy(7), nullptr, nullptr);
        CPacket packet(1, 0);
        report(CPacketManager::instance()->getBufferSize() == 65536 && packet.capacity() % 16 == 0);
    };
    EXPECT_EXIT(scenario(), testing::ExitedWithCode(0), "configuration held");
}

TEST(PacketConfigExitTest, LaterCallsOverwriteOnlyWhatTheyCarry) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    auto scenario = [] {
        configurePool(1 << 20, 2048, 8);
        CPacketManager::config(CPacketManager::Policy(0), nullptr, nullptr);
        CPacketManager::PoolParameter param{1 << 19, 4096, 4};
        CPacketManager::config(CPacketManager::Policy(0), nullptr, &param);
        CPacketManager* manager = CPacketManager::instance();
        manager->malloc(1);
        report(manager->getBufferSize() == (1u << 19) &&
               manager->getFreeSize() == (1u << 19) - 4096);
    };
    EXPECT_EXIT(scenario(), testing::ExitedWithCode(0), "configuration held");
}
