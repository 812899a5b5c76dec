#include "component/FakeClient.h"

namespace ComponentTesting {

using Tovix::Component::IClient;
using Tovix::Component::ServerInfo;

FakeClient::FakeClient(FakeServer& server, const ServerInfo* info)
    : m_server(server),
      m_userName(info != nullptr && info->userName != nullptr ? info->userName : "") {
    ++m_server.created;
}

bool FakeClient::isBroken() {
    return m_server.broken.load();
}

bool FakeClient::login() {
    ++m_server.logins;
    if (!m_server.loginSucceeds.load()) {
        return false;
    }
    m_server.broken = false;
    saveUserName(m_userName.c_str());
    return true;
}

bool FakeClient::logout() {
    ++m_server.logouts;
    return m_server.logoutSucceeds.load();
}

bool FakeClient::getUserID(int& id) {
    id = m_server.userId.load();
    return true;
}

void FakeClient::destroy() {
    ++m_server.destroyed;
    delete this;
}

void* FakeClient::queryInterface(const char*) {
    return nullptr;
}

FakeClientFactory::FakeClientFactory(const char* classId, FakeServer& server)
    : m_classId(classId), m_server(server) {}

const char* FakeClientFactory::clsid() {
    return m_classId;
}

IClient* FakeClientFactory::create(const ServerInfo* info) {
    if (!m_server.createSucceeds.load()) {
        return nullptr;
    }
    return new FakeClient(m_server, info);
}

}  // namespace ComponentTesting
