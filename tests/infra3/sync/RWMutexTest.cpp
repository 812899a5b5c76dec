// The read-write mutex: the orders both strategies promise, observed with threads (sleeps are
// generous and only orders are asserted), and its reports.
#include "infra/RWMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "support/LogCapture.h"

using Tovix::Infra::CReadWriteMutex;

namespace {

void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

// A thread that asks for a hold (constructed once it has asked and the others have settled),
// notes when it got in and out on a shared counter, and leaves once released.
struct Actor {
    std::atomic<bool> asked{false}, release{false};
    std::atomic<int> in{0}, out{0};
    std::thread thread;
    Actor(CReadWriteMutex& lock, bool write, std::atomic<int>& clock)
        : thread([this, &lock, write, &clock] {
              asked = true;
              write ? lock.enterWriting() : lock.enterReading();
              in = ++clock;
              while (!release) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
              out = ++clock;
              EXPECT_TRUE(lock.leave());
          }) {
        while (!asked) {
            std::this_thread::yield();
        }
        settle();
    }
    ~Actor() {
        release = true;
        thread.join();
    }
    void leave() {
        release = true;
        settle();
    }
};

}  // namespace

TEST(RWMutexTest, WritersWaitForTheReadersInsideAndNewReadersWaitBehindThemTogether) {
    for (auto priority : {CReadWriteMutex::priorityDefault, CReadWriteMutex::priorityWriter}) {
        CReadWriteMutex lock(priority);
        std::atomic<int> clock{0};
        Actor r1(lock, false, clock), r2(lock, false, clock);
        EXPECT_TRUE(r1.in && r2.in);                         // readers share the lock
        Actor w(lock, true, clock), r3(lock, false, clock);  // r3 finds the lock in read mode
        Actor r4(lock, false, clock);
        EXPECT_FALSE(w.in || r3.in || r4.in);
        r1.leave();
        EXPECT_FALSE(w.in || r3.in);
        r2.leave();
        EXPECT_GT(w.in, r2.out);
        EXPECT_FALSE(r3.in || r4.in);
        w.leave();  // the waiting readers get in together
        EXPECT_TRUE(r3.in > w.out && r4.in > w.out) << priority;
    }
}

TEST(RWMutexTest, HoldsTakenDirectlyOrByStandardLocksAreReleasedOnceAndMisuseIsReported) {
    TestSupport::LogCapture capture;
    CReadWriteMutex plain(static_cast<CReadWriteMutex::RWPriority>(5));  // as priorityDefault
    EXPECT_TRUE(capture.contains("RWMutex.cpp:"));                       // with the source position
    EXPECT_TRUE(capture.contains("Input rwpriority level error, priorityDefault used!\n"));
    CReadWriteMutex writerFirst(CReadWriteMutex::priorityWriter);
    const std::string before = capture.text();
    EXPECT_FALSE(writerFirst.leave());
    EXPECT_EQ(capture.text(), before);  // no message in this strategy
    EXPECT_FALSE(plain.leave());
    EXPECT_TRUE(capture.contains("No lock, maybe err\n"));
    for (CReadWriteMutex* lock : {&plain, &writerFirst}) {
        {  // std::shared_lock takes a read hold, std::unique_lock the write hold
            std::shared_lock<CReadWriteMutex> reading(*lock), alsoReading(*lock);
        }
        EXPECT_FALSE(lock->leave());
        { std::unique_lock<CReadWriteMutex> writing(*lock); }
        EXPECT_FALSE(lock->leave());
    }
    ASSERT_TRUE(plain.enterWriting());
    std::thread([&] { EXPECT_FALSE(plain.leave()); }).join();  // only the writer releases it
    EXPECT_TRUE(plain.leave());
    {
        CReadWriteMutex held;
        held.enterReading();
        held.enterReading();
        CReadWriteMutex written;
        written.enterWriting();
    }
    EXPECT_TRUE(capture.contains("has lock Read count(2), maybe err\n"));
    EXPECT_TRUE(capture.contains("has lock write, maybe err\n"));
}
