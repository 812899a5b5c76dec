// Built twice, as "SelfRegistering.dll" and "LoadedElsewhere.dll": a component library whose
// initialiser registers its own creator, slowly, after announcing through an error text that it
// runs. It also exports the usual entry point, which the registered creator must win over.
#include <chrono>
#include <cstring>
#include <thread>

#include "component/ComponentLibraryExport.h"
#include "infra/Component.h"
#include "infra/Error.h"

namespace {

using Tovix::Component::IUnknown;
using Tovix::Component::ServerInfo;

class SelfRegisteringObject : public IUnknown {
public:
    explicit SelfRegisteringObject(const char* origin) : m_origin(origin) {}
    void destroy() override { delete this; }
    void* queryInterface(const char* iid) override {
        return std::strcmp(iid, "origin") == 0 ? const_cast<char*>(m_origin) : nullptr;
    }

private:
    const char* m_origin;
};

IUnknown* makeRegistered(const ServerInfo*) {
    return new SelfRegisteringObject("registered");
}

struct Registrar {
    Registrar() {
        // The test waits for this text, then has another thread load a library meanwhile.
        Tovix::Infra::setErrMsg(SELF_REGISTERING_SIGNAL, SELF_REGISTERING_NAME " loading");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Tovix::Component::registerComponent(SELF_REGISTERING_NAME, &makeRegistered);
    }
};

const Registrar g_registrar;

}  // namespace

TEST_COMPONENT_EXPORT IUnknown* createSelfRegisteringObject(const ServerInfo*) {
    return new SelfRegisteringObject("exported");
}

TEST_COMPONENT_EXPORT IUnknown* createLoadedElsewhereObject(const ServerInfo*) {
    return new SelfRegisteringObject("exported");
}
