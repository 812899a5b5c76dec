// Test helpers: collects every shown log line while it exists, as the log printer (so nothing
// reaches standard output meanwhile); runs a log command given as words.
#ifndef INFRA_TESTS_SUPPORT_LOGCAPTURE_H
#define INFRA_TESTS_SUPPORT_LOGCAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "infra/Function.h"
#include "infra/PrintLog.h"

namespace TestSupport {

class LogCapture {
public:
    LogCapture() {
        Tovix::Infra::setLogPrinter(
            Tovix::Infra::TFunction1<void, const char*>(this, &LogCapture::print));
    }
    ~LogCapture() { Tovix::Infra::setLogPrinter(Tovix::Infra::TFunction1<void, const char*>()); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void print(const char* line) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_text += line;
    }
    // Everything captured so far.
    std::string text() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_text;
    }
    bool contains(const std::string& part) { return text().find(part) != std::string::npos; }

private:
    std::mutex m_mutex;
    std::string m_text;
};

// Runs one setLogFilter command given as its words, the option first.
inline void logFilter(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    Tovix::Infra::setLogFilter(static_cast<int>(argv.size()), argv.data());
}

}  // namespace TestSupport

#endif  // INFRA_TESTS_SUPPORT_LOGCAPTURE_H
