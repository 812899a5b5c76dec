// Packets, the packet manager and the legacy packet API under one configuration of the manager.
// The manager is configured once per process, so this file is built into one program per
// configuration; MEMORY_TEST_SETUP chooses it (see setups below).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
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

struct Setup {
    const char* name;
    int policy;
    bool counting;  // the counting operator is configured
};
constexpr Setup kSetups[] = {{"System", 1, false},
                             {"SystemOperator", 1, true},
                             {"Pool", 2, true},
                             {"PoolData", 3, false},
                             {"External", 4, true}};
constexpr Setup kSetup = kSetups[MEMORY_TEST_SETUP];
constexpr bool kPool = kSetup.policy == 2 || kSetup.policy == 3;
constexpr unsigned int kTotal = 2097152;

// Before any test, and before first use.
const bool g_configured = [] {
    CPacketManager::MemoryOperator memop = CountingOperator::make();
    if (kSetup.policy == 3) {
        IPacketManager::config(kTotal, 1024, 64);  // the legacy way to the pool-data policy
    } else {
        // Policy 0 keeps the policy in force; null pointers keep the rest.
        CPacketManager::config(CPacketManager::Policy(kSetup.policy == 1 ? 0 : kSetup.policy),
                               kSetup.counting ? &memop : nullptr, nullptr);
        CPacketManager::config(CPacketManager::Policy(0), nullptr, nullptr);
    }
    return true;
}();

// Records every deleter call.
struct DeleterLog {
    void record(void* first, unsigned int second) { calls.emplace_back(first, second); }
    Packet::Deleter deleter() { return Packet::Deleter(this, &DeleterLog::record); }
    std::vector<std::pair<void*, unsigned int>> calls;
};

unsigned int freeSize() {
    return CPacketManager::instance()->getFreeSize();
}

// The bytes of a run of chunks granted for `size` bytes.
unsigned int runFor(unsigned int size) {
    unsigned int run = 1024;
    while (run < size) {
        run *= 2;
    }
    return run;
}

class PacketPolicy : public testing::TestWithParam<Setup> {};
void PrintTo(const Setup& setup, std::ostream* out) {
    *out << setup.name;
}

}  // namespace

TEST_P(PacketPolicy, ManagerShowsItsPolicy) {
    ASSERT_TRUE(g_configured);
    Capture capture;
    CPacketManager* manager = CPacketManager::instance();  // first use (a process per test)
    if (capture.contains("CPacketManager")) {
        EXPECT_EQ(capture.count("CPacketManager: System Policy\n"), kSetup.policy == 1 ? 1 : 0);
        EXPECT_EQ(capture.count("CPacketManager: malloc total(2097152) pagesize(1024)blockCount "
                                "(2048) ManagermentSize("),
                  kPool ? 1 : 0);
        EXPECT_EQ(capture.count("                AddrRange("), kPool ? 1 : 0);
    }
    EXPECT_EQ(manager, CPacketManager::instance());
    EXPECT_EQ(manager->getBufferSize(), kPool ? kTotal : 0u);
    EXPECT_EQ(freeSize(), kPool ? kTotal : 0u);
    EXPECT_EQ(manager->getPoolBuffer() != nullptr, kPool);
    const int before = capture.count("\n");
    CPacketManager::PoolParameter param{1 << 20, 4096, 8};
    CPacketManager::config(CPacketManager::policyPool, nullptr, &param);
    CPacketManager::config(CPacketManager::policyExternal, nullptr, nullptr);
    EXPECT_EQ(capture.count("PacketManagerInternal::config() failured: Packet Manager has been "
                            "configured!\n"),
              2);
    EXPECT_EQ(manager->getBufferSize(), kPool ? kTotal : 0u);
    manager->dumpNodes();
    const bool sys = kSetup.policy != 2 && kSetup.policy != 4;
    EXPECT_EQ(capture.count("CPacketManager dump: SYS Policy\n"), sys ? 1 : 0);
    EXPECT_EQ(capture.count("CPacketManager: dump FreeList\n"), kSetup.policy == 2 ? 1 : 0);
    EXPECT_EQ(capture.count("BufferList id:"), kSetup.policy == 2 ? 12 : 0);
    EXPECT_EQ(capture.count("bufflist(11)id: 0, realIdx(0)self("), kSetup.policy == 2 ? 1 : 0);
    if (kSetup.policy == 4) {
        EXPECT_EQ(capture.count("\n"), before + 2);  // only the two warnings
    }

    const int mallocs = CountingOperator::mallocs, copies = CountingOperator::copies;
    auto* p = static_cast<unsigned char*>(manager->malloc(100));
    auto* q = static_cast<unsigned char*>(manager->malloc(100));
    unsigned char stack[100] = {7};
    EXPECT_EQ(manager->memcpy(p, stack, 100), p);
    EXPECT_EQ(manager->memcpy(q, p, 100), q);
    EXPECT_EQ(q[0], 7);
    if (kSetup.counting) {
        // The pool copies with the operator only between its own blocks.
        EXPECT_EQ(CountingOperator::mallocs.load(), mallocs + (kPool ? 0 : 2));
        EXPECT_EQ(CountingOperator::copies.load(), copies + (kPool ? 1 : 2));
    }
    EXPECT_EQ(freeSize(), kPool ? kTotal - 2048 : 0u);
    manager->free(p);
    manager->free(q);
    EXPECT_EQ(freeSize(), kPool ? kTotal : 0u);
}

