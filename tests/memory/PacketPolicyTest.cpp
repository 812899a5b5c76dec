// Packets, the packet manager and legacy packets under one configuration of the manager, which
// is configured once per process: one program per configuration, MEMORY_TEST_SETUP indexing kNames.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "infra/Packet.h"
#include "infra/PacketManager.h"
#include "infra/SharePacket.h"
#include "infra/legacy/Packet.h"
#include "memory/MemoryTestSupport.h"

using MemoryTest::Capture;
using MemoryTest::CountingOperator;
using Tovix::Memory::CPacketManager;
using Packet = Tovix::Memory::CPacket;

namespace {

// The configurations: policy (1 system, 2 pool, 3 pool data, 4 external), counting operator.
const char* const kNames[] = {"System", "SystemOperator", "Pool", "PoolData", "External"};
constexpr int kPolicies[] = {1, 1, 2, 3, 4};
constexpr int kPolicy = kPolicies[MEMORY_TEST_SETUP];
constexpr bool kCounting = MEMORY_TEST_SETUP == 1 || MEMORY_TEST_SETUP == 2 || kPolicy == 4;
constexpr bool kPool = kPolicy == 2 || kPolicy == 3;
constexpr unsigned int kTotal = 2097152;

// Before first use. Policy 0 keeps the policy in force, null pointers keep the rest.
const bool g_configured = [] {
    CPacketManager::MemoryOperator memop = CountingOperator::make();
    if (kPolicy == 3) {
        IPacketManager::config(kTotal, 1024, 64);  // the legacy way to the pool-data policy
    }
    CPacketManager::config(CPacketManager::Policy(kPolicy == 1 ? 0 : kPolicy),
                           kCounting ? &memop : nullptr, nullptr);
    return true;
}();

struct DeleterLog {
    void record(void* first, unsigned int second) { calls.emplace_back(first, second); }
    Packet::Deleter deleter() { return Packet::Deleter(this, &DeleterLog::record); }
    std::vector<std::pair<void*, unsigned int>> calls;
};

// Size, capacity, buffer and extra size as expected (an extra area exactly when it has a size).
void expectShape(const Packet& packet, unsigned int size, unsigned int capacity, const void* buffer,
                 unsigned int extra) {
    EXPECT_TRUE(packet.valid());
    EXPECT_EQ(packet.size(), size);
    EXPECT_EQ(packet.capacity(), capacity);
    EXPECT_EQ(packet.getBuffer(), buffer);
    EXPECT_EQ(packet.getExtraSize(), extra);
    EXPECT_EQ(packet.getExtraData() != nullptr, extra > 0);
}

class PacketPolicy : public testing::TestWithParam<int> {
protected:
    static unsigned int freeSize() { return CPacketManager::instance()->getFreeSize(); }
    // The smallest run of 1 KiB chunks holding n bytes.
    static unsigned int runFor(unsigned int n) { return n <= 1024 ? 1024 : 2 * runFor(n - n / 2); }
};

}  // namespace

TEST_P(PacketPolicy, ManagerShowsItsPolicy) {
    ASSERT_TRUE(g_configured);
    Capture capture;
    CPacketManager* manager = CPacketManager::instance();  // first use: a process per test
    EXPECT_TRUE(!capture.contains("CPacketManager") ||
                capture.contains(kPool ? "malloc total(2097152) pagesize(1024)blockCount (2048)"
                                       : "CPacketManager: System Policy\n") == (kPolicy < 4));
    EXPECT_TRUE(manager == CPacketManager::instance() &&
                (manager->getPoolBuffer() != nullptr) == kPool);
    const int before = capture.count("\n"), pool = kPolicy == 2 ? 1 : 0;
    CPacketManager::PoolParameter param{1 << 20, 4096, 8};
    CPacketManager::config(CPacketManager::policyExternal, nullptr, &param);  // too late
    EXPECT_EQ(manager->getBufferSize(), kPool ? kTotal : 0u);
    manager->dumpNodes();
    EXPECT_EQ(capture.count("CPacketManager dump: SYS Policy\n"), kPolicy % 2);
    EXPECT_EQ(capture.count("BufferList id:") + capture.count("bufflist(11)id: 0, realIdx(0)self("),
              13 * pool);
    EXPECT_EQ(capture.count("\n"), before + 1 + kPolicy % 2 + 14 * pool);
    EXPECT_EQ(capture.count("Manager has been configured!\n"), 1);
    const int copies = CountingOperator::copies;
    auto* p = static_cast<unsigned char*>(manager->malloc(100));
    unsigned char stack[100] = {7};
    EXPECT_TRUE(manager->memcpy(p, stack, 100) == p && manager->memcpy(stack, p, 100) == stack);
    EXPECT_EQ(CountingOperator::copies - copies, kCounting && !kPool ? 2 : 0);  // pool: not its own
    EXPECT_EQ(freeSize(), kPool ? kTotal - 1024 : 0u);
    manager->free(p);
    EXPECT_EQ(freeSize(), kPool ? kTotal : 0u);
}

