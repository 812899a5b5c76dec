// Helpers of the thread, registry and timer tests: a log capture that sees bare messages, a
// bounded wait for a condition (bounds are generous: machines are shared and noisy), table rows.
#ifndef INFRA_TESTS_INFRA3_THREADTESTSUPPORT_H
#define INFRA_TESTS_INFRA3_THREADTESTSUPPORT_H

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infra/PrintLog.h"

namespace ThreadTestSupport {

using namespace Tovix::Infra;

// A print sink for its lifetime, with every prefix field off, so each line is the message alone;
// standard output is muted. The lines live in storage that is never freed: a line another thread
// still hands to the sink when the capture ends must not land in freed memory.
class LogCapture {
public:
    explicit LogCapture(int level = 4) : m_savedLevel(getPrintLogLevel()) {
        PrintOptions bare{};
        bare.noTime = bare.noColor = bare.noModule = bare.noLevel = bare.noThread = true;
        bare.noVersion = bare.noFunction = bare.noFile = bare.noLine = bare.noLogFile = true;
        setPrintOptions(bare);
        setLogPrinter(TFunction1<void, const char*>(+[](const char*) {}));
        clear();
        attachPrint(TFunction1<bool, const char*>(&sink));
        setPrintLogLevel(level);
    }
    ~LogCapture() {
        setPrintLogLevel(m_savedLevel);
        detachPrint(TFunction1<bool, const char*>(&sink));
        setLogPrinter(TFunction1<void, const char*>());
        setPrintOptions(PrintOptions{});
        clear(false);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(store().mutex);
        return store().lines;
    }
    void clear(bool active = true) {
        std::lock_guard<std::mutex> guard(store().mutex);
        store().lines.clear();
        store().active = active;
    }
    // How many captured lines contain `text`.
    int count(const std::string& text) {
        int found = 0;
        for (const std::string& line : lines()) {
            found += line.find(text) != std::string::npos ? 1 : 0;
        }
        return found;
    }
    bool contains(const std::string& text) { return count(text) > 0; }

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
    for (const auto end = std::chrono::steady_clock::now() + limit; !condition();) {
        if (std::chrono::steady_clock::now() > end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A row of the thread table.
inline std::string threadLine(const char* name, int id, int priority, const char* state) {
    char line[128];
    std::snprintf(line, sizeof line, "%24s   %8d  %3d  %s\n", name, id, priority, state);
    return line;
}

}  // namespace ThreadTestSupport

#endif  // INFRA_TESTS_INFRA3_THREADTESTSUPPORT_H