TEST_P(PacketPolicy, AllocatedPacketsLayOutDataAndExtraArea) {
    CPacketManager::instance();
    Capture capture;
    if (kSetup.policy == 4) {
        EXPECT_FALSE(Packet(10, 0).valid());
        EXPECT_EQ(capture.count("tracepoint:\n"), 1);
        EXPECT_EQ(capture.count("\n"), 1);
        return;
    }
    const unsigned int cases[][2] = {{100, 0},  {1, 8},      {10, 20},  {0, 0},     {1800, 0},
                                     {3000, 1}, {5000, 300}, {16, 256}, {4096, 255}};
    for (const auto& c : cases) {
        const int mallocs = CountingOperator::mallocs, frees = CountingOperator::frees;
        {
            Packet packet(c[0], c[1]);
            ASSERT_TRUE(packet.valid());
            const unsigned int capacity = packet.capacity(), extra = c[1] & 0xFF;
            EXPECT_EQ(packet.size(), c[0]);
            EXPECT_EQ(packet.getExtraSize(), extra);
            EXPECT_EQ(packet.getExtraData() != nullptr, extra > 0);
            const unsigned int taken = kPool ? kTotal - freeSize() : 0;
            if (kSetup.policy == 1) {
                EXPECT_EQ(capacity, (c[0] + 3) / 4 * 4);
                EXPECT_EQ(CountingOperator::mallocs.load(), mallocs + (kSetup.counting ? 1 : 0));
            } else if (kSetup.policy == 2) {
                // A run holds data, extra area and record; whatever is left is capacity.
                EXPECT_EQ(taken, runFor(taken));
                EXPECT_GE(capacity, c[0]);
                EXPECT_TRUE(taken == 1024 || capacity - (c[0] + 3) / 4 * 4 < taken / 2);
                EXPECT_LE(capacity + c[1], taken);
            } else {
                EXPECT_EQ(capacity, c[0] == 0 ? 0 : runFor(c[0]));
                EXPECT_EQ(taken, capacity);
                EXPECT_EQ(packet.getBuffer() == nullptr, c[0] == 0);
            }
            if (kSetup.policy != 3 && extra > 0) {
                EXPECT_EQ(packet.getExtraData(), packet.getBuffer() + capacity);
            }
            if (capacity > 0) {
                std::memset(packet.getBuffer(), 0x11, capacity);
            }
            if (extra > 0) {
                std::memset(packet.getExtraData(), 0x22, c[1] < 256 ? c[1] : 256);
            }
        }
        EXPECT_EQ(freeSize(), kPool ? kTotal : 0u);
        EXPECT_EQ(CountingOperator::frees.load(), frees + (kSetup.counting && !kPool ? 1 : 0));
    }
    EXPECT_EQ(capture.text(), "");
}

TEST_P(PacketPolicy, AppendAndResizeFollowAByteModel) {
    static unsigned char storage[700];
    Packet wrapped(storage, 700, Packet::Deleter());
    std::vector<Packet> packets{wrapped};
    if (kSetup.policy != 4) {
        packets.emplace_back(300, 0);
        packets.emplace_back(Packet(wrapped, 100, 400, 8));
    }
    std::mt19937 rng(5);
    unsigned char data[80];
    for (Packet& packet : packets) {
        std::vector<int> model(packet.size(), -1);  // -1: not written
        const unsigned int capacity = packet.capacity();
        for (int step = 0; step < 300; ++step) {
            const unsigned int n = rng() % (capacity + 40);
            if (rng() % 2 == 0) {
                ASSERT_EQ(packet.resize(n), n <= capacity);
                model.resize(n <= capacity ? n : model.size(), -1);
                continue;
            }
            const unsigned int len = n % 80;
            for (unsigned char& c : data) {
                c = static_cast<unsigned char>(rng());
            }
            const unsigned int room = capacity - static_cast<unsigned int>(model.size());
            ASSERT_EQ(packet.putBuffer(data, len), len < room ? len : room);
            model.insert(model.end(), data, data + (len < room ? len : room));
            ASSERT_EQ(packet.size(), model.size());
            for (std::size_t i = 0; i < model.size(); ++i) {
                ASSERT_TRUE(model[i] < 0 || packet.getBuffer()[i] == model[i]) << i;
            }
        }
        ASSERT_EQ(packet.capacity(), capacity);
    }
}

