// Packets and the manager under the system policy (the default), with a counting memory
// operator configured before first use; the shared-packet helper; the legacy packet API.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "infra/Packet.h"
#include "infra/PacketManager.h"
#include "infra/SharePacket.h"
#include "infra/legacy/Packet.h"
#include "memory/MemoryTestSupport.h"

using Packet = Tovix::Memory::CPacket;
using MemoryTest::CountingOperator;
using MemoryTest::LogCapture;
using Tovix::Memory::CPacketManager;

namespace {

// Before any test: policy 0 keeps the default policy, the operator is replaced.
const bool g_configured = [] {
    CPacketManager::MemoryOperator memop = CountingOperator::make();
    CPacketManager::config(CPacketManager::Policy(0), &memop, nullptr);
    CPacketManager::config(CPacketManager::Policy(0), nullptr, nullptr);
    return true;
}();

// Records every deleter call.
struct DeleterLog {
    struct Call {
        void* first;
        unsigned int second;
    };
    void record(void* first, unsigned int second) { calls.push_back(Call{first, second}); }
    Packet::Deleter deleter() { return Packet::Deleter(this, &DeleterLog::record); }
    std::vector<Call> calls;
};

}  // namespace

TEST(SystemPolicy, ManagerHasNoPoolAndForwardsToTheOperator) {
    ASSERT_TRUE(g_configured);
    CPacketManager* manager = CPacketManager::instance();
    EXPECT_EQ(manager, CPacketManager::instance());
    EXPECT_EQ(manager->getBufferSize(), 0u);
    EXPECT_EQ(manager->getFreeSize(), 0u);
    EXPECT_EQ(manager->getPoolBuffer(), nullptr);
    const int mallocs = CountingOperator::mallocs();
    const int frees = CountingOperator::frees();
    void* p = manager->malloc(100);
    ASSERT_NE(p, nullptr);
    std::memset(p, 1, 100);
    EXPECT_EQ(CountingOperator::mallocs(), mallocs + 1);
    char copy[100];
    const int copies = CountingOperator::copies();
    EXPECT_EQ(manager->memcpy(copy, p, 100), copy);
    EXPECT_EQ(CountingOperator::copies(), copies + 1);
    manager->free(p);
    EXPECT_EQ(CountingOperator::frees(), frees + 1);
    LogCapture capture;
    manager->dumpNodes();
    EXPECT_EQ(capture.count("CPacketManager dump: SYS Policy"), 1);
}

TEST(SystemPolicy, ConfigAfterFirstUseWarnsOncePerCallAndChangesNothing) {
    CPacketManager::instance();
    LogCapture capture;
    CPacketManager::PoolParameter param{1 << 20, 4096, 8};
    CPacketManager::config(CPacketManager::policyPool, nullptr, &param);
    CPacketManager::config(CPacketManager::policyPool, nullptr, nullptr);
    EXPECT_EQ(capture.count("PacketManagerInternal::config() failured: Packet Manager has been "
                            "configured!"),
              2);
    EXPECT_EQ(CPacketManager::instance()->getBufferSize(), 0u);
    Packet packet(100, 0);
    EXPECT_EQ(packet.capacity(), 100u);
}