TEST_P(PacketPolicy, AllocatedPacketsLayOutDataAndExtraArea) {
    CPacketManager::instance();
    Capture capture;
    if (kPolicy == 4) {
        EXPECT_FALSE(Packet(10, 0).valid());
        EXPECT_EQ(capture.count("tracepoint:\n") + capture.count("\n"), 2);
        return;
    }
    const unsigned int cases[][2] = {{100, 0},  {1, 8},      {10, 20},  {0, 0},     {1800, 0},
                                     {3000, 1}, {5000, 300}, {16, 256}, {4096, 255}};
    for (const auto& c : cases) {
        const int mallocs = CountingOperator::mallocs, frees = CountingOperator::frees;
        {
            Packet packet(c[0], c[1]);
            const unsigned int capacity = packet.capacity(), taken = kTotal - freeSize();
            expectShape(packet, c[0], capacity, packet.getBuffer(), c[1] & 0xFF);
            EXPECT_TRUE(packet.resize(capacity));
            if (kPolicy == 1) {
                EXPECT_EQ(capacity + mallocs,
                          (c[0] + 3) / 4 * 4 + CountingOperator::mallocs - kCounting);
            } else if (kPolicy == 2) {
                // The smallest run for data, extra area and record; what is left is capacity.
                EXPECT_TRUE(taken == runFor(capacity + c[1] + 1) && capacity >= c[0]);
                EXPECT_TRUE(taken == 1024 || capacity - (c[0] + 3) / 4 * 4 < taken / 2);
            } else {
                EXPECT_EQ(capacity, c[0] == 0 ? 0 : runFor(c[0]));
                EXPECT_EQ(taken, capacity);
            }
            EXPECT_TRUE(kPolicy == 3 || (c[1] & 0xFF) == 0 ||
                        packet.getExtraData() == packet.getBuffer() + capacity);
            std::fill_n(packet.getBuffer(), capacity, 0x11);
            std::fill_n(static_cast<char*>(packet.getExtraData()),
                        (c[1] & 0xFF) ? std::min(c[1], 256u) : 0, 0x22);
        }
        EXPECT_EQ(freeSize(), kPool ? kTotal : 0u);
        EXPECT_EQ(CountingOperator::frees.load(), frees + (kCounting && !kPool ? 1 : 0));
    }
    EXPECT_EQ(capture.text(), "");
}

TEST_P(PacketPolicy, CallerBufferDeleterRunsOnceAtTheLastCopy) {
    DeleterLog log;
    static char storage[64];
    {
        Packet packet(storage, 64, log.deleter());
        expectShape(packet, 64, 64, storage, 0);
        EXPECT_TRUE(packet.putBuffer(storage, 1) == 0 && packet.resize(64) && !packet.resize(65));
        Packet copy = packet, other;
        other = copy;
        Packet& alias = packet;
        packet = alias;
        packet = copy;
        copy = packet;
        EXPECT_TRUE(packet.resize(10));
        copy.reset();
        other.reset();
        other.reset();
        EXPECT_TRUE(log.calls.empty());
    }
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0], std::make_pair(static_cast<void*>(storage), 10u));
    const unsigned int extras[][2] = {{1, 1}, {16, 16}, {300, 44}, {256, 0}};
    for (const auto& e : extras) {
        Packet packet(storage, 32, e[0], log.deleter());
        expectShape(packet, 32, 32, storage, e[1]);
        std::fill_n(static_cast<char*>(packet.getExtraData()), e[1], 7);
    }
    EXPECT_EQ(log.calls.size(), 5u);
}

