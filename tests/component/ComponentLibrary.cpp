// The component libraries the registry test loads, one source built under several file names:
// "TestWidget.dll", "LateWidget.dll", "NoEntry.dll" (no createNoEntryObject),
// "CutComponentNameForBounds28x.dl" and "MidComponentNameBound24x.dll" (the entry points of names
// cut to 31 characters), and, with SELF_REGISTERING_NAME, "SelfRegistering.dll" and
// "LoadedElsewhere.dll", whose initialiser registers a creator of its own, slowly, after announcing
// through an error text that it runs.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "infra/Component.h"
#include "infra/Error.h"

#if defined(_WIN32)
#define LIBRARY_EXPORT extern "C" __declspec(dllexport)
#else
#define LIBRARY_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using Tovix::Component::IUnknown;
using Tovix::Component::ServerInfo;

std::atomic<int> g_live{0};

// Answers queryInterface with facts: which entry point made it, how many live, its server port.
class LibraryObject : public IUnknown {
public:
    LibraryObject(const char* origin, const ServerInfo* info)
        : m_origin(origin), m_port(info != nullptr ? info->serverPort : -1) {
        ++g_live;
    }
    ~LibraryObject() override { --g_live; }
    void destroy() override { delete this; }
    void* queryInterface(const char* iid) override {
        if (std::strcmp(iid, "live") == 0) {
            return &g_live;
        }
        return std::strcmp(iid, "port") == 0 ? static_cast<void*>(&m_port)
                                             : const_cast<char*>(m_origin);
    }

private:
    const char* m_origin;
    int m_port;
};

#if defined(SELF_REGISTERING_NAME)
IUnknown* makeRegistered(const ServerInfo* info) {
    return new LibraryObject("registered", info);
}

struct Registrar {
    Registrar() {
        // The test waits for this text, then has another thread use the registry meanwhile.
        Tovix::Infra::setErrMsg(SELF_REGISTERING_SIGNAL, SELF_REGISTERING_NAME " loading");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Tovix::Component::registerComponent(SELF_REGISTERING_NAME, &makeRegistered);
    }
};
const Registrar g_registrar;
#endif

}  // namespace

LIBRARY_EXPORT IUnknown* createTestWidgetObject(const ServerInfo* info) {
    return new LibraryObject("TestWidget", info);
}
LIBRARY_EXPORT IUnknown* createLateWidgetObject(const ServerInfo* info) {
    return new LibraryObject("LateWidget", info);
}
// "create%sObject" of "CutComponentNameForBounds28x" and of "MidComponentNameBound24x", cut.
LIBRARY_EXPORT IUnknown* createCutComponentNameForBounds(const ServerInfo* info) {
    return new LibraryObject("cut28", info);
}
LIBRARY_EXPORT IUnknown* createMidComponentNameBound24xO(const ServerInfo* info) {
    return new LibraryObject("mid24", info);
}
// The registered creator must win over these.
LIBRARY_EXPORT IUnknown* createSelfRegisteringObject(const ServerInfo* info) {
    return new LibraryObject("exported", info);
}
LIBRARY_EXPORT IUnknown* createLoadedElsewhereObject(const ServerInfo* info) {
    return new LibraryObject("exported", info);
}
