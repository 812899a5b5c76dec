// A first tour of the library: what a new user can do with it, one section at a time.
#include <cstdio>
#include <thread>

#include "infra/Infra.h"

using namespace Tovix::Infra;

namespace {

class Greeter {
public:
    explicit Greeter(const char* name) : m_name(name) {}
    int greet(const char* whom) {
        std::printf("  %s greets %s\n", m_name.c_str(), whom);
        return static_cast<int>(m_name.size());
    }

private:
    flex_string m_name;
};

int twice(int value) {
    return 2 * value;
}

void callables() {
    std::printf("Callables\n");
    Greeter greeter("demo");
    TFunction1<int, const char*> member(&greeter, &Greeter::greet);
    TFunction1<int, int> plain(&twice);
    member("the reader");
    std::printf("  plain callable: twice(21) = %d\n", plain(21));

    // A tagged callable records its tag for the thread it runs on.
    TFunction1<int, const char*> tagged(&greeter, &Greeter::greet, 0x1234u);
    tagged("a tagged caller");
    std::printf("  reuse tag after the tagged call: 0x%x\n", getCurrentFunctionReuse());
    std::printf(
        "  member == tagged: %s, tagged == wildcard: %s\n", member == tagged ? "yes" : "no",
        tagged == TFunction1<int, const char*>::wildcard(&greeter, &Greeter::greet) ? "yes" : "no");
}

void strings() {
    std::printf("Strings\n");
    flex_string small("thirty-one characters fit here!");
    std::printf("  \"%s\": size %zu, capacity %zu (inline)\n", small.c_str(), small.size(),
                small.capacity());
    small += '+';
    std::printf("  one more character: size %zu, capacity %zu (heap)\n", small.size(),
                small.capacity());
    flex_string path = flex_string("logs") + "/" + "app.log";
    std::printf("  composed \"%s\", extension at %zu\n", path.c_str(), path.rfind('.'));
}

void errors() {
    std::printf("Errors\n");
    setErrMsg(0x10030001, "example failure");
    setLastError(0x10030001);
    std::printf("  last error 0x%x: \"%s\"\n", static_cast<unsigned>(getLastError()),
                getErrMsg(getLastError()));
    std::thread([] {
        std::printf("  a new thread starts with last error %d\n", getLastError());
    }).join();
}

void locks() {
    std::printf("Locks\n");
    Tovix::Infra::CMutex mutex;  // the global CMutex is the legacy one
    CSemaphore semaphore(0);
    CThreadSpecific slot;
    int counter = 0;
    std::thread worker([&] {
        for (int i = 0; i < 1000; ++i) {
            CMutexGuard guard(mutex);
            ++counter;
        }
        slot.setValue(&counter);
        semaphore.post();
    });
    std::printf("  waiting for the worker: pend() = %d\n", semaphore.pend());
    worker.join();
    void* mine = nullptr;
    slot.getValue(&mine);
    std::printf("  counter %d; this thread's slot is %s\n", counter, mine ? "set" : "empty");
    std::printf("  tryPend() on the empty semaphore = %d\n", semaphore.tryPend());
}

// A sink that counts the lines it sees.
class LineCounter {
public:
    bool count(const char* /*line*/) {
        ++m_lines;
        return true;
    }
    int lines() const { return m_lines; }

private:
    int m_lines = 0;
};

void logging() {
    std::printf("Logging\n");
    LineCounter counter;
    attachPrint(TFunction1<bool, const char*>(&counter, &LineCounter::count));

    setPrintLogLevel(6);  // show every level, each in its colour on a terminal
    logFatal("a fatal line\n");
    logError("an error line\n");
    logWarn("a warning line\n");
    logInfo("an information line\n");
    logTrace("a trace line\n");
    logDebug("a debug line\n");
    logFilter(3, "demo", __FILE__, "logging", __LINE__, "1.0",
              "the full prefix: module, version, "
              "level, file, function, line, thread\n");

    PrintOptions options{};
    options.withDate = true;
    options.withMillisecond = true;
    setPrintOptions(options);
    logLibName(4, "demo", "with date and milliseconds\n");
    options = PrintOptions{};
    options.taggedFormat = true;
    setPrintOptions(options);
    logFilter(4, "demo", __FILE__, "logging", __LINE__, "1.0", "in the tagged format\n");
    setPrintOptions(PrintOptions{});

    // The command language: switch one module off, then everything back on.
    char option[] = "-logmodule", module[] = "noisy", off[] = "off";
    char* command[] = {option, module, off};
    setLogFilter(3, command);
    logFilter(3, "noisy", __FILE__, "logging", __LINE__, "1.0", "never shown\n");
    logFilter(3, "quiet", __FILE__, "logging", __LINE__, "1.0", "module quiet is still shown\n");

    unsigned char bytes[20];
    for (unsigned i = 0; i < sizeof bytes; ++i) {
        bytes[i] = static_cast<unsigned char>('A' + i);
    }
    dumpHex(bytes, sizeof bytes);
    setPrintLogLevel(3);
    detachPrint(TFunction1<bool, const char*>(&counter, &LineCounter::count));
    std::printf("  the sink saw %d lines\n", counter.lines());
}

}  // namespace

int main() {
    callables();
    strings();
    errors();
    locks();
    logging();
    return 0;
}