TEST_P(PacketPolicy, CallerBufferDeleterRunsOnceAtTheLastCopy) {
    DeleterLog log;
    static char storage[64];
    {
        Packet packet(storage, 64, log.deleter());
        EXPECT_EQ(packet.getExtraSize(), 0u);
        EXPECT_EQ(packet.getExtraData(), nullptr);
        Packet copy = packet;
        Packet other;
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
        EXPECT_EQ(packet.size(), 32u);
        EXPECT_EQ(packet.capacity(), 32u);
        EXPECT_EQ(packet.getExtraSize(), e[1]);
        ASSERT_EQ(packet.getExtraData() != nullptr, e[1] > 0);
        if (e[1] > 0) {
            std::memset(packet.getExtraData(), 7, e[1]);
        }
    }
    EXPECT_EQ(log.calls.size(), 5u);
    EXPECT_TRUE(Packet(storage, 8, Packet::Deleter()).valid());
}

TEST_P(PacketPolicy, AttachLaterPacketTakesTheCallersBlockAndReportsParameterAndCapacity) {
    DeleterLog log;
    int parameter = 0;
    static unsigned char block[200];
    {
        Packet packet(100, log.deleter(), &parameter, 8);
        EXPECT_EQ(packet.getBuffer(), nullptr);
        EXPECT_EQ(packet.size(), 100u);
        EXPECT_EQ(packet.capacity(), 100u);
        EXPECT_EQ(packet.getExtraSize(), 8u);
        EXPECT_FALSE(Packet(packet, 0, 10, 0).valid());  // no bytes to window into yet
        EXPECT_EQ(packet.putBuffer(block, 60), 60u);
        EXPECT_EQ(packet.getBuffer(), block);
        EXPECT_EQ(packet.size(), 60u);
        // A longer block is taken up to the capacity announced at construction.
        EXPECT_EQ(packet.putBuffer(block, 200), 100u);
        EXPECT_EQ(packet.size(), 100u);
    }
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0], std::make_pair(static_cast<void*>(&parameter), 100u));
    { Packet unattached(50, log.deleter(), &parameter, 0); }
    EXPECT_EQ(log.calls.size(), 1u);
}

TEST_P(PacketPolicy, WindowsSeeTheParentsBytesAndKeepItAlive) {
    Capture capture;
    DeleterLog log;
    static unsigned char storage[64];
    for (int i = 0; i < 64; ++i) {
        storage[i] = static_cast<unsigned char>(i);
    }
    Packet* window = nullptr;
    Packet* inner = nullptr;
    {
        Packet parent(storage, 64, log.deleter());
        const unsigned int valid[][2] = {{0, 0}, {63, 1}, {0, 64}, {10, 50}};
        for (const auto& v : valid) {
            Packet w(parent, v[0], v[1], 4);
            EXPECT_TRUE(w.valid());
            EXPECT_EQ(w.getBuffer(), storage + v[0]);
            EXPECT_EQ(w.size(), v[1]);
            EXPECT_EQ(w.capacity(), v[1]);
            EXPECT_EQ(w.getExtraSize(), 4u);
            EXPECT_NE(w.getExtraData(), nullptr);
        }
        EXPECT_EQ(capture.count("offset or size is invalid"), 0);
        const unsigned int invalid[][2] = {{64, 0}, {60, 5}, {10, 0xFFFFFFFFu}};
        for (const auto& v : invalid) {
            EXPECT_FALSE(Packet(parent, v[0], v[1], 0).valid()) << v[0] << " " << v[1];
        }
        EXPECT_FALSE(Packet(Packet(), 0, 0, 0).valid());
        EXPECT_EQ(capture.count("PacketInternal::create() offset or size is invalid!! "
                                "huge_size(64), offset(60), size(5)\n"),
                  1);
        EXPECT_EQ(capture.count("offset or size is invalid"), 4);
        window = new Packet(parent, 10, 50, 0);
        inner = new Packet(*window, 5, 5, 0);
        EXPECT_EQ(inner->getBuffer()[0], 15);
    }
    delete window;
    EXPECT_TRUE(log.calls.empty());  // the inner window still holds the chain
    delete inner;
    EXPECT_EQ(log.calls.size(), 1u);
}

