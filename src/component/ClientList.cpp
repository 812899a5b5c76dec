// Components, the process-wide client list: listing, finding and releasing clients, the
// "ClientCheck" idle sweep, and the factory wrap that makes listed clients.
#include <algorithm>
#include <cstring>

#include "component/ClientInternal.h"
#include "component/ComponentInternal.h"
#include "infra/Assert.h"
#include "infra/ComponentHelper.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/core/Singleton.h"

namespace Tovix {
namespace Component {
namespace Detail {
namespace {

using Infra::Detail::kLevelError;

// Serialises client creation across all wraps. Recursive, so a client factory may itself reach
// getComponentFactory. Never destroyed.
Infra::CRecursiveMutex& creationLock() {
    static Infra::CRecursiveMutex* const lock = new Infra::CRecursiveMutex;
    return *lock;
}

// A client whose last reference went: logged out, then destroyed the way it came into being.
void finishClient(IClient* client) {
    client->logout();
    UnknownInternal* internal = UnknownInternal::of(client);
    if (!internal->componentName.empty()) {
        const std::string name = internal->componentName;
        destroyComponent(client, name.c_str(), internal->isInstance);
    } else {
        client->destroy();
    }
}

}  // namespace

bool handOutInstance(IClient* client) {
    CComponentHelper::makeComponentInstance(client);
    return true;
}

bool handOutAddRef(IClient* client) {
    client->addRef();
    return true;
}

CClientInstanceList* CClientInstanceList::instance() {
    return Infra::Detail::TSingleton<CClientInstanceList,
                                     Infra::Detail::SingletonLifetime::kImmortal>::instance();
}

CClientInstanceList::CClientInstanceList() : m_timer("ClientCheck") {
    m_timer.start(Infra::TFunction1<void, unsigned long>(
                      this, &CClientInstanceList::removeIdleClientInstance),
                  0, 60, 0, 60000);
}

IClient* CClientInstanceList::findSameAs(const ClassID& cid, const ServerInfo* info,
                                         bool skipBroken, bool (*handOut)(IClient*)) {
    Infra::CRecursiveMutexGuard guard(m_mutex);
    for (IClient* client : m_clients) {
        if (skipBroken && clientIsBroken(client)) {
            continue;
        }
        if (clientIsSameAs(client, cid, info) && handOut(client)) {
            return client;
        }
    }
    return nullptr;
}

IClient* CClientInstanceList::findSameAs(const ClassID& cid, int userId,
                                         bool (*handOut)(IClient*)) {
    Infra::CRecursiveMutexGuard guard(m_mutex);
    for (IClient* client : m_clients) {
        if (clientIsSameAs(client, cid, userId) && handOut(client)) {
            return client;
        }
    }
    return nullptr;
}

void CClientInstanceList::append(IClient* client) {
    Infra::CRecursiveMutexGuard guard(m_mutex);
    m_clients.push_back(client);
}

int CClientInstanceList::releaseClientInstance(IClient* client) {
    INFRA_ASSERT(client != NULL);
    int count;
    {
        Infra::CRecursiveMutexGuard guard(m_mutex);
        count = decreaseRefCount(client);
        if (count == 0) {
            auto found = std::find(m_clients.begin(), m_clients.end(), client);
            if (found != m_clients.end()) {
                m_clients.erase(found);
            }
        }
    }
    if (count == 0) {
        finishClient(client);
    }
    return count;
}

void CClientInstanceList::removeIdleClientInstance(unsigned long) {
    const unsigned long long now = clientNow();
    std::vector<IClient*> idle;
    {
        Infra::CRecursiveMutexGuard guard(m_mutex);
        auto keep = std::stable_partition(m_clients.begin(), m_clients.end(), [now](IClient* c) {
            return !(clientIsIdle(c, now) && getRefCount(c) < 2);
        });
        idle.assign(keep, m_clients.end());
        m_clients.erase(keep, m_clients.end());
    }
    for (IClient* client : idle) {
        INFRA_ASSERT(client != NULL);
        if (decreaseRefCount(client) == 0) {
            finishClient(client);
        }
    }
}

int releaseClientObject(IClient* client) {
    INFRA_ASSERT(client != NULL);
    return CClientInstanceList::instance()->releaseClientInstance(client);
}

}  // namespace Detail

const char* IClient::IFactory::iid() {
    return "Client";
}

IClient* IClient::IFactory::instance(int userId) {
    return Detail::CClientInstanceList::instance()->findSameAs(ClassID(clsid()), userId,
                                                               &Detail::handOutInstance);
}

IClientFactoryWrap::IClientFactoryWrap(IClient::IFactory* original) : m_original(original) {
    INFRA_ASSERT(m_original != NULL);
}

IClientFactoryWrap::~IClientFactoryWrap() = default;

const char* IClientFactoryWrap::clsid() {
    return m_original->clsid();
}

IClient* IClientFactoryWrap::create(const ServerInfo* info) {
    return make(info, true);
}

IClient* IClientFactoryWrap::createAndMake(const ServerInfo* info) {
    return make(info, false);
}

IClient* IClientFactoryWrap::make(const ServerInfo* info, bool keep) {
    using namespace Detail;
    CClientInstanceList* list = CClientInstanceList::instance();
    Infra::CRecursiveMutexGuard guard(creationLock());
    const char* const classId = clsid();
    const bool remote = std::strcmp(classId != nullptr ? classId : "", ClassID::local.id) != 0;
    if (remote) {
        IClient* listed = list->findSameAs(ClassID(classId), info, true, &handOutAddRef);
        if (listed != nullptr) {
            return listed;
        }
    }
    IClient* client = m_original->create(info);
    if (client == nullptr) {
        return nullptr;
    }
    clientCreateInternal(client, classId, info, keep);
    // Either way the construction reference is the caller's and the client counts as handed out,
    // so the next hand-out (getComponentFactory, instance) adds a reference of its own.
    CComponentHelper::makeComponentObject(client);
    if (keep) {
        clientGetAndMarkUsing(client);
    } else {
        // The second reference is the list's.
        client->addRef();
    }
    if (remote) {
        IClient* twin =
            list->findSameAs(ClassID(classId), info, false, [](IClient*) { return true; });
        if (twin != nullptr) {
            INFRA_DIAG_THIS(kLevelError,
                            "remote client instance %p has been in CClientInstanceList already.\n",
                            static_cast<void*>(twin));
        }
    }
    list->append(client);
    CComponentHelper::setAsCurrentUser(client);
    return client;
}

}  // namespace Component
}  // namespace Tovix
