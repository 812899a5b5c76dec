// The component libraries the registry test loads: one source built under the file names the
// CMakeLists.txt beside it lists; with SELF_REGISTERING_NAME, an initialiser registers a creator
// of its own, slowly, after announcing through an error text that it runs; with FOLDER_ORIGIN, its
// objects tell which folder's copy made them.
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

// Answers queryInterface with facts: "live" objects, the "port" it was made for, else its origin.
struct LibraryObject : IUnknown {
    LibraryObject(const char* origin, const ServerInfo* info)
        : origin(origin), port(info != nullptr ? info->serverPort : -1) {
        ++g_live;
    }
    ~LibraryObject() override { --g_live; }
    void destroy() override { delete this; }
    void* queryInterface(const char* iid) override {
        return std::strcmp(iid, "live") == 0   ? static_cast<void*>(&g_live)
               : std::strcmp(iid, "port") == 0 ? static_cast<void*>(&port)
                                               : const_cast<char*>(origin);
    }
    const char* origin;
    int port;
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

#define CREATOR(entryPoint, origin)                               \
    LIBRARY_EXPORT IUnknown* entryPoint(const ServerInfo* info) { \
        return new LibraryObject(origin, info);                   \
    }
CREATOR(createTestWidgetObject, "TestWidget")
CREATOR(createLateWidgetObject, "LateWidget")
// "create%sObject" of "CutComponentNameForBounds28x" and of "MidComponentNameBound24x", cut.
CREATOR(createCutComponentNameForBounds, "cut28")
CREATOR(createMidComponentNameBound24xO, "mid24")
// The registered creator must win over these.
CREATOR(createSelfRegisteringObject, "exported")
CREATOR(createLoadedElsewhereObject, "exported")
#if defined(FOLDER_ORIGIN)
// Copied under these names into folders by the test.
CREATOR(createFolderWidgetObject, FOLDER_ORIGIN)
CREATOR(createRetryWidgetObject, FOLDER_ORIGIN)
#endif
