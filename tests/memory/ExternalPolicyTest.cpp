// Under the external policy only packets over the caller's buffers exist.
#include <gtest/gtest.h>

#include <cstring>

#include "infra/Packet.h"
#include "infra/PacketManager.h"
#include "infra/legacy/Packet.h"
#include "memory/MemoryTestSupport.h"

using Packet = Tovix::Memory::CPacket;
using MemoryTest::CountingOperator;
using MemoryTest::LogCapture;
using Tovix::Memory::CPacketManager;

namespace {

const bool g_configured = [] {
    CPacketManager::MemoryOperator memop = CountingOperator::make();
    CPacketManager::config(CPacketManager::policyExternal, &memop, nullptr);
    return true;
}();

}  // namespace

TEST(ExternalPolicy, AllocatingConstructorsFailWithOnlyATracepoint) {
    ASSERT_TRUE(g_configured);
    CPacketManager::instance();
    LogCapture capture;
    Packet packet(10, 0);
    EXPECT_FALSE(packet.valid());
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("tracepoint:"), std::string::npos);
    ::CPacket legacy(10ul);
    EXPECT_TRUE(legacy.Invalid());
    EXPECT_EQ(legacy.GetBuffer(), nullptr);
}

TEST(ExternalPolicy, WrappingConstructorsAndWindowsWork) {
    static unsigned char storage[32] = {1, 2, 3, 4};
    Packet packet(storage, 32, 4, Packet::Deleter());
    ASSERT_TRUE(packet.valid());
    Packet window(packet, 2, 2, 0);
    ASSERT_TRUE(window.valid());
    EXPECT_EQ(window.getBuffer()[1], 4);
    Packet later(16, Packet::Deleter(), nullptr, 0);
    EXPECT_EQ(later.putBuffer(storage, 16), 16u);
    EXPECT_EQ(later.getBuffer(), storage);
}

TEST(ExternalPolicy, ManagerForwardsToTheOperatorAndDumpsNothing) {
    CPacketManager* manager = CPacketManager::instance();
    EXPECT_EQ(manager->getBufferSize(), 0u);
    EXPECT_EQ(manager->getPoolBuffer(), nullptr);
    const int mallocs = CountingOperator::mallocs();
    void* p = manager->malloc(10);
    EXPECT_EQ(CountingOperator::mallocs(), mallocs + 1);
    manager->free(p);
    LogCapture capture;
    manager->dumpNodes();
    EXPECT_TRUE(capture.lines().empty());
}