TEST_P(PacketPolicy, InvalidPacketsAnswerZeroAndNull) {
    Packet packet;
    EXPECT_FALSE(packet.valid());
    EXPECT_EQ(packet.size() + packet.capacity() + packet.getExtraSize(), 0u);
    EXPECT_EQ(packet.getBuffer(), nullptr);
    EXPECT_EQ(packet.getExtraData(), nullptr);
    EXPECT_EQ(packet.putBuffer(const_cast<char*>("x"), 1), 0u);
    EXPECT_FALSE(packet.resize(0));
    packet.reset();
    Packet copy(packet);
    copy = packet;
    EXPECT_FALSE(copy.valid());
    static char storage[4];
    copy = Packet(storage, 4, Packet::Deleter());
    copy = packet;
    EXPECT_FALSE(copy.valid());
}

TEST_P(PacketPolicy, CopiesMadeAndDroppedOnManyThreadsReleaseOnce) {
    std::atomic<int> deleted{0};
    struct Counter {
        std::atomic<int>* deleted;
        void onDelete(void*, unsigned int) { ++*deleted; }
    } counter{&deleted};
    for (int round = 0; round < 10; ++round) {
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

TEST_P(PacketPolicy, LegacyPacketsCarryTheDefaultHeader) {
    IPacketManager* manager = IPacketManager::instance();
    EXPECT_EQ(manager, IPacketManager::instance());
    EXPECT_EQ(manager->GetBufferSize(), kPool ? kTotal : 0u);
    ::CPacket packet(100ul);
    if (kSetup.policy == 4) {
        EXPECT_TRUE(packet.Invalid());
        EXPECT_EQ(packet.GetBuffer(), nullptr);
        return;
    }
    ASSERT_TRUE(packet.Valid());
    const unsigned long header = kSetup.policy == 3 ? 64 : 128;
    EXPECT_EQ(packet.GetHeaderSize(), header);
    EXPECT_EQ(packet.GetLength(), 100ul);
    EXPECT_EQ(packet.GetLeft(), packet.GetSize() - 100);
    EXPECT_EQ(manager->GetFreeSize(), kPool ? kTotal - 1024 : 0u);
    std::memset(packet.GetHeader(), 0x5A, header);
    packet.ClearHeader();
    for (unsigned long i = 0; i < header; ++i) {
        ASSERT_EQ(packet.GetHeader()[i], 0);
    }
    EXPECT_EQ(packet.SetLength(10), 1ul);
    EXPECT_EQ(packet.PutBuffer(const_cast<char*>("abc"), 3), 3ul);
    EXPECT_EQ(packet.GetLength(), 13ul);
    EXPECT_EQ(packet.GetBuffer()[12], 'c');
    EXPECT_EQ(packet.SetLength(packet.GetSize() + 1), 0ul);
    if (sizeof(unsigned long) > 4) {
        // 4 GiB + 16 cut to 32 bits would be a valid 16-byte packet.
        EXPECT_TRUE(::CPacket(static_cast<unsigned long>((1ull << 32) + 16)).Invalid());
    }
    Capture capture;
    IPacketManager::config(kTotal, 1024, 300);
    EXPECT_EQ(capture.count("header size 300 refused"), 1);
    EXPECT_EQ(::CPacket(4ul).GetHeaderSize(), header);
    IPacketManager::config(kTotal, 1024, 16);
    EXPECT_EQ(::CPacket(4ul).GetHeaderSize(), 16ul);
    IPacketManager::config(kTotal, 1024, static_cast<int>(header));
    EXPECT_EQ(capture.count("has been configured!"), 3);
}

TEST_P(PacketPolicy, LegacyCopiesShareAndAssigningInvalidReleases) {
    DeleterLog log;
    int parameter = 0;
    static unsigned char block[64];
    {
        ::CPacket packet(64u, log.deleter(), &parameter);
        ASSERT_TRUE(packet.Valid());
        EXPECT_EQ(packet.PutBuffer(block, 64), 64ul);
        ::CPacket copy(packet);
        Packet inner = copy;
        ::CPacket wrapped(inner);
        ::CPacket assigned;
        assigned = packet;
        EXPECT_EQ(wrapped.GetBuffer(), block);
        EXPECT_EQ(assigned.GetBuffer(), block);
        packet = ::CPacket();
        EXPECT_TRUE(packet.Invalid());
        EXPECT_EQ(packet.GetSize() + packet.GetLength() + packet.GetLeft(), 0ul);
        EXPECT_EQ(packet.GetHeader(), nullptr);
        EXPECT_EQ(packet.PutBuffer(block, 3) + packet.SetLength(0), 0ul);
        packet.ClearHeader();
        EXPECT_FALSE(static_cast<Packet>(packet).valid());
        copy = ::CPacket();
        wrapped = ::CPacket(Packet());
        inner.reset();
        EXPECT_TRUE(log.calls.empty());
        assigned = packet;  // drops the last reference
        EXPECT_EQ(log.calls.size(), 1u);
    }
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0], std::make_pair(static_cast<void*>(&parameter), 64u));
}