TEST_P(PacketPolicy, AttachLaterAndInvalidPackets) {
    DeleterLog log;
    int parameter = 0;
    static unsigned char block[200];
    {
        Packet packet(100, log.deleter(), &parameter, 8);
        expectShape(packet, 100, 100, nullptr, 8);
        EXPECT_FALSE(Packet(packet, 0, 10, 0).valid());  // no bytes to window into yet
        // A longer block is taken up to the capacity announced at construction.
        EXPECT_TRUE(packet.putBuffer(block, 60) == 60 && packet.putBuffer(block, 200) == 100);
        expectShape(packet, 100, 100, block, 8);
    }
    { Packet unattached(50, log.deleter(), &parameter, 0); }
    Packet invalid;  // answers 0 and null
    EXPECT_FALSE(invalid.valid() || invalid.resize(0) || invalid.getBuffer() ||
                 invalid.getExtraData());
    EXPECT_EQ(
        invalid.size() + invalid.capacity() + invalid.getExtraSize() + invalid.putBuffer(block, 1),
        0u);
    invalid.reset();
    // Packets are not shared across processes here: they stay as they are.
    auto* share = Tovix::Memory::CSharePacketHelper::instance();
    Packet copy = share->toOriginalPacket(share->toDescribePacket(Packet(block, 4, {})));
    EXPECT_EQ(copy.getBuffer(), block);
    EXPECT_FALSE(share->initSharePacket(nullptr) || share->toDescribePacket(invalid).valid());
    copy = invalid;
    EXPECT_FALSE(copy.valid());
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0], std::make_pair(static_cast<void*>(&parameter), 100u));
}

TEST_P(PacketPolicy, WindowsSeeTheParentsBytesAndKeepItAlive) {
    Capture capture;
    DeleterLog log;
    static unsigned char storage[64] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    Packet* inner = nullptr;
    {
        Packet parent(storage, 64, log.deleter());
        const unsigned int valid[][2] = {{0, 0}, {63, 1}, {0, 64}, {10, 50}};
        for (const auto& v : valid) {
            expectShape(Packet(parent, v[0], v[1], 4), v[1], v[1], storage + v[0], 4);
        }
        EXPECT_FALSE(Packet(parent, 64, 0, 0).valid() || Packet(parent, 60, 5, 0).valid() ||
                     Packet(parent, 10, 0xFFFFFFFFu, 0).valid() ||
                     Packet(Packet(), 0, 0, 0).valid());
        EXPECT_TRUE(capture.count("offset or size is invalid") == 4 &&
                    capture.contains("PacketInternal::create() offset or size is invalid!! "
                                     "huge_size(64), offset(60), size(5)\n"));
        inner = new Packet(Packet(parent, 10, 50, 0), 5, 5, 0);  // a window of a window
        EXPECT_EQ(inner->getBuffer()[0], 15);
    }
    EXPECT_TRUE(log.calls.empty());
    delete inner;
    EXPECT_EQ(log.calls.size(), 1u);
}

TEST_P(PacketPolicy, LegacyPacketsCarryTheDefaultHeaderAndShareTheirPacket) {
    EXPECT_EQ(IPacketManager::instance()->GetBufferSize(), kPool ? kTotal : 0u);
    ::CPacket packet(100ul);
    const unsigned long header = kPolicy == 3 ? 64 : 128;
    EXPECT_EQ(packet.Valid(), kPolicy != 4);
    EXPECT_EQ(IPacketManager::instance()->GetFreeSize(), kPool ? kTotal - 1024 : 0u);
    if (packet.Valid()) {
        EXPECT_TRUE(packet.GetHeaderSize() == header && packet.GetLength() == 100);
        std::memset(packet.GetHeader(), 0x5A, header);
        packet.ClearHeader();
        EXPECT_EQ(std::count(packet.GetHeader(), packet.GetHeader() + header, 0),
                  std::ptrdiff_t(header));
        EXPECT_EQ(packet.SetLength(10) + packet.PutBuffer(const_cast<char*>("abc"), 3) +
                      packet.SetLength(packet.GetSize() + 1),
                  4ul);
        EXPECT_EQ(packet.GetLeft() + packet.GetBuffer()[12], packet.GetSize() - 13 + 'c');
    }
    // 4 GiB + 16 cut to 32 bits would be a valid 16-byte packet.
    EXPECT_TRUE(sizeof(long) == 4 ||
                ::CPacket(static_cast<unsigned long>(1ull << 32) + 16).Invalid());
    DeleterLog log;
    static unsigned char block[64];
    packet = ::CPacket(64u, log.deleter(), block);
    packet.PutBuffer(block, 64);
    ::CPacket copy(packet), assigned;
    ::CPacket wrapped{Packet(copy)};
    assigned = packet;
    packet = copy = wrapped = ::CPacket(Packet());
    EXPECT_TRUE(packet.Invalid() && !static_cast<Packet>(packet).valid() && !packet.GetHeader());
    EXPECT_EQ(packet.GetSize() + packet.GetLeft() + packet.SetLength(0) + packet.GetHeaderSize(),
              0ul);
    EXPECT_TRUE(log.calls.empty() && assigned.GetBuffer() == block && !packet.GetBuffer());
    assigned = packet;  // drops the last reference
    EXPECT_EQ(log.calls, (std::vector<std::pair<void*, unsigned int>>{{block, 64}}));
    // After first use only the default header size changes, within 0 ... 255.
    Capture capture;
    IPacketManager::config(kTotal, 1024, 300);
    IPacketManager::config(kTotal, 1024, 16);
    EXPECT_EQ(::CPacket(4u, log.deleter(), nullptr).GetHeaderSize(), 16ul);
    IPacketManager::config(kTotal, 1024, static_cast<int>(header));
    EXPECT_EQ(capture.count("header size 300 refused") + capture.count("has been configured!"), 4);
}

