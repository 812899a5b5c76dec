// Helpers shared by the thread, registry and timer tests: a log capture that sees bare messages,
// and a bounded wait for a condition (bounds are generous: machines are shared and noisy).
#ifndef INFRA_TESTS_INFRA3_THREADTESTSUPPORT_H
#define INFRA_TESTS_INFRA3_THREADTESTSUPPORT_H

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infra/PrintLog.h"

namespace ThreadTestSupport {

// Attached as a print sink for its lifetime, with every prefix field switched off, so each
// captured line is the message alone. Standard output is muted through a printer that drops
// lines. The lines are kept in storage that is never freed: a line another thread is still
// handing to the sink when the capture ends must not land in freed memory.
class LogCapture {
public:
    explicit LogCapture(int level = 4) : m_savedLevel(Tovix::Infra::getPrintLogLevel()) {
        Tovix::Infra::PrintOptions bare{};
        bare.noTime = bare.noColor = bare.noModule = bare.noLevel = bare.noThread = true;
        bare.noVersion = bare.noFunction = bare.noFile = bare.noLine = bare.noLogFile = true;
        Tovix::Infra::setPrintOptions(bare);
        Tovix::Infra::setLogPrinter(Tovix::Infra::TFunction1<void, const char*>(&mute));
        {
            std::lock_guard<std::mutex> guard(store().mutex);
            store().lines.clear();
            store().active = true;
        }
        Tovix::Infra::attachPrint(Tovix::Infra::TFunction1<bool, const char*>(&sink));
        Tovix::Infra::setPrintLogLevel(level);
    }
    ~LogCapture() {
        Tovix::Infra::setPrintLogLevel(m_savedLevel);
        Tovix::Infra::detachPrint(Tovix::Infra::TFunction1<bool, const char*>(&sink));
        Tovix::Infra::setLogPrinter(Tovix::Infra::TFunction1<void, const char*>());
        Tovix::Infra::setPrintOptions(Tovix::Infra::PrintOptions{});
        std::lock_guard<std::mutex> guard(store().mutex);
        store().active = false;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(store().mutex);
        return store().lines;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(store().mutex);
        store().lines.clear();
    }
    // True when some captured line contains `text`.
    bool contains(const std::string& text) {
        for (const std::string& line : lines()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    struct Store {
        std::mutex mutex;
        std::vector<std::string> lines;
        bool active = false;
    };
    static Store& store() {
        static Store* const s = new Store;
        return *s;
    }
    static void mute(const char*) {}
    static bool sink(const char* line) {
        std::lock_guard<std::mutex> guard(store().mutex);
        if (store().active) {
            store().lines.emplace_back(line);
        }
        return true;
    }

    int m_savedLevel;
};

// Polls `condition` until it holds or `limit` has passed; returns its last value.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace ThreadTestSupport

#endif  // INFRA_TESTS_INFRA3_THREADTESTSUPPORT_H