TEST(SystemPolicy, AllocatedPacketTakesOneBlockAndAppendsWithinItsCapacity) {
    const int mallocs = CountingOperator::mallocs();
    const int frees = CountingOperator::frees();
    {
        Packet packet(100, 0);
        ASSERT_TRUE(packet.valid());
        EXPECT_EQ(CountingOperator::mallocs(), mallocs + 1);
        EXPECT_EQ(packet.size(), 100u);
        EXPECT_EQ(packet.capacity(), 100u);
        EXPECT_EQ(packet.getExtraSize(), 0u);
        EXPECT_EQ(packet.getExtraData(), nullptr);
        char data[8] = "abcdefg";
        EXPECT_EQ(packet.putBuffer(data, 8), 0u);
        EXPECT_TRUE(packet.resize(0));
        const int copies = CountingOperator::copies();
        EXPECT_EQ(packet.putBuffer(data, 8), 8u);
        EXPECT_EQ(CountingOperator::copies(), copies + 1);
        EXPECT_EQ(packet.putBuffer(data, 8), 8u);
        EXPECT_EQ(packet.size(), 16u);
        EXPECT_EQ(std::memcmp(packet.getBuffer() + 8, data, 8), 0);
        EXPECT_TRUE(packet.resize(96));
        EXPECT_EQ(packet.putBuffer(data, 8), 4u);
        EXPECT_EQ(packet.size(), 100u);
        EXPECT_FALSE(packet.resize(101));
        EXPECT_EQ(packet.size(), 100u);
    }
    EXPECT_EQ(CountingOperator::frees(), frees + 1);
}

TEST(SystemPolicy, ExtraAreaSitsAfterTheDataAndItsSizeKeepsEightBits) {
    Packet packet(10, 20);
    EXPECT_EQ(packet.capacity(), 12u);  // aligned to 4
    EXPECT_EQ(packet.getExtraSize(), 20u);
    EXPECT_EQ(packet.getExtraData(), packet.getBuffer() + packet.capacity());
    std::memset(packet.getExtraData(), 0xAB, 20);
    std::memset(packet.getBuffer(), 0xCD, packet.capacity());
    EXPECT_EQ(static_cast<unsigned char*>(packet.getExtraData())[19], 0xAB);

    Packet wide(16, 300);
    ASSERT_TRUE(wide.valid());
    EXPECT_EQ(wide.getExtraSize(), 44u);
    std::memset(wide.getExtraData(), 1, 300);  // the full request was allocated
    Packet dropped(16, 256);
    EXPECT_EQ(dropped.getExtraSize(), 0u);
    EXPECT_EQ(dropped.getExtraData(), nullptr);
}

TEST(SystemPolicy, SizesThatCannotBeAllocatedGiveInvalidPackets) {
    LogCapture capture;
    Packet huge(0xFFFFFFF0u, 0);
    EXPECT_FALSE(huge.valid());
    Packet hugeExtra(16, 0xFFFFFFF0u);
    EXPECT_FALSE(hugeExtra.valid());
    EXPECT_EQ(capture.count("PacketInternal::create(): NO enough, need size(4294967280) ext(0)"),
              1);
    EXPECT_EQ(huge.size(), 0u);
    EXPECT_EQ(huge.capacity(), 0u);
    EXPECT_EQ(huge.getBuffer(), nullptr);
    EXPECT_EQ(huge.putBuffer(nullptr, 1), 0u);
    EXPECT_FALSE(huge.resize(0));
    huge.reset();
    EXPECT_FALSE(huge.valid());
}

TEST(SystemPolicy, CallerBufferDeleterRunsOnceWithBufferAndSize) {
    DeleterLog log;
    static char storage[64];
    {
        Packet packet(storage, 64, log.deleter());
        EXPECT_EQ(packet.size(), 64u);
        EXPECT_EQ(packet.capacity(), 64u);
        EXPECT_EQ(packet.getExtraData(), nullptr);
        Packet copy = packet;
        Packet other;
        other = copy;
        EXPECT_TRUE(packet.resize(10));
        copy.reset();
        other.reset();
        EXPECT_TRUE(log.calls.empty());
    }
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].first, storage);
    EXPECT_EQ(log.calls[0].second, 10u);

    DeleterLog withExtra;
    {
        Packet packet(storage, 32, 16, withExtra.deleter());
        EXPECT_EQ(packet.getExtraSize(), 16u);
        ASSERT_NE(packet.getExtraData(), nullptr);
        std::memset(packet.getExtraData(), 7, 16);
    }
    ASSERT_EQ(withExtra.calls.size(), 1u);
    EXPECT_EQ(withExtra.calls[0].second, 32u);
    Packet noDeleter(storage, 8, Packet::Deleter());
    EXPECT_TRUE(noDeleter.valid());
}