INSTANTIATE_TEST_SUITE_P(Packet, PacketPolicy, testing::Values(MEMORY_TEST_SETUP),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(kNames[info.param]);
                         });

#if MEMORY_TEST_SETUP == 2
TEST(PacketPoolDeathTest, UseOfPoolMemoryNotHandedOutIsReportedUnderAddressSanitizer) {
    if (!MemoryTest::kAddressSanitizer) {
        GTEST_SKIP() << "needs AddressSanitizer";
    }
    auto* p = static_cast<volatile unsigned char*>(CPacketManager::instance()->malloc(100));
    EXPECT_DEATH(p[100] = 2, "use-after-poison");  // past the request
    CPacketManager::instance()->free(const_cast<unsigned char*>(p));
    EXPECT_DEATH(p[0] = 2, "use-after-poison");
}

namespace {

Packet* g_lateHolder = nullptr;

void dropLatePacket() {
    delete g_lateHolder;
    CPacketManager* manager = CPacketManager::instance();
#if defined(_WIN32)
    // A DLL's exit handlers run after the program's: the pool goes back as it is unloaded.
    const bool back = manager->getFreeSize() == manager->getBufferSize();
#else
    const bool back = manager->getPoolBuffer() == nullptr;
#endif
    std::fprintf(stderr, back ? "pool back after the last packet\n" : "pool kept\n");
}

}  // namespace

TEST(PacketPoolExitTest, PoolOutlivesPacketsReleasedByExitHandlersAndThenGoesBack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    auto scenario = [] {
        std::atexit(&dropLatePacket);  // runs after the pool's own exit handler
        g_lateHolder = new Packet(100, 0);
        std::exit(0);
    };
    EXPECT_EXIT(scenario(), testing::ExitedWithCode(0), "pool back after the last packet");
}
#endif

#if MEMORY_TEST_SETUP == 0
// Configurations before first use, each in a child process of its own that never used the
// manager (this program configures nothing but policy 0 before it).
namespace {

void configurePool(unsigned int total, unsigned int chunk, unsigned int align) {
    CPacketManager::PoolParameter param{total, chunk, align};
    CPacketManager::config(CPacketManager::policyPool, nullptr, &param);
}

void configureOperator(bool emptyFree) {
    CPacketManager::MemoryOperator memop = MemoryTest::CountingOperator::make();
    memop.malloc =
        +[](unsigned int size) -> void* { return size > 4096 ? nullptr : std::malloc(size); };
    memop.free = emptyFree ? Tovix::Infra::TFunction1<void, void*>() : memop.free;
    CPacketManager::config(CPacketManager::policyPool, &memop, nullptr);
    CPacketManager::instance();
}

}  // namespace

TEST(PacketConfigDeathTest, BadParametersOperatorsOrPoolMemoryEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_DEATH(configurePool(1000 * 16, 1000, 4),
                 "param->chunkSize >= 1024 && param->chunkSize > 0 && "
                 "param->totalSize % param->chunkSize == 0");
    EXPECT_DEATH(configurePool(3072 * 4, 3072, 4),
                 "\\(\\(param->chunkSize & \\(param->chunkSize - 1\\)\\) == 0\\)");
    EXPECT_DEATH(configurePool(1024 * 16, 1024, 2), "param->alignSize >= 4");
    EXPECT_DEATH(configureOperator(true),
                 "!memop->malloc.empty\\(\\) && !memop->free.empty\\(\\) "
                 "&& !memop->memcpy.empty\\(\\)");
    EXPECT_DEATH(configureOperator(false), "NULL != m_pOriginBuffer");
    // A pool block past 32 bits cannot be asked of the operator either.
    EXPECT_DEATH((configurePool(0xFFFFFC00u, 1024, 4), CPacketManager::instance()),
                 "NULL != m_pOriginBuffer");
}

#endif
