// Test helpers for the asynchronous sinks: a sink that records its lines and the thread that
// delivered each, and can be held shut or slowed down.
#ifndef INFRA_TESTS_INFRA3_SERVICE_ASYNCSINKTESTSUPPORT_H
#define INFRA_TESTS_INFRA3_SERVICE_ASYNCSINKTESTSUPPORT_H

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infra/Function.h"
#include "infra/Thread.h"

struct Recorder {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<int> threads;
    std::atomic<bool> open{true};
    std::chrono::microseconds delay{0};

    bool take(const char* line) {
        while (!open) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(delay);
        std::lock_guard<std::mutex> guard(mutex);
        lines.emplace_back(line);
        threads.push_back(Tovix::Infra::CThread::getCurrentThreadID());
        return true;
    }
    Tovix::Infra::TFunction1<bool, const char*> sink() { return {this, &Recorder::take}; }
    std::size_t count() {
        std::lock_guard<std::mutex> guard(mutex);
        return lines.size();
    }
};

#endif  // INFRA_TESTS_INFRA3_SERVICE_ASYNCSINKTESTSUPPORT_H
