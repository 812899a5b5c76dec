// On the library's own heap each thread hands the small blocks it frees to its next packets of
// the same size: no live packet ever shares bytes with another, across threads and thread ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "infra/Packet.h"
#include "infra/Thread.h"

#if defined(_WIN32)
#include <windows.h>
#endif
// C11 thread storage: its destructors run after a thread's C++ thread-local destructors.
#if defined(__GLIBC__) && __has_include(<threads.h>)
#include <threads.h>
#define MEMORY_TEST_C11_THREADS 1
#endif

using Tovix::Memory::CPacket;

namespace {

std::atomic<int> g_altered{0};

// A packet filled with one byte of its own, data and extra area, that counts itself altered when
// that byte is gone as it is dropped.
struct Checked {
    CPacket packet;
    unsigned char mark;
    Checked(CPacket p, unsigned int m) : packet(p), mark(static_cast<unsigned char>(m)) {
        std::fill_n(packet.getBuffer(), packet.capacity(), mark);
        std::fill_n(static_cast<unsigned char*>(packet.getExtraData()), packet.getExtraSize(),
                    mark);
    }
    ~Checked() {
        const auto* extra = static_cast<const unsigned char*>(packet.getExtraData());
        g_altered += std::count(packet.getBuffer(), packet.getBuffer() + packet.capacity(), mark) +
                                 std::count(extra, extra + packet.getExtraSize(), mark) ==
                             std::ptrdiff_t(packet.capacity() + packet.getExtraSize())
                         ? 0
                         : 1;
    }
};

}  // namespace

TEST(PacketRecycling, PacketsMadeOnOneThreadAndDroppedOnAnotherNeverShareBytes) {
    // Sizes below, at and above the largest block a thread keeps (8 KiB with extra area and
    // record), made in turns by two threads that each drop what the other made; copies and
    // windows keep a block from being handed out again.
    static const unsigned int kSizes[] = {1, 100, 4096, 8100, 8150, 8168, 8176, 8184, 8192, 8300};
    std::vector<Checked> made[2];
    for (int round = 0; round < 40; ++round) {
        std::vector<Checked>& mine = made[round % 2];
        std::thread([&mine, round] {
            mine.clear();
            for (int i = 0; i < 30; ++i) {
                mine.emplace_back(CPacket(kSizes[(i + round) % 10], i % 3 * 16), i + round);
                mine.emplace_back(CPacket(CPacket(mine.back().packet), 0, 1, 0), i + round);
            }
        }).join();
    }
    made[0].clear();
    made[1].clear();
    EXPECT_EQ(g_altered.load(), 0);
}

TEST(PacketRecycling, PacketsDroppedWhileAThreadEndsGoBackWhole) {
#if defined(__MINGW32__)
    // This runtime frees a thread's thread-local storage before it runs the destructors of the
    // C++ thread-local objects in it: the test's own holders would be destroyed in freed memory.
    GTEST_SKIP() << "thread-local objects are destroyed after their storage is freed here";
#endif
#if defined(MEMORY_TEST_C11_THREADS)
    // Thread-storage destructors run after the thread gave its kept blocks back: a block first
    // released there must go straight to the heap (the leak check reports it otherwise).
    tss_t key;
    ASSERT_EQ(tss_create(&key, [](void* value) { delete static_cast<Checked*>(value); }),
              thrd_success);
#endif
    for (int round = 0; round < 8; ++round) {
        std::thread([&] {
            // Dropped before or after the thread's kept blocks are given back.
            thread_local std::vector<Checked> early;
            if (round % 2 == 0) {
                early.emplace_back(CPacket(200, 8), 11);
            }
            for (unsigned int size : {10u, 20u, 30u, 40u, 50u, 60u}) {  // more than are kept
                Checked(CPacket(size, 0), 1);
            }
            thread_local std::vector<Checked> late;
            late.emplace_back(CPacket(300, 0), 99);
            Checked(CPacket(300, 0), 5);
#if defined(MEMORY_TEST_C11_THREADS)
            tss_set(key, new Checked(CPacket(256, 0), 3));
#endif
        }).join();
    }
#if defined(MEMORY_TEST_C11_THREADS)
    tss_delete(key);
#endif
    EXPECT_EQ(g_altered.load(), 0);
}

#if defined(_WIN32)
namespace {

// A packet a library thread leaves to a fiber-local slot whose callback runs after the library's
// own: the thread's kept blocks are gone by then, while its thread-local variables still live.
struct LateDrop : Tovix::Infra::CThread {
    LateDrop() : CThread("LateDrop") {}
    ~LateDrop() override { destroyThread(); }
    void threadProc() override {
        for (int i = 0; i < 8; ++i) {
            Checked(CPacket(256, 0), 1);
        }
        FlsSetValue(slot, new Checked(CPacket(256, 0), 21));
    }
    static void NTAPI drop(void* value) {
        delete static_cast<Checked*>(value);
        delete new Checked(CPacket(256, 0), 22);  // made and dropped by an ending thread
        ++done;
    }
    static inline DWORD slot = FLS_OUT_OF_INDEXES;
    static inline std::atomic<int> done{0};
};

}  // namespace

TEST(PacketRecycling, PacketsDroppedAfterAThreadGaveItsBlocksBackGoStraightToTheHeap) {
    CPacket first(64, 0);  // the library's own slot is taken first: this one comes after it
    LateDrop::slot = FlsAlloc(&LateDrop::drop);
    ASSERT_NE(LateDrop::slot, FLS_OUT_OF_INDEXES);
    for (int round = 1; round <= 4; ++round) {
        ASSERT_TRUE(LateDrop().createThread());
        for (int wait = 0; wait < 3000 && LateDrop::done < round; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(LateDrop::done.load(), round);
    }
    FlsFree(LateDrop::slot);
    EXPECT_EQ(g_altered.load(), 0);
}
#endif