TEST(SystemPolicy, AttachLaterPacketTakesTheCallersBlockAndReportsParameterAndCapacity) {
    DeleterLog log;
    int parameter = 0;
    static unsigned char block[200];
    {
        Packet packet(100, log.deleter(), &parameter, 8);
        EXPECT_EQ(packet.getBuffer(), nullptr);
        EXPECT_EQ(packet.size(), 100u);
        EXPECT_EQ(packet.capacity(), 100u);
        EXPECT_EQ(packet.getExtraSize(), 8u);
        EXPECT_EQ(packet.putBuffer(block, 60), 60u);
        EXPECT_EQ(packet.getBuffer(), block);
        EXPECT_EQ(packet.size(), 60u);
        // A longer block is taken up to the capacity announced at construction.
        EXPECT_EQ(packet.putBuffer(block, 200), 100u);
        EXPECT_EQ(packet.size(), 100u);
    }
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].first, &parameter);
    EXPECT_EQ(log.calls[0].second, 100u);

    DeleterLog never;
    { Packet unattached(50, never.deleter(), &parameter, 0); }
    EXPECT_TRUE(never.calls.empty());
}

TEST(SystemPolicy, WindowsSeeTheParentsBytesAndKeepItAliveExactlyAsLong) {
    DeleterLog log;
    static unsigned char storage[100];
    for (int i = 0; i < 100; ++i) {
        storage[i] = static_cast<unsigned char>(i);
    }
    Packet* window = nullptr;
    Packet* inner = nullptr;
    {
        Packet parent(storage, 100, log.deleter());
        window = new Packet(parent, 10, 50, 4);
        ASSERT_TRUE(window->valid());
        EXPECT_EQ(window->getBuffer(), storage + 10);
        EXPECT_EQ(window->size(), 50u);
        EXPECT_EQ(window->capacity(), 50u);
        EXPECT_EQ(window->getExtraSize(), 4u);
        EXPECT_NE(window->getExtraData(), nullptr);
        inner = new Packet(*window, 5, 5, 0);
        EXPECT_EQ(inner->getBuffer()[0], 15);
    }
    EXPECT_TRUE(log.calls.empty());
    delete window;
    EXPECT_TRUE(log.calls.empty());  // the inner window still holds the chain
    delete inner;
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].first, storage);
}

TEST(SystemPolicy, WindowsOutsideTheParentAreInvalidAndWarn) {
    LogCapture capture;
    Packet parent(64, 0);
    EXPECT_TRUE(Packet(parent, 0, 0, 0).valid());
    EXPECT_TRUE(Packet(parent, 63, 1, 0).valid());
    EXPECT_TRUE(Packet(parent, 0, 64, 0).valid());
    EXPECT_EQ(capture.count("offset or size is invalid"), 0);
    EXPECT_FALSE(Packet(parent, 64, 0, 0).valid());
    EXPECT_FALSE(Packet(parent, 60, 5, 0).valid());
    // offset + size wraps past 32 bits.
    EXPECT_FALSE(Packet(parent, 10, 0xFFFFFFFFu, 0).valid());
    EXPECT_FALSE(Packet(Packet(), 0, 0, 0).valid());
    EXPECT_EQ(capture.count("PacketInternal::create() offset or size is invalid!! "
                            "huge_size(64), offset(60), size(5)"),
              1);
    EXPECT_EQ(capture.count("offset or size is invalid"), 4);
    // An attach-later packet without its block has no bytes to window into.
    Packet unattached(100, Packet::Deleter(), nullptr, 0);
    EXPECT_FALSE(Packet(unattached, 0, 10, 0).valid());
}

