// Packets under the pool-data policy, configured through the legacy manager: data from the
// pool, extra area and record from the standard heap.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "infra/Packet.h"
#include "infra/PacketManager.h"
#include "infra/legacy/Packet.h"
#include "memory/MemoryTestSupport.h"

using Packet = Tovix::Memory::CPacket;
using MemoryTest::LogCapture;
using Tovix::Memory::CPacketManager;

namespace {

const bool g_configured = [] {
    IPacketManager::config(2097152, 1024, 64);
    return true;
}();

constexpr unsigned int kTotal = 2097152;

bool inPool(const void* p) {
    const unsigned char* start = CPacketManager::instance()->getPoolBuffer();
    const unsigned char* c = static_cast<const unsigned char*>(p);
    return c >= start && c < start + kTotal + 1024;
}

}  // namespace

TEST(PoolDataPolicy, LegacyPacketsComeFromThePoolWithTheConfiguredHeader) {
    ASSERT_TRUE(g_configured);
    IPacketManager* manager = IPacketManager::instance();
    EXPECT_EQ(manager->GetBufferSize(), kTotal);
    EXPECT_EQ(manager->GetFreeSize(), kTotal);
    {
        ::CPacket packet(1000ul);
        ASSERT_TRUE(packet.Valid());
        EXPECT_TRUE(inPool(packet.GetBuffer()));
        EXPECT_FALSE(inPool(packet.GetHeader()));
        EXPECT_EQ(packet.GetHeaderSize(), 64ul);
        EXPECT_EQ(packet.GetLength(), 1000ul);
        EXPECT_EQ(packet.GetSize(), 1024ul);  // the granted run
        EXPECT_EQ(packet.GetLeft(), 24ul);
        EXPECT_EQ(manager->GetFreeSize(), kTotal - 1024);
        packet.ClearHeader();
    }
    EXPECT_EQ(manager->GetFreeSize(), kTotal);
    LogCapture capture;
    manager->DumpNodes();
    EXPECT_EQ(capture.count("CPacketManager dump: SYS Policy"), 1);
    EXPECT_EQ(capture.count("BufferList"), 0);
}

TEST(PoolDataPolicy, EmptyPacketHasNoDataButIsValid) {
    Packet packet(0, 0);
    EXPECT_TRUE(packet.valid());
    EXPECT_EQ(packet.getBuffer(), nullptr);
    EXPECT_EQ(packet.capacity(), 0u);
    EXPECT_EQ(packet.size(), 0u);
    EXPECT_EQ(packet.putBuffer(const_cast<char*>("x"), 1), 0u);
    EXPECT_EQ(CPacketManager::instance()->getFreeSize(), kTotal);
}

TEST(PoolDataPolicy, DataRunAndSideBlockAreBothGivenBack) {
    CPacketManager* manager = CPacketManager::instance();
    {
        Packet packet(3000, 100);
        ASSERT_TRUE(packet.valid());
        EXPECT_EQ(packet.capacity(), 4096u);
        EXPECT_EQ(manager->getFreeSize(), kTotal - 4096);
        EXPECT_EQ(packet.getExtraSize(), 100u);
        std::memset(packet.getExtraData(), 1, 100);
        std::memset(packet.getBuffer(), 2, 4096);
        EXPECT_TRUE(packet.resize(4096));
        Packet window(packet, 4000, 96, 3);
        EXPECT_EQ(window.getBuffer()[0], 2);
    }
    EXPECT_EQ(manager->getFreeSize(), kTotal);
}

TEST(PoolDataPolicy, DataLargerThanThePoolFailsWithItsOwnMessage) {
    LogCapture capture;
    Packet packet(kTotal + 1, 0);
    EXPECT_FALSE(packet.valid());
    EXPECT_EQ(capture.count("PacketInternal::create(): 2 NO enough, need size(2097153) ext(0)"), 1);
    EXPECT_EQ(CPacketManager::instance()->getFreeSize(), kTotal);
}
