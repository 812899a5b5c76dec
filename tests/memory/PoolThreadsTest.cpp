// A buddy pool first used while the process runs one thread, then by several threads at once:
// no block is handed out twice, every byte written stays its owner's, and once everything is
// back the pool is one free run again.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "infra/Packet.h"
#include "infra/PacketManager.h"

using Tovix::Memory::CPacket;
using Tovix::Memory::CPacketManager;

namespace {

constexpr unsigned int kTotal = 1u << 20;
constexpr unsigned int kChunk = 1024;

const bool g_configured = [] {
    CPacketManager::PoolParameter param{kTotal, kChunk, 4};
    CPacketManager::config(CPacketManager::policyPool, nullptr, &param);
    return true;
}();

// The process's thread count as the system reports it, or -1 where it cannot be read.
int processThreads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 8, "Threads:") == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

std::uint8_t patternByte(std::uint32_t seed, std::size_t i) {
    return static_cast<std::uint8_t>((seed * 2654435761u + i * 131u) >> 5);
}

void fill(unsigned char* p, unsigned int n, std::uint32_t seed) {
    for (unsigned int i = 0; i < n; ++i) {
        p[i] = patternByte(seed, i);
    }
}

bool holds(const unsigned char* p, unsigned int n, std::uint32_t seed) {
    for (unsigned int i = 0; i < n; ++i) {
        if (p[i] != patternByte(seed, i)) {
            return false;
        }
    }
    return true;
}

// The blocks handed out and not yet given back, by address: a block given to two owners at
// once shows as an overlap.
class Ledger {
public:
    // False when [p, p + n) overlaps a block already in the ledger.
    bool take(void* p, unsigned int n) {
        const auto at = reinterpret_cast<std::uintptr_t>(p);
        std::lock_guard<std::mutex> lock(m_mutex);
        auto next = m_blocks.lower_bound(at);
        if (next != m_blocks.end() && next->first < at + n) {
            return false;
        }
        if (next != m_blocks.begin()) {
            auto previous = std::prev(next);
            if (previous->first + previous->second > at) {
                return false;
            }
        }
        m_blocks.emplace(at, n);
        return true;
    }
    void give(void* p) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_blocks.erase(reinterpret_cast<std::uintptr_t>(p));
    }

private:
    std::mutex m_mutex;
    std::map<std::uintptr_t, unsigned int> m_blocks;
};

struct Held {
    void* block;
    unsigned int size;
    std::uint32_t seed;
};

// Takes and gives back blocks of random sizes; returns the faults seen (overlaps, altered
// bytes). Failed requests (the pool may run short while others hold much) are counted apart.
int hammer(CPacketManager* manager, Ledger* ledger, std::uint32_t seed, int steps,
           std::atomic<int>* shortOfMemory) {
    std::mt19937 random(seed);
    std::vector<Held> held;
    int faults = 0;
    std::uint32_t next = seed << 16;
    for (int step = 0; step < steps; ++step) {
        if (held.size() < 12 && (held.empty() || random() % 2 == 0)) {
            // Mostly small requests, now and then one of many chunks.
            const unsigned int size =
                random() % 8 == 0 ? 1u + random() % (16 * kChunk) : 1u + random() % (2 * kChunk);
            void* p = manager->malloc(size);
            if (p == nullptr) {
                ++*shortOfMemory;
                continue;
            }
            if (!ledger->take(p, size)) {
                ++faults;
            }
            fill(static_cast<unsigned char*>(p), size, ++next);
            held.push_back(Held{p, size, next});
        } else {
            const std::size_t victim = random() % held.size();
            const Held h = held[victim];
            held[victim] = held.back();
            held.pop_back();
            faults += holds(static_cast<unsigned char*>(h.block), h.size, h.seed) ? 0 : 1;
            ledger->give(h.block);
            manager->free(h.block);
        }
    }
    for (const Held& h : held) {
        faults += holds(static_cast<unsigned char*>(h.block), h.size, h.seed) ? 0 : 1;
        ledger->give(h.block);
        manager->free(h.block);
    }
    return faults;
}

// The pool is used alone first: blocks taken and given back, a few kept, and the last request
// splits a large run (its split is carried out by whichever thread comes next).
std::vector<Held> useAlone(CPacketManager* manager, Ledger* ledger) {
    std::vector<Held> kept;
    for (int i = 0; i < 20; ++i) {
        void* p = manager->malloc(100u + 700u * static_cast<unsigned int>(i));
        EXPECT_NE(p, nullptr);
        if (i % 3 == 0) {
            EXPECT_TRUE(ledger->take(p, 100u + 700u * static_cast<unsigned int>(i)));
            fill(static_cast<unsigned char*>(p), 100u + 700u * static_cast<unsigned int>(i),
                 static_cast<std::uint32_t>(i));
            kept.push_back(
                Held{p, 100u + 700u * static_cast<unsigned int>(i), static_cast<std::uint32_t>(i)});
        } else {
            manager->free(p);
        }
    }
    void* last = manager->malloc(kChunk);
    EXPECT_NE(last, nullptr);
    EXPECT_TRUE(ledger->take(last, kChunk));
    fill(static_cast<unsigned char*>(last), kChunk, 777u);
    kept.push_back(Held{last, kChunk, 777u});
    return kept;
}

