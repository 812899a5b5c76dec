// Test helper: collects every shown log line while it exists, as the log printer (so nothing
// reaches standard output meanwhile).
#ifndef INFRA_TESTS_SUPPORT_LOGCAPTURE_H
#define INFRA_TESTS_SUPPORT_LOGCAPTURE_H

#include <mutex>
#include <string>

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

}  // namespace TestSupport

#endif  // INFRA_TESTS_SUPPORT_LOGCAPTURE_H
