// A small service built on the library: a heartbeat timer, a slow uplink that receives only
// errors through an asynchronous sink, a chatty module narrowed to warnings, a plug-in found in
// the program's own folder and one that is missing, and an orderly stop that lets the last lines
// out. Exits with 0 when everything behaved as the comments say.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "infra/Infra.h"

using namespace Tovix::Infra;

namespace {

// Pretends to send every line over a slow link: a millisecond each.
class Uplink {
public:
    bool send(const char* line) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (std::string(line).find("load library") != std::string::npos) {
            m_loadFailures.fetch_add(1);
        }
        m_sent.fetch_add(1);
        return true;
    }
    int sent() const { return m_sent.load(); }
    int loadFailures() const { return m_loadFailures.load(); }

private:
    std::atomic<int> m_sent{0};
    std::atomic<int> m_loadFailures{0};
};

std::atomic<int> g_beats{0};

void heartbeat(unsigned long) {
    g_beats.fetch_add(1);
    logFilter(4, "cache", __FILE__, "heartbeat", __LINE__, nullptr, "cache: %d hits\n", 42);
}

bool check(bool condition, const char* what) {
    std::printf("%s %s\n", condition ? "ok  " : "FAIL", what);
    return condition;
}

// The folder of the program, where its plug-ins are installed.
std::string programFolder(const char* argv0) {
    const std::string path = argv0 != nullptr ? argv0 : "";
    const std::string::size_type slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
    (void)argc;
    bool good = true;
    setPrintLogLevel(4);

    // The uplink gets error and fatal lines only, off the logging thread; a full queue drops.
    Uplink uplink;
    CAsyncSink toUplink(TFunction1<bool, const char*>(&uplink, &Uplink::send), 256,
                        CAsyncSink::WhenFull::drop);
    good &= check(attachPrint(toUplink.sink(), 2), "the uplink sink is attached at level 2");

    // The cache module is chatty: only its warnings and worse are shown.
    setLogModuleLevel("cache", 3);
    good &=
        check(logFilter(4, "cache", __FILE__, "main", __LINE__, nullptr, "cache warm\n") == 0 &&
                  logFilter(3, "cache", __FILE__, "main", __LINE__, nullptr, "cache cold\n") > 0,
              "the cache module shows its warnings only");

    CTimer beat("heartbeat");
    good &= check(beat.start(TFunction1<void, unsigned long>(&heartbeat), 1, 5, 0, 0),
                  "the heartbeat starts");
    logInfo("service running\n");    // shown on the console, not sent
    logError("disk almost full\n");  // shown and sent

#if defined(INFRA_SERVICE_COMPONENTS)
    // Plug-ins live beside the program; the loader's own search comes after the folders.
    Tovix::Component::setComponentFolders({programFolder(argv[0])});
    Tovix::Component::IUnknown* counter =
        Tovix::Component::createComponentObject("DemoCounter", nullptr);
    good &= check(counter != nullptr, "the DemoCounter plug-in is found in the program's folder");
    if (counter != nullptr) {
        counter->release();
    }
    good &= check(Tovix::Component::createComponentObject("Reporter", nullptr) == nullptr &&
                      std::string(Tovix::Component::getComponentLoadError()).find("Reporter.dll") !=
                          std::string::npos,
                  "a missing plug-in names the file and the loader's reason");
    std::printf("     reason: %s\n", Tovix::Component::getComponentLoadError());
#else
    (void)programFolder;
#endif
    while (g_beats.load() < 3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    // The orderly stop: timers end, running callbacks are waited for, the uplink gets what it
    // holds, the log is flushed.
    good &= check(shutdown(2000), "shutdown finds every callback finished");
    const int beats = g_beats.load();
    const int sentAtStop = uplink.sent();
#if defined(INFRA_SERVICE_COMPONENTS)
    good &= check(uplink.loadFailures() == 1, "the uplink received the plug-in's load failure");
    const int errorsBeforeStop = 2;
#else
    const int errorsBeforeStop = 1;
#endif
    good &= check(sentAtStop == errorsBeforeStop && toUplink.dropped() == 0,
                  "every error line reached the uplink by the time shutdown returned");
    good &= check(!beat.start(TFunction1<void, unsigned long>(&heartbeat), 1, 5, 0, 0),
                  "no timer starts after shutdown");
    logError("still logging after shutdown\n");
    good &= check(uplink.sent() == sentAtStop + 1, "lines logged afterwards are sent at once");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    good &= check(g_beats.load() == beats, "the heartbeat has stopped");
    good &= check(shutdown(0), "a second shutdown only reports that no callback runs");
    std::printf("%d beats, %d lines sent, %llu dropped\n", beats, uplink.sent(),
                static_cast<unsigned long long>(toUplink.dropped()));
    detachPrint(toUplink.sink());
    return good ? 0 : 1;
}