TEST_P(PacketPolicy, SharedPacketsAreKeptAsTheyAre) {
    using Tovix::Memory::CSharePacketHelper;
    CSharePacketHelper* helper = CSharePacketHelper::instance();
    EXPECT_EQ(helper, CSharePacketHelper::instance());
    Tovix::Memory::BaseArg arg;
    EXPECT_FALSE(helper->initSharePacket(&arg));
    EXPECT_FALSE(helper->initSharePacket(nullptr));
    static char storage[16];
    Packet packet(storage, 16, 8, Packet::Deleter());
    Packet original = helper->toOriginalPacket(helper->toDescribePacket(packet));
    EXPECT_EQ(original.getBuffer(), packet.getBuffer());
    EXPECT_EQ(original.getExtraData(), packet.getExtraData());
    EXPECT_FALSE(helper->toOriginalPacket(Packet()).valid());
    CSharePacketHelper other;
    EXPECT_EQ(&(other = *helper), &other);
}

INSTANTIATE_TEST_SUITE_P(Packet, PacketPolicy, testing::Values(kSetup),
                         [](const testing::TestParamInfo<Setup>& info) {
                             return std::string(info.param.name);
                         });

#if MEMORY_TEST_SETUP == 2
TEST(PacketPoolDeathTest, UseOfPoolMemoryNotHandedOutIsReportedUnderAddressSanitizer) {
    if (!MemoryTest::kAddressSanitizer) {
        GTEST_SKIP() << "needs AddressSanitizer";
    }
    CPacketManager* manager = CPacketManager::instance();
    auto* p = static_cast<volatile unsigned char*>(manager->malloc(100));
    p[99] = 1;
    EXPECT_DEATH(p[100] = 2, "use-after-poison");  // past the request
    manager->free(const_cast<unsigned char*>(p));
    EXPECT_DEATH(p[0] = 2, "use-after-poison");
    volatile unsigned char* bytes = Packet(64, 0).getBuffer();
    EXPECT_DEATH(bytes[0] = 1, "use-after-poison");  // after the packet's last copy
}

namespace {

Packet* g_lateHolder = nullptr;

void dropLatePacket() {
    delete g_lateHolder;
    CPacketManager* manager = CPacketManager::instance();
#if defined(_WIN32)
    // A DLL's exit handlers run after the program's: the pool is still whole here and goes back
    // when the library is unloaded.
    const bool back = manager->getFreeSize() == manager->getBufferSize();
#else
    const bool back = manager->getPoolBuffer() == nullptr;
#endif
    std::fprintf(stderr, back ? "pool back after the last packet\n" : "pool kept\n");
}

}  // namespace

TEST(PacketPoolExitTest, PoolOutlivesPacketsReleasedAfterExitHandlersAndThenGoesBack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_EXIT(
        {
            std::atexit(&dropLatePacket);  // runs after the pool's own exit handler
            g_lateHolder = new Packet(100, 0);
            std::memset(g_lateHolder->getBuffer(), 1, 100);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "pool back after the last packet");
}

TEST(PacketPoolExitTest, ThreadsStillUsingPacketsAtExitAreSafe) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never a fork
    EXPECT_EXIT(
        {
            std::atomic<bool> started{false};
            std::thread([&started] {
                for (unsigned int i = 0;; ++i) {
                    Packet packet(100 + i % 5000, 8);
                    if (packet.valid()) {
                        std::memset(packet.getBuffer(), 3, packet.size());
                    }
                    started = true;
                }
            }).detach();
            while (!started) {
                std::this_thread::yield();
            }
            std::fprintf(stderr, "exiting with a busy thread\n");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "exiting with a busy thread");
}
#endif
