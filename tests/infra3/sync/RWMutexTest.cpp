// The read-write mutex: the orders both strategies promise, observed with threads. Sleeps are
// generous and only orders are asserted.
#include "infra/RWMutex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "infra/Function.h"
#include "infra/PrintLog.h"
#include "support/LogCapture.h"

using Tovix::Infra::CReadWriteMutex;
using Tovix::Infra::TFunction1;

namespace {

constexpr auto kSettle = std::chrono::milliseconds(200);

// The order in which things happened, across threads.
class EventLog {
public:
    void add(const std::string& event) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_events.push_back(event);
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_events;
    }
    bool has(const std::string& event) {
        const std::vector<std::string> all = events();
        return std::find(all.begin(), all.end(), event) != all.end();
    }
    // Position of `event`; fails the test when it never happened.
    std::size_t at(const std::string& event) {
        const std::vector<std::string> all = events();
        const auto it = std::find(all.begin(), all.end(), event);
        EXPECT_NE(it, all.end()) << event;
        return static_cast<std::size_t>(it - all.begin());
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

using TestSupport::LogCapture;

// A thread that takes a hold, records "<name> in", waits for release(), records "<name> out"
// and leaves.
class Holder {
public:
    Holder(CReadWriteMutex& lock, EventLog& log, std::string name, bool writer)
        : m_thread([this, &lock, &log, name, writer] {
              log.add(name + " asks");
              if (writer) {
                  lock.enterWriting();
              } else {
                  lock.enterReading();
              }
              log.add(name + " in");
              m_release.get_future().wait();
              log.add(name + " out");
              EXPECT_TRUE(lock.leave());
          }) {}
    ~Holder() { join(); }
    void release() { m_release.set_value(); }
    void join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    std::promise<void> m_release;
    std::thread m_thread;
};

void waitFor(EventLog& log, const std::string& event) {
    for (int i = 0; i < 3000 && !log.has(event); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(log.has(event)) << event;
}

TEST(RWMutexTest, DefaultWriterWaitsForReadersInsideAndStopsNewOnes) {
    CReadWriteMutex lock;
    EventLog log;
    Holder r1(lock, log, "R1", false);
    Holder r2(lock, log, "R2", false);
    waitFor(log, "R1 in");
    waitFor(log, "R2 in");
    Holder w(lock, log, "W", true);
    waitFor(log, "W asks");
    std::this_thread::sleep_for(kSettle);
    Holder r3(lock, log, "R3", false);
    waitFor(log, "R3 asks");
    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(log.has("W in"));
    EXPECT_FALSE(log.has("R3 in"));

    r1.release();
    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(log.has("W in"));
    r2.release();
    waitFor(log, "W in");
    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(log.has("R3 in"));
    w.release();
    r3.release();
    r1.join();
    r2.join();
    w.join();
    r3.join();
    EXPECT_LT(log.at("R1 out"), log.at("W in"));
    EXPECT_LT(log.at("R2 out"), log.at("W in"));
    EXPECT_LT(log.at("W out"), log.at("R3 in"));
}

TEST(RWMutexTest, DefaultReadersShareTheLock) {
    CReadWriteMutex lock(CReadWriteMutex::priorityDefault);
    EventLog log;
    Holder r1(lock, log, "R1", false);
    waitFor(log, "R1 in");
    Holder r2(lock, log, "R2", false);
    waitFor(log, "R2 in");
    r1.release();
    r2.release();
}

TEST(RWMutexTest, WriterPriorityStopsReadersBehindAWaitingWriter) {
    CReadWriteMutex lock(CReadWriteMutex::priorityWriter);
    EventLog log;
    Holder r1(lock, log, "R1", false);
    waitFor(log, "R1 in");
    Holder w(lock, log, "W", true);
    waitFor(log, "W asks");
    std::this_thread::sleep_for(kSettle);
    // The lock is in read mode, yet the second reader waits behind the writer.
    Holder r2(lock, log, "R2", false);
    waitFor(log, "R2 asks");
    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(log.has("R2 in"));
    EXPECT_FALSE(log.has("W in"));

    r1.release();
    waitFor(log, "W in");
    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(log.has("R2 in"));
    w.release();
    waitFor(log, "R2 in");
    r2.release();
    r1.join();
    w.join();
    r2.join();
    EXPECT_LT(log.at("R1 out"), log.at("W in"));
    EXPECT_LT(log.at("W out"), log.at("R2 in"));
}

TEST(RWMutexTest, WriterPriorityHandsOverToOneWriterAtATime) {
    CReadWriteMutex lock(CReadWriteMutex::priorityWriter);
    EventLog log;
    Holder r1(lock, log, "R1", false);
    waitFor(log, "R1 in");
    Holder wa(lock, log, "WA", true);
    Holder wb(lock, log, "WB", true);
    waitFor(log, "WA asks");
    waitFor(log, "WB asks");
    std::this_thread::sleep_for(kSettle);
    Holder r2(lock, log, "R2", false);
    waitFor(log, "R2 asks");
    std::this_thread::sleep_for(kSettle);

    r1.release();
    // Exactly one writer gets the lock.
    for (int i = 0; i < 600 && !log.has("WA in") && !log.has("WB in"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(kSettle);
    const bool aFirst = log.has("WA in");
    EXPECT_NE(aFirst, log.has("WB in"));
    Holder& first = aFirst ? wa : wb;
    Holder& second = aFirst ? wb : wa;
    const std::string firstName = aFirst ? "WA" : "WB";
    const std::string secondName = aFirst ? "WB" : "WA";

    first.release();
    waitFor(log, secondName + " in");
    std::this_thread::sleep_for(kSettle);
    // The reader still waits: the lock went from one writer to the other.
    EXPECT_FALSE(log.has("R2 in"));
    second.release();
    waitFor(log, "R2 in");
    r2.release();
    r1.join();
    wa.join();
    wb.join();
    r2.join();
    EXPECT_LT(log.at(firstName + " out"), log.at(secondName + " in"));
    EXPECT_LT(log.at(secondName + " out"), log.at("R2 in"));
}

TEST(RWMutexTest, WriterPriorityReleasesWaitingReadersTogether) {
    CReadWriteMutex lock(CReadWriteMutex::priorityWriter);
    EventLog log;
    Holder w(lock, log, "W", true);
    waitFor(log, "W in");
    constexpr int kReaders = 4;
    std::atomic<int> entered{0};
    std::atomic<bool> allInsideAtOnce{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&] {
            lock.enterReading();
            entered.fetch_add(1);
            // Stay until every reader is in (or give up after a long while).
            for (int k = 0; k < 2000 && entered.load() < kReaders; ++k) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            if (entered.load() == kReaders) {
                allInsideAtOnce = true;
            }
            lock.leave();
        });
    }
    std::this_thread::sleep_for(kSettle);
    EXPECT_EQ(entered.load(), 0);
    w.release();
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_TRUE(allInsideAtOnce.load());
}

TEST(RWMutexTest, LeaveOnAFreeLockFails) {
    LogCapture capture;
    CReadWriteMutex plain;
    EXPECT_FALSE(plain.leave());
    EXPECT_NE(capture.text().find("No lock, maybe err\n"), std::string::npos);

    const std::string before = capture.text();
    CReadWriteMutex writerFirst(CReadWriteMutex::priorityWriter);
    EXPECT_FALSE(writerFirst.leave());
    EXPECT_EQ(capture.text(), before);  // no message in this strategy

    // Each hold is released once.
    for (CReadWriteMutex* lock : {&plain, &writerFirst}) {
        EXPECT_TRUE(lock->enterReading());
        EXPECT_TRUE(lock->enterReading());
        EXPECT_TRUE(lock->leave());
        EXPECT_TRUE(lock->leave());
        EXPECT_FALSE(lock->leave());
        EXPECT_TRUE(lock->enterWriting());
        EXPECT_TRUE(lock->leave());
        EXPECT_FALSE(lock->leave());
    }
}

TEST(RWMutexTest, OnlyTheWriterReleasesTheWriteHold) {
    CReadWriteMutex lock;
    ASSERT_TRUE(lock.enterWriting());
    bool otherResult = true;
    std::thread other([&] { otherResult = lock.leave(); });
    other.join();
    EXPECT_FALSE(otherResult);
    EXPECT_TRUE(lock.leave());
}

TEST(RWMutexTest, InvalidPriorityFallsBackToDefault) {
    LogCapture capture;
    CReadWriteMutex lock(static_cast<CReadWriteMutex::RWPriority>(5));
    const std::string text = capture.text();
    EXPECT_NE(text.find("Input rwpriority level error, priorityDefault used!\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("RWMutex.cpp:"), std::string::npos) << text;
    // Only the default strategy reports a leave without a hold.
    EXPECT_FALSE(lock.leave());
    EXPECT_NE(capture.text().find("No lock, maybe err\n"), std::string::npos);
}

TEST(RWMutexTest, DestroyingAHeldDefaultLockIsReported) {
    LogCapture capture;
    {
        CReadWriteMutex lock;
        lock.enterReading();
        lock.enterReading();
    }
    EXPECT_NE(capture.text().find("has lock Read count(2), maybe err\n"), std::string::npos)
        << capture.text();
    {
        CReadWriteMutex lock;
        lock.enterWriting();
    }
    EXPECT_NE(capture.text().find("has lock write, maybe err\n"), std::string::npos);
}

// Readers and writers hammer both strategies; a writer is never inside with anyone else.
void hammer(CReadWriteMutex::RWPriority priority) {
    constexpr int kRounds = 2000;
    CReadWriteMutex lock(priority);
    std::atomic<int> readers{0};
    std::atomic<int> writers{0};
    std::atomic<int> violations{0};
    long long shared = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if ((i + t) % 4 == 0) {
                    lock.enterWriting();
                    if (writers.fetch_add(1) != 0 || readers.load() != 0) {
                        ++violations;
                    }
                    ++shared;
                    writers.fetch_sub(1);
                    lock.leave();
                } else {
                    lock.enterReading();
                    readers.fetch_add(1);
                    if (writers.load() != 0) {
                        ++violations;
                    }
                    const long long seen = shared;
                    static_cast<void>(seen);
                    readers.fetch_sub(1);
                    lock.leave();
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(shared, kRounds);
}

TEST(RWMutexTest, DefaultStrategyExcludesWritersUnderLoad) {
    hammer(CReadWriteMutex::priorityDefault);
}

TEST(RWMutexTest, WriterPriorityExcludesWritersUnderLoad) {
    hammer(CReadWriteMutex::priorityWriter);
}

}  // namespace

// std::shared_lock takes a read hold and std::unique_lock the write hold.
TEST(RWMutexStandardLocks, SharedLocksReadTogetherAndUniqueLockWrites) {
    CReadWriteMutex rw;
    {
        std::shared_lock<CReadWriteMutex> reading(rw);
        std::thread([&] {
            // A second reader gets in while the first holds.
            std::shared_lock<CReadWriteMutex> alsoReading(rw);
            EXPECT_TRUE(alsoReading.owns_lock());
        }).join();
    }
    std::atomic<bool> written{false};
    std::unique_lock<CReadWriteMutex> writing(rw);
    std::thread reader([&] {
        std::shared_lock<CReadWriteMutex> reading(rw);
        EXPECT_TRUE(written.load());
    });
    written = true;
    writing.unlock();
    reader.join();
}
