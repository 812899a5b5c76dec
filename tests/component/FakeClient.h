// A scripted client for the client tests: each FakeServer decides whether logins succeed and
// whether the session is broken, and counts what the library asked of its clients.
#ifndef INFRA_TESTS_COMPONENT_FAKECLIENT_H
#define INFRA_TESTS_COMPONENT_FAKECLIENT_H

#include <atomic>
#include <string>

#include "infra/Client.h"

namespace ComponentTesting {

struct FakeServer {
    std::atomic<bool> loginSucceeds{true};
    std::atomic<bool> broken{false};
    std::atomic<bool> createSucceeds{true};
    std::atomic<bool> logoutSucceeds{true};
    std::atomic<int> userId{42};
    std::atomic<int> created{0};
    std::atomic<int> logins{0};
    std::atomic<int> logouts{0};
    std::atomic<int> destroyed{0};
};

// Logs in as the user name of the ServerInfo it was made for.
class FakeClient : public Tovix::Component::IClient {
public:
    FakeClient(FakeServer& server, const Tovix::Component::ServerInfo* info);

    bool isBroken() override;
    bool login() override;
    bool logout() override;
    bool getUserID(int& id) override;
    void destroy() override;
    void* queryInterface(const char* iid) override;

private:
    FakeServer& m_server;
    std::string m_userName;
};

// A client factory for the class `classId` whose clients talk to `server`.
class FakeClientFactory : public Tovix::Component::IClient::IFactory {
public:
    FakeClientFactory(const char* classId, FakeServer& server);
    const char* clsid() override;
    Tovix::Component::IClient* create(const Tovix::Component::ServerInfo* info) override;

private:
    const char* m_classId;
    FakeServer& m_server;
};

// An interface factory that makes nothing; the tests only look it up.
class PlainFactory : public Tovix::Component::IFactoryUnknown {
public:
    explicit PlainFactory(const char* classId) : m_classId(classId) {}
    const char* clsid() override { return m_classId; }

private:
    const char* m_classId;
};

}  // namespace ComponentTesting

#endif  // INFRA_TESTS_COMPONENT_FAKECLIENT_H
