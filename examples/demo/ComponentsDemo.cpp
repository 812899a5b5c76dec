// Components: objects created by name, a component library loaded on demand, and an interface
// factory reached through a client that logs in to a server.
#include <cstdio>
#include <cstring>

#include "infra/Client.h"
#include "infra/ComPtr.h"
#include "infra/Component.h"
#include "infra/ComponentHelper.h"
#include "infra/Error.h"
#include "infra/FactoryUnknown.h"

namespace {

using namespace Tovix::Component;
using Tovix::Component::Detail::CComponentHelper;

// A component registered by the program itself.
class Clock : public IUnknown {
public:
    explicit Clock(const ServerInfo* info)
        : m_server(info != nullptr && info->serverAddress != nullptr ? info->serverAddress
                                                                     : "(no server)") {
        std::printf("  Clock made for %s\n", m_server);
    }
    void destroy() override {
        std::printf("  Clock for %s destroyed\n", m_server);
        delete this;
    }
    void* queryInterface(const char*) override { return nullptr; }

private:
    const char* m_server;
};

IUnknown* makeClock(const ServerInfo* info) {
    return new Clock(info);
}

// A client that "logs in" by checking the password, and its factory.
class DemoClient : public IClient {
public:
    explicit DemoClient(const ServerInfo* info)
        : m_userName(info != nullptr && info->userName != nullptr ? info->userName : ""),
          m_passwordOk(info != nullptr && info->password != nullptr &&
                       std::strcmp(info->password, "open sesame") == 0) {}
    bool isBroken() override { return false; }
    bool login() override {
        std::printf("  DemoClient %p logs in as '%s': %s\n", static_cast<void*>(this), m_userName,
                    m_passwordOk ? "accepted" : "refused");
        if (m_passwordOk) {
            saveUserName(m_userName);
        }
        return m_passwordOk;
    }
    bool logout() override {
        std::printf("  DemoClient %p logs out\n", static_cast<void*>(this));
        return true;
    }
    bool getUserID(int& id) override {
        id = 1001;
        return true;
    }
    void destroy() override { delete this; }
    void* queryInterface(const char*) override { return nullptr; }

private:
    const char* m_userName;
    bool m_passwordOk;
};

class DemoClientFactory : public IClient::IFactory {
public:
    const char* clsid() override { return "Demo"; }
    IClient* create(const ServerInfo* info) override { return new DemoClient(info); }
};

// The factory of a service that lives behind a "Demo" server.
class ReportServiceFactory : public IFactoryUnknown {
public:
    const char* clsid() override { return "Demo.reports"; }
};

void onStatus(void*, ClassID cid, TComPtr<IClient> client, IClient::Status status, int reason) {
    std::printf("  status proc: client %p of class %s, status %d, reason %d\n",
                static_cast<void*>(client.get()), cid.id, static_cast<int>(status), reason);
}

void registeredComponent() {
    std::printf("A registered component\n");
    registerComponent("Clock", &makeClock);
    ServerInfo info = ServerInfo();
    info.serverAddress = "time.example";
    IUnknown* first = getComponentInstance("Clock", &info);
    IUnknown* second = getComponentInstance("Clock", &info);
    std::printf("  two requests for the same server share one instance: %s\n",
                first == second ? "yes" : "no");
    second->release();
    IUnknown* own = createComponentObject("Clock", nullptr);
    own->release();
    first->release();
}

void loadedComponent() {
    std::printf("A component from a component library\n");
    IUnknown* counter = createComponentObject("DemoCounter", nullptr);
    if (counter == nullptr) {
        std::printf("  DemoCounter.dll was not found on the loader's path\n");
        return;
    }
    std::printf("  loaded %s\n", static_cast<const char*>(counter->queryInterface("description")));
    counter->queryInterface("next");
    std::printf("  counted to %d\n", *static_cast<int*>(counter->queryInterface("next")));
    counter->release();
    IUnknown* missing = createComponentObject("NoSuchComponent", nullptr);
    std::printf("  a component nobody provides: %s\n", missing == nullptr ? "null" : "found?");
}

void clientAndFactory() {
    std::printf("An interface factory behind a client\n");
    DemoClientFactory clients;
    ReportServiceFactory reports;
    clients.registerFactory(IClient::IFactory::iid());
    reports.registerFactory("IReports");

    ServerInfo info = ServerInfo();
    info.serverAddress = "reports.example";
    info.serverPort = 8443;
    info.userName = "demo";
    info.password = "wrong";
    IClient* client = nullptr;
    IFactoryUnknown* factory =
        CComponentHelper::getComponentFactory("IReports", ClassID("Demo.reports"), info, client);
    std::printf("  with a wrong password: factory %p\n", static_cast<void*>(factory));

    info.password = "open sesame";
    factory =
        CComponentHelper::getComponentFactory("IReports", ClassID("Demo.reports"), info, client);
    std::printf("  with the right one: factory of class %s through client %p, current user %d\n",
                factory != nullptr ? factory->clsid() : "(none)", static_cast<void*>(client),
                IClient::getCurrentUserID());
    IClient* again = nullptr;
    CComponentHelper::getComponentFactory("IReports", ClassID("Demo.reports"), info, again);
    std::printf("  asked again: the same client: %s\n", again == client ? "yes" : "no");
    CComponentHelper::release(again);

    IFactoryUnknown* missing =
        CComponentHelper::getComponentFactory("IReports", ClassID("Demo.archive"), info, again);
    std::printf("  an unregistered class: %p, \"%s\"\n", static_cast<void*>(missing),
                Tovix::Infra::getErrMsg(Tovix::Infra::getLastError()));

    if (client != nullptr) {
        client->attachStatusProc(&onStatus);
        client->abort(7);
        // The first use handed the client out without a reference: release the list's now.
        CComponentHelper::release(client);
    }
    reports.unregisterFactory("IReports");
    clients.unregisterFactory(IClient::IFactory::iid());
}

}  // namespace

void componentsSection() {
    std::printf("Components\n");
    registeredComponent();
    loadedComponent();
    clientAndFactory();
}
