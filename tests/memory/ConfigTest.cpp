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

void emptyFree(void*) {}

void configureEmptyFree() {
    CPacketManager::MemoryOperator memop = MemoryTest::CountingOperator::make();
    memop.free = Tovix::Infra::TFunction1<void, void*>();
    CPacketManager::config(CPacketManager::policyPool, &memop, nullptr);
}

void useRefusingOperator() {
    CPacketManager::MemoryOperator memop{&refuseLarge, &emptyFree,
                                         &MemoryTest::CountingOperator::doMemcpy};
    CPacketManager::config(CPacketManager::policyPool, &memop, nullptr);
    CPacketManager::instance();
}

void usePoolPast32Bits() {
    configurePool(0xFFFFFC00u, 1024, 4);
    CPacketManager::instance();
}

void unknownPolicy() {
    CPacketManager::PoolParameter param{65536, 1024, 16};
    CPacketManager::config(CPacketManager::policyPool, nullptr, &param);
    CPacketManager::config(CPacketManager::Policy(7), nullptr, nullptr);
    CPacket packet(1, 0);
    const bool ok =
        CPacketManager::instance()->getBufferSize() == 65536 && packet.capacity() % 16 == 0;
    std::fprintf(stderr, ok ? "kept policy 2\n" : "wrong\n");
    std::exit(0);
}

void overwriteInSteps() {
    configurePool(1 << 20, 2048, 8);
    CPacketManager::config(CPacketManager::Policy(0), nullptr, nullptr);
    CPacketManager::PoolParameter param{1 << 19, 4096, 4};
    CPacketManager::config(CPacketManager::Policy(0), nullptr, &param);
    CPacketManager* manager = CPacketManager::instance();
    void* p = manager->malloc(1);
    const bool ok =
        manager->getBufferSize() == (1u << 19) && manager->getFreeSize() == (1u << 19) - 4096;
    manager->free(p);
    std::fprintf(stderr, ok ? "overwritten\n" : "wrong\n");
    std::exit(0);
}

}  // namespace

TEST(ConfigDeathTest, ChunkSizeBelow1024OrNotDividingTheTotalEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    const char* text =
        "param->chunkSize >= 1024 && param->chunkSize > 0 && param->totalSize % param->chunkSize "
        "== 0";
    EXPECT_DEATH(configurePool(1000 * 16, 1000, 4), text);
    EXPECT_DEATH(configurePool(1024 * 16 + 1, 1024, 4), text);
}

TEST(ConfigDeathTest, ChunkSizeThatIsNotAPowerOfTwoEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_DEATH(configurePool(3072 * 4, 3072, 4),
                 "Internal Program Error - assertion \\(\\(param->chunkSize & "
                 "\\(param->chunkSize - 1\\)\\) == 0\\)");
}

TEST(ConfigDeathTest, AlignmentBelowFourEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_DEATH(configurePool(1024 * 16, 1024, 2), "param->alignSize >= 4");
}

TEST(ConfigDeathTest, OperatorWithAnEmptyCallableEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_DEATH(
        configureEmptyFree(),
        "!memop->malloc.empty\\(\\) && !memop->free.empty\\(\\) && !memop->memcpy.empty\\(\\)");
}

TEST(ConfigDeathTest, PoolWhoseMemoryCannotBeHadEndsTheProcessAtFirstUse) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_DEATH(useRefusingOperator(), "NULL != m_pOriginBuffer");
    // A pool block past 32 bits cannot be asked of the operator either.
    EXPECT_DEATH(usePoolPast32Bits(), "NULL != m_pOriginBuffer");
}

TEST(ConfigExitTest, UnknownPolicyIsRefusedAndTheRestApplies) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_EXIT(unknownPolicy(), testing::ExitedWithCode(0), "kept policy 2");
}

TEST(ConfigExitTest, LaterCallsOverwriteOnlyWhatTheyCarry) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_EXIT(overwriteInSteps(), testing::ExitedWithCode(0), "overwritten");
}