TEST(SystemPolicy, AssigningToItselfOrACopyKeepsTheCount) {
    DeleterLog log;
    static char storage[8];
    {
        Packet packet(storage, 8, log.deleter());
        Packet copy(packet);
        Packet& alias = packet;
        packet = alias;
        packet = copy;
        copy = packet;
        packet.reset();
        EXPECT_TRUE(log.calls.empty());
    }
    EXPECT_EQ(log.calls.size(), 1u);
}

TEST(SystemPolicy, CopiesMadeAndDroppedOnManyThreadsReleaseOnce) {
    std::atomic<int> deleted{0};
    struct Counter {
        std::atomic<int>* deleted;
        void onDelete(void*, unsigned int) { deleted->fetch_add(1); }
    } counter{&deleted};
    for (int round = 0; round < 20; ++round) {
        auto* shared = new Packet(nullptr, 0, Packet::Deleter(&counter, &Counter::onDelete));
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([shared] {
                std::vector<Packet> copies;
                for (int i = 0; i < 500; ++i) {
                    copies.push_back(*shared);
                    if (copies.size() > 16) {
                        copies.erase(copies.begin(), copies.begin() + 8);
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        delete shared;
        EXPECT_EQ(deleted.load(), round + 1);
    }
}

TEST(SystemPolicy, PacketsCopiedAcrossThreadsKeepTheirBytes) {
    Packet source(4096, 16);
    for (unsigned int i = 0; i < 4096; ++i) {
        source.getBuffer()[i] = static_cast<unsigned char>(i * 7);
    }
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([source, &mismatches] {
            for (int i = 0; i < 200; ++i) {
                Packet copy(source);
                Packet window(copy, 100, 100, 0);
                if (window.getBuffer()[1] != static_cast<unsigned char>(101 * 7)) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(SharePacket, KeepsPacketsAsTheyAreAndHasNoTransport) {
    using Tovix::Memory::CSharePacketHelper;
    CSharePacketHelper* helper = CSharePacketHelper::instance();
    EXPECT_EQ(helper, CSharePacketHelper::instance());
    Tovix::Memory::BaseArg arg;
    EXPECT_FALSE(helper->initSharePacket(&arg));
    EXPECT_FALSE(helper->initSharePacket(nullptr));
    Packet packet(100, 8);
    Packet described = helper->toDescribePacket(packet);
    Packet original = helper->toOriginalPacket(described);
    EXPECT_EQ(original.getBuffer(), packet.getBuffer());
    EXPECT_EQ(described.getExtraData(), packet.getExtraData());
    EXPECT_FALSE(helper->toOriginalPacket(Packet()).valid());
    CSharePacketHelper other;
    EXPECT_EQ(&(other = *helper), &other);
}

TEST(LegacyPacket, DefaultPolicyPacketHasTheDefaultHeader) {
    ::CPacket packet(100);
    ASSERT_TRUE(packet.Valid());
    EXPECT_FALSE(packet.Invalid());
    EXPECT_EQ(packet.GetLength(), 100ul);
    EXPECT_EQ(packet.GetSize(), 100ul);
    EXPECT_EQ(packet.GetLeft(), 0ul);
    EXPECT_EQ(packet.GetHeaderSize(), 128ul);
    std::memset(packet.GetHeader(), 0x5A, 128);
    packet.ClearHeader();
    for (int i = 0; i < 128; ++i) {
        ASSERT_EQ(packet.GetHeader()[i], 0);
    }
    EXPECT_EQ(packet.SetLength(10), 1ul);
    EXPECT_EQ(packet.GetLeft(), 90ul);
    EXPECT_EQ(packet.PutBuffer(const_cast<char*>("abc"), 3), 3ul);
    EXPECT_EQ(packet.GetLength(), 13ul);
    EXPECT_EQ(packet.GetBuffer()[12], 'c');
    EXPECT_EQ(packet.SetLength(101), 0ul);
    const ::CPacket& view = packet;
    EXPECT_TRUE(view.Valid());
    EXPECT_FALSE(view.Invalid());
}

TEST(LegacyPacket, InvalidPacketsAnswerZero) {
    ::CPacket packet;
    EXPECT_TRUE(packet.Invalid());
    EXPECT_EQ(packet.GetSize(), 0ul);
    EXPECT_EQ(packet.GetBuffer(), nullptr);
    EXPECT_EQ(packet.GetHeader(), nullptr);
    EXPECT_EQ(packet.PutBuffer(nullptr, 3), 0ul);
    EXPECT_EQ(packet.SetLength(0), 0ul);
    EXPECT_EQ(packet.GetLeft(), 0ul);
    packet.ClearHeader();
    Tovix::Memory::CPacket inner = packet;
    EXPECT_FALSE(inner.valid());
    ::CPacket fromInvalid{Tovix::Memory::CPacket()};
    EXPECT_TRUE(fromInvalid.Invalid());
}

TEST(LegacyPacket, SizesBeyondThirtyTwoBitsGiveInvalidPackets) {
    if (sizeof(unsigned long) <= 4) {
        GTEST_SKIP() << "unsigned long holds 32 bits here";
    }
    // 4 GiB + 16 cut to 32 bits would be a valid 16-byte packet.
    const unsigned long size = static_cast<unsigned long>((1ull << 32) + 16);
    ::CPacket packet(size);
    EXPECT_TRUE(packet.Invalid());
    EXPECT_EQ(packet.GetLength(), 0ul);
    EXPECT_EQ(packet.GetBuffer(), nullptr);
}

TEST(LegacyPacket, CopiesShareAndAssigningInvalidReleases) {
    DeleterLog log;
    int parameter = 0;
    {
        ::CPacket packet(64u, log.deleter(), &parameter);
        ASSERT_TRUE(packet.Valid());
        static unsigned char block[64];
        EXPECT_EQ(packet.PutBuffer(block, 64), 64ul);
        ::CPacket copy(packet);
        EXPECT_EQ(copy.GetBuffer(), block);
        Tovix::Memory::CPacket inner = copy;
        ::CPacket wrapped(inner);
        EXPECT_EQ(wrapped.GetBuffer(), block);
        ::CPacket assigned;
        assigned = packet;
        EXPECT_EQ(assigned.GetBuffer(), block);
        packet = ::CPacket();
        EXPECT_TRUE(packet.Invalid());
        copy = ::CPacket();
        wrapped = ::CPacket();
        inner.reset();
        EXPECT_TRUE(log.calls.empty());
        assigned = ::CPacket(8ul);  // drops the last reference
        EXPECT_EQ(log.calls.size(), 1u);
    }
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].first, &parameter);
    EXPECT_EQ(log.calls[0].second, 64u);
}

TEST(LegacyPacket, ManagerReportsNoPoolUnderTheSystemPolicy) {
    IPacketManager* manager = IPacketManager::instance();
    EXPECT_EQ(manager, IPacketManager::instance());
    EXPECT_EQ(manager->GetBufferSize(), 0u);
    EXPECT_EQ(manager->GetFreeSize(), 0u);
    LogCapture capture;
    manager->DumpNodes();
    EXPECT_EQ(capture.count("CPacketManager dump: SYS Policy"), 1);
    // After first use only the header size changes; out-of-range header sizes are refused.
    IPacketManager::config(2097152, 1024, 300);
    EXPECT_EQ(capture.count("header size 300 refused"), 1);
    EXPECT_EQ(capture.count("has been configured!"), 1);
    EXPECT_EQ(::CPacket(4ul).GetHeaderSize(), 128ul);
    IPacketManager::config(2097152, 1024, 16);
    EXPECT_EQ(::CPacket(4ul).GetHeaderSize(), 16ul);
    EXPECT_EQ(manager->GetBufferSize(), 0u);
}
