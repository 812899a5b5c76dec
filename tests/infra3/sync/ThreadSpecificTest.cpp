// Thread-local slots.
#include "infra/ThreadSpecific.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace Tovix::Infra;

TEST(ThreadSpecific, UnsetValueIsNullOnEveryThread) {
    CThreadSpecific slot;
    ASSERT_TRUE(slot.valid());
    int local = 0;
    ASSERT_TRUE(slot.setValue(&local));
    void* other = &local;
    bool ok = false;
    std::thread([&] { ok = slot.getValue(&other); }).join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(other, nullptr);
    void* mine = nullptr;
    EXPECT_TRUE(slot.getValue(&mine));
    EXPECT_EQ(mine, &local);
}

TEST(ThreadSpecific, EachThreadKeepsItsOwnValue) {
    CThreadSpecific slot;
    std::vector<std::thread> threads;
    std::vector<int> values(6);
    std::vector<int> matched(6, 0);  // not vector<bool>: its bits share words
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) {
                slot.setValue(&values[t]);
                void* got = nullptr;
                slot.getValue(&got);
                if (got != &values[t]) {
                    return;
                }
            }
            matched[t] = 1;
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int m : matched) {
        EXPECT_EQ(m, 1);
    }
}

TEST(ThreadSpecific, ManySlotsAreIndependent) {
    std::vector<CThreadSpecific*> slots;
    for (int i = 0; i < 64; ++i) {
        slots.push_back(new CThreadSpecific);
        ASSERT_TRUE(slots.back()->valid());
        slots.back()->setValue(reinterpret_cast<void*>(static_cast<uintptr_t>(i + 1)));
    }
    for (int i = 0; i < 64; ++i) {
        void* v = nullptr;
        ASSERT_TRUE(slots[i]->getValue(&v));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(v), static_cast<uintptr_t>(i + 1));
        delete slots[i];
    }
}
