// Log tests' helpers: a recorder for printer and sink calls, command words, options by flag
// number, the prefix as printf composes it, and a fixture that starts from the start state.
#ifndef INFRA_TESTS_INFRA3_LOG_LOGTESTSUPPORT_H
#define INFRA_TESTS_INFRA3_LOG_LOGTESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "infra/PrintCore.h"
#include "infra/PrintLog.h"
#include "infra/Thread.h"

namespace LogTests {

using namespace Tovix::Infra;
using Lines = std::vector<std::string>;

// Collects every line handed to it, as printer or as sink.
class Recorder {
public:
    void print(const char* line) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.emplace_back(line);
    }
    bool sink(const char* line) { return print(line), true; }
    TFunction1<void, const char*> printer() { return {this, &Recorder::print}; }
    TFunction1<bool, const char*> asSink() { return {this, &Recorder::sink}; }
    Lines lines() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }
    std::string last() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines.empty() ? std::string() : m_lines.back();
    }
    void clear() { m_lines.clear(); }  // while no line is logged

private:
    std::mutex m_mutex;
    Lines m_lines;
};

// A command of space-separated words; nothing for no words.
inline void command(const std::string& words) {
    std::istringstream in(words);
    std::vector<std::string> split{std::istream_iterator<std::string>(in), {}};
    std::vector<char*> argv;
    for (std::string& w : split) {
        argv.push_back(w.data());
    }
    if (!argv.empty()) {
        setLogFilter(static_cast<int>(argv.size()), argv.data());
    }
}

inline void ignoreLine(const char*) {}

// The flags in their documented order: noTime, noColor, noModule, noLevel, noThread, noVersion,
// noFunction, noFile, noLine, withDate, withMillisecond, taggedFormat, noLogFile.
inline PrintOptions optionsOf(unsigned mask) {
    static constexpr bool PrintOptions::*kFlags[] = {
        &PrintOptions::noTime,     &PrintOptions::noColor,         &PrintOptions::noModule,
        &PrintOptions::noLevel,    &PrintOptions::noThread,        &PrintOptions::noVersion,
        &PrintOptions::noFunction, &PrintOptions::noFile,          &PrintOptions::noLine,
        &PrintOptions::withDate,   &PrintOptions::withMillisecond, &PrintOptions::taggedFormat,
        &PrintOptions::noLogFile};
    PrintOptions o{};
    for (unsigned i = 0; i < 13; ++i) {
        o.*kFlags[i] = ((mask >> i) & 1u) != 0;
    }
    return o;
}

// Time, colour, thread id and log file left out, so lines compare whole; and every field out.
constexpr unsigned kStable = 1u << 0 | 1u << 1 | 1u << 4 | 1u << 12;
constexpr unsigned kBare = 0x1FFu | 1u << 12;

// The prefix as printf composes it from the options, piece by piece, on this thread at `t`.
inline std::string modelPrefix(const PrintOptions& o, int level, const char* module,
                               const char* file, const char* function, int line,
                               const char* version, const SystemTimeEx& t = {}) {
    const int tid = CThread::getCurrentThreadID();
    static const char* const words[] = {"",      "fatal ", "error ", "warn ",
                                        "info ", "trace ", "debug "};
    const bool tagged = o.taggedFormat;
    std::vector<char> piece(16384);
    std::string s = tagged ? "|T:" : "";
    auto add = [&](bool on, const char* format, auto... values) {
        if (on) {
            std::snprintf(piece.data(), piece.size(), format, values...);
            s += piece.data();
        }
    };
    add(o.withDate, "%04d-%02d-%02d ", t.year, t.month, t.day);
    add(!o.noTime && o.withMillisecond, "%02d:%02d:%02d:%3d|", t.hour, t.minute, t.second,
        t.millisecond);
    add(!o.noTime && !o.withMillisecond, "%02d:%02d:%02d|", t.hour, t.minute, t.second);
    add(!o.noModule, tagged ? "M:%s|" : "[%s] ", module);
    add(!o.noVersion, tagged ? "V:%s|" : "[ver:%s] ", version);
    add(!o.noLevel, tagged ? "L:%s|" : "%s", level >= 0 && level <= 6 ? words[level] : "");
    add(line > 0 && !o.noFile, tagged ? "F:%s|" : "%s ", file);
    add(!o.noFunction, tagged ? "f:%s|" : "%s ", function);
    add(line > 0 && !o.noLine, tagged ? "l:%d|" : "%d ", line);
    add(!o.noThread, tagged ? "t:%d|" : "tid:%d ", tid);
    return tagged ? s + "m:" : s;
}

// Every test starts from the start state with stable options and its lines recorded, and leaves
// the start state behind.
class LogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        reset();
        setPrintOptions(optionsOf(kStable));
        setLogPrinter(rec.printer());
    }
    void TearDown() override { reset(); }
    static void reset() {
        // Finish any partial line, so that the next line starts with its prefix.
        setLogPrinter(TFunction1<void, const char*>(&ignoreLine));
        setPrintLogLevel(1);
        logFatal("\n");
        setPrintLogLevel(3);
        setPrintOptions(PrintOptions{});
        command("-logmodule on");
        command("-logmodulestatistics off");
        setLogPrinter(TFunction1<void, const char*>());
    }

    Recorder rec;
};

}  // namespace LogTests

#endif  // INFRA_TESTS_INFRA3_LOG_LOGTESTSUPPORT_H