void expectWholePool(CPacketManager* manager) {
    EXPECT_EQ(manager->getFreeSize(), kTotal);
    // Everything merged back: the whole pool can be taken in one request.
    void* all = manager->malloc(kTotal);
    EXPECT_NE(all, nullptr);
    manager->free(all);
    EXPECT_EQ(manager->getFreeSize(), kTotal);
}

}  // namespace

TEST(PoolThreads, PoolFirstUsedAloneStaysConsistentUnderThreads) {
    ASSERT_TRUE(g_configured);
    const int threadsAtStart = processThreads();
    if (threadsAtStart >= 0) {
        // The point of the test: the first use happens while this is the only thread.
        ASSERT_EQ(threadsAtStart, 1);
    }
    CPacketManager* manager = CPacketManager::instance();
    ASSERT_EQ(manager->getBufferSize(), kTotal);
    const unsigned int start = manager->getFreeSize();
    ASSERT_EQ(start, kTotal);
    Ledger ledger;
    std::vector<Held> kept = useAlone(manager, &ledger);

    std::atomic<int> faults{0};
    std::atomic<int> shortOfMemory{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            faults += hammer(manager, &ledger, 100u + static_cast<std::uint32_t>(t), 4000,
                             &shortOfMemory);
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(faults.load(), 0);
    for (const Held& h : kept) {
        EXPECT_TRUE(holds(static_cast<unsigned char*>(h.block), h.size, h.seed));
        ledger.give(h.block);
        manager->free(h.block);
    }
    expectWholePool(manager);
}

TEST(PoolThreads, ThreadsEndingWhileOthersRunLeaveThePoolWhole) {
    CPacketManager* manager = CPacketManager::instance();
    Ledger ledger;
    std::vector<Held> kept = useAlone(manager, &ledger);
    std::atomic<int> faults{0};
    std::atomic<int> shortOfMemory{0};
    std::vector<std::thread> steady;
    for (int t = 0; t < 2; ++t) {
        steady.emplace_back([&, t] {
            faults += hammer(manager, &ledger, 200u + static_cast<std::uint32_t>(t), 6000,
                             &shortOfMemory);
        });
    }
    for (int wave = 0; wave < 8; ++wave) {
        std::vector<std::thread> shortLived;
        for (int t = 0; t < 2; ++t) {
            shortLived.emplace_back([&, wave, t] {
                faults += hammer(manager, &ledger, 300u + static_cast<std::uint32_t>(wave * 4 + t),
                                 400, &shortOfMemory);
            });
        }
        for (std::thread& th : shortLived) {
            th.join();
        }
    }
    for (std::thread& th : steady) {
        th.join();
    }
    EXPECT_EQ(faults.load(), 0);
    for (const Held& h : kept) {
        EXPECT_TRUE(holds(static_cast<unsigned char*>(h.block), h.size, h.seed));
        manager->free(h.block);
    }
    expectWholePool(manager);
}

TEST(PoolThreads, PacketsFromThePoolOnManyThreadsComeBackAtOnce) {
    CPacketManager* manager = CPacketManager::instance();
    {
        // First use alone, one packet left alive across the threads' work.
        CPacket alone(3000, 16);
        ASSERT_TRUE(alone.valid());
        CPacket survivor(500, 0);
        ASSERT_TRUE(survivor.valid());
        fill(survivor.getBuffer(), survivor.capacity(), 42u);
        std::atomic<int> faults{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&faults, t] {
                std::mt19937 random(static_cast<std::uint32_t>(t));
                std::vector<std::pair<CPacket, std::uint32_t>> live;
                for (int i = 0; i < 3000; ++i) {
                    CPacket packet(1u + random() % 6000, random() % 32);
                    if (!packet.valid()) {
                        continue;
                    }
                    const std::uint32_t seed = static_cast<std::uint32_t>(t * 100000 + i);
                    fill(packet.getBuffer(), packet.capacity(), seed);
                    live.emplace_back(packet, seed);
                    if (live.size() > 8) {
                        const auto& oldest = live.front();
                        faults +=
                            holds(oldest.first.getBuffer(), oldest.first.capacity(), oldest.second)
                                ? 0
                                : 1;
                        live.erase(live.begin());
                    }
                }
            });
        }
        for (std::thread& th : threads) {
            th.join();
        }
        EXPECT_EQ(faults.load(), 0);
        EXPECT_TRUE(holds(survivor.getBuffer(), survivor.capacity(), 42u));
    }
    // Pool blocks are never kept back for reuse: all of them are free again right away.
    expectWholePool(manager);
}
