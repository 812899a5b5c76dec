// Under the default configuration (system policy, the library's own heap) each thread hands the
// small blocks it frees to its next packets of the same size: no live packet ever shares bytes
// with another, across copies, sizes, threads and thread ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
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

std::uint8_t patternByte(std::uint32_t seed, std::size_t i) {
    return static_cast<std::uint8_t>((seed * 2654435761u + i * 131u + (i >> 8)) >> 3);
}

// Writes `seed`'s pattern over the whole capacity and the extra area.
void fill(const CPacket& packet, std::uint32_t seed) {
    auto* extra = static_cast<unsigned char*>(packet.getExtraData());
    for (std::size_t i = 0; i < packet.capacity() || (extra && i < packet.getExtraSize()); ++i) {
        if (i < packet.capacity()) {
            packet.getBuffer()[i] = patternByte(seed, i);
        }
        if (extra != nullptr && i < packet.getExtraSize()) {
            extra[i] = patternByte(~seed, i);
        }
    }
}

// True when the packet still holds `seed`'s pattern.
bool holds(const CPacket& packet, std::uint32_t seed) {
    const auto* extra = static_cast<const unsigned char*>(packet.getExtraData());
    for (std::size_t i = 0; i < packet.capacity(); ++i) {
        if (packet.getBuffer()[i] != patternByte(seed, i) ||
            (extra != nullptr && i < packet.getExtraSize() && extra[i] != patternByte(~seed, i))) {
            return false;
        }
    }
    return true;
}

struct Live {
    CPacket packet;
    std::uint32_t seed;
};

// Sizes below, at and above the largest block a thread keeps (8 KiB with extra area and record).
const unsigned int kSizes[] = {1, 100, 4096, 8100, 8128, 8150, 8168, 8176, 8184, 8192, 8300};

// Makes, checks and drops packets at random, keeping up to 24 alive and handing some to the
// exchange, from which other threads drop them; returns the packets found altered.
int churn(std::uint32_t seed, int steps, std::vector<Live>* exchange, std::mutex* mutex) {
    std::mt19937 random(seed);
    std::vector<Live> live;
    int altered = 0;
    for (int step = 0; step < steps; ++step) {
        if (live.size() < 24 && random() % 3 != 0) {
            CPacket packet(kSizes[random() % 11], random() % 3 * 16);
            if (!packet.valid()) {
                ++altered;
                continue;
            }
            fill(packet, ++seed);
            live.push_back(Live{packet, seed});
        } else if (!live.empty()) {
            const std::size_t at = random() % live.size();
            Live l = live[at];
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
            altered += holds(l.packet, l.seed) ? 0 : 1;
            std::lock_guard<std::mutex> lock(*mutex);
            exchange->push_back(l);
            std::swap(exchange->front(), exchange->back());
            if (exchange->size() > 16) {
                altered += holds(exchange->back().packet, exchange->back().seed) ? 0 : 1;
                exchange->pop_back();
            }
        }
    }
    for (const Live& l : live) {
        altered += holds(l.packet, l.seed) ? 0 : 1;
    }
    return altered;
}

}  // namespace

TEST(PacketRecycling, ABlockComesBackOnlyAfterItsLastCopyIsGone) {
    for (unsigned int size : {64u, 8000u}) {
        CPacket first(size, 0);
        fill(first, 1);
        CPacket copy(first);
        unsigned char* const block = first.getBuffer();
        first.reset();
        CPacket second(size, 0);  // a copy still holds the block
        EXPECT_NE(second.getBuffer(), block);
        CPacket window(copy, 0, size, 0);  // and a window keeps its parent's
        copy.reset();
        CPacket third(size, 0);
        EXPECT_NE(third.getBuffer(), block);
        fill(second, 2);
        fill(third, 3);
        for (unsigned int i = 0; i < size; ++i) {
            ASSERT_EQ(window.getBuffer()[i], patternByte(1, i));
        }
    }
}

TEST(PacketRecycling, ThreadsChurningAndPassingPacketsNeverSeeEachOthersBytes) {
    std::atomic<int> altered{0};
    std::vector<Live> exchange;
    std::mutex mutex;
    altered += churn(1, 3000, &exchange, &mutex);  // one thread alone first
    std::vector<std::thread> steady;
    for (std::uint32_t t = 0; t < 3; ++t) {
        steady.emplace_back([&, t] { altered += churn(1000 * t, 3000, &exchange, &mutex); });
    }
    for (std::uint32_t wave = 0; wave < 6; ++wave) {  // short-lived threads come and go
        std::thread([&, wave] { altered += churn(5000 + wave, 300, &exchange, &mutex); }).join();
    }
    for (std::thread& th : steady) {
        th.join();
    }
    for (const Live& l : exchange) {
        altered += holds(l.packet, l.seed) ? 0 : 1;
    }
    EXPECT_EQ(altered.load(), 0);
}

namespace {

// Holds a packet until its thread ends.
struct ThreadHeld {
    CPacket packet;
    std::uint32_t seed = 0;
    std::atomic<int>* altered = nullptr;
    ~ThreadHeld() {
        if (altered != nullptr && !holds(packet, seed)) {
            ++*altered;
        }
    }
};

}  // namespace

TEST(PacketRecycling, PacketsDroppedWhileAThreadEndsGoBackWhole) {
#if defined(__MINGW32__)
    // This runtime frees a thread's thread-local storage before it runs the destructors of the
    // C++ thread-local objects in it: the test's own holders would be destroyed in freed memory.
    GTEST_SKIP() << "thread-local objects are destroyed after their storage is freed here";
#endif
    std::atomic<int> altered{0};
    for (std::uint32_t round = 0; round < 8; ++round) {
        std::thread([round, &altered] {
            // Dropped before or after the thread's kept blocks are given back.
            thread_local ThreadHeld early;
            if (round % 2 == 0) {
                early.packet = CPacket(200, 8);
                early.seed = 11 + round;
                early.altered = &altered;
                fill(early.packet, early.seed);
            }
            for (unsigned int size : {10u, 20u, 30u, 40u, 50u, 60u}) {  // more than are kept
                fill(CPacket(size, 0), size);
            }
            thread_local ThreadHeld late;
            late.packet = CPacket(300, 0);
            late.seed = 99 + round;
            late.altered = &altered;
            fill(late.packet, late.seed);
            fill(CPacket(300, 0), 5);
        }).join();
    }
    EXPECT_EQ(altered.load(), 0);
}

#if defined(MEMORY_TEST_C11_THREADS)
TEST(PacketRecycling, PacketFirstDroppedByAThreadStorageDestructorIsNotLost) {
    // Thread-storage destructors run after the thread gave its kept blocks back: a block
    // released there must go straight to the heap (the leak check of the sanitizer build
    // reports it otherwise).
    tss_t key;
    ASSERT_EQ(tss_create(&key, [](void* value) { delete static_cast<CPacket*>(value); }),
              thrd_success);
    for (int i = 0; i < 4; ++i) {
        std::thread([key] {
            auto* packet = new CPacket(256, 0);
            fill(*packet, 3);
            tss_set(key, packet);
        }).join();
    }
    tss_delete(key);
}
#endif

#if defined(_WIN32)
namespace {

// A packet a library thread leaves to a fiber-local slot whose callback runs after the library's
// own: the thread's kept blocks are gone by then, while its thread-local variables still live.
struct LateDrop {
    CPacket packet;
    bool sound = false;
    std::atomic<bool> done{false};
};

DWORD g_lateSlot = FLS_OUT_OF_INDEXES;

void NTAPI dropLatePacket(void* value) {
    LateDrop* late = static_cast<LateDrop*>(value);
    late->sound = holds(late->packet, 21);
    late->packet.reset();
    CPacket again(256, 0);  // made and dropped by an ending thread: straight from and to the heap
    fill(again, 22);
    late->sound = late->sound && holds(again, 22);
    late->done = true;
}

class LateDropThread : public Tovix::Infra::CThread {
public:
    explicit LateDropThread(LateDrop* late) : CThread("LateDrop"), m_late(late) {}
    ~LateDropThread() override { destroyThread(); }

private:
    void threadProc() override {
        for (std::uint32_t i = 0; i < 8; ++i) {
            fill(CPacket(256, 0), i);
        }
        m_late->packet = CPacket(256, 0);
        fill(m_late->packet, 21);
        FlsSetValue(g_lateSlot, m_late);
    }
    LateDrop* m_late;
};

}  // namespace

TEST(PacketRecycling, PacketsDroppedAfterAThreadGaveItsBlocksBackGoStraightToTheHeap) {
    CPacket first(64, 0);  // the library's own slot is taken first: this one comes after it
    g_lateSlot = FlsAlloc(&dropLatePacket);
    ASSERT_NE(g_lateSlot, FLS_OUT_OF_INDEXES);
    for (int round = 0; round < 4; ++round) {
        LateDrop late;
        {
            LateDropThread thread(&late);
            ASSERT_TRUE(thread.createThread());
        }
        for (int wait = 0; wait < 3000 && !late.done; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(late.done);
        EXPECT_TRUE(late.sound);
    }
    FlsFree(g_lateSlot);
}
#endif
