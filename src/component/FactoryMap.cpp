// Components, interface factories: the process-wide factory map, the class lists read from it, the
// component error texts, and getComponentFactory, which reaches a factory through a logged-in
// client.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "component/ClientInternal.h"
#include "component/ComponentInternal.h"
#include "infra/Assert.h"
#include "infra/ComponentHelper.h"
#include "infra/Error.h"
#include "infra/FactoryUnknown.h"
#include "infra/Mutex.h"
#include "infra3/core/Diagnostics.h"

namespace Tovix {
namespace Component {
namespace Detail {

struct ClassIDListInternal {
    std::vector<flex_string> ids;
};

namespace {

using Infra::Detail::kLevelDebug;
using Infra::Detail::kLevelError;

// Never destroyed: factories may be unregistered and looked up from static destructors.
struct FactoryMap {
    Infra::CRecursiveMutex mutex;
    std::map<std::string, std::map<std::string, IFactoryUnknown*>> factories;
    bool messagesRegistered = false;
};

FactoryMap& factoryMap() {
    static FactoryMap* const instance = new FactoryMap;
    return *instance;
}

// One wrap per client factory, made on first use and kept (with the factory pointer as key) for
// the life of the process.
struct WrapCache {
    Infra::CMutex mutex;
    std::map<IClient::IFactory*, IClientFactoryWrap*> wraps;
};

WrapCache& wrapCache() {
    static WrapCache* const instance = new WrapCache;
    return *instance;
}

IClientFactoryWrap* wrapOf(IClient::IFactory* factory) {
    WrapCache& cache = wrapCache();
    Infra::CMutexGuard guard(cache.mutex);
    IClientFactoryWrap*& wrap = cache.wraps[factory];
    if (wrap == nullptr) {
        wrap = new IClientFactoryWrap(factory);
    }
    return wrap;
}

void registerErrorMessages() {
    static const struct {
        int code;
        const char* text;
    } kMessages[] = {
        {kErrorInterfaceNotFound, "Component error: interface not found!"},
        {kErrorClassNotFound, "Component error: class not found!"},
        {kErrorClientNotFound, "Component error: client not found!"},
        {kErrorClientNotExist, "Component error: client not exist!"},
        {kErrorNotLogin, "Component error: not login yet!"},
        {kErrorTryingLogin, "Component error: tring login!"},
        {kErrorUserNameInvalid, "Component error: user's name not valid!"},
        {kErrorPasswordInvalid, "Component error: password not valid!"},
        {kErrorPeerBlocked, "Component error: peer has been blocked!"},
        {kErrorPeerInBlacklist, "Component error: peer in blacklist!"},
        {kErrorUserNameUsed, "Component error: user's name has been used!"},
        {kErrorTooManyConnections, "Component error: too many connections!"},
        {kErrorNoAuthority, "Component error: no authority!"},
        {kErrorCreateObject, "Component error: creating object failed!"},
        {kErrorGetInstance, "Component error: getting instance failed!"},
        {kErrorLoginChallenge, "Component error: login challenge!"},
        {kErrorUserOrPassword, "Component error: User or password not valid!"},
    };
    for (const auto& message : kMessages) {
        Infra::setErrMsg(message.code, message.text);
    }
}

// Step 2 of getComponentFactory for a client found in the list (holding a reference): logs it in
// as its state requires. False, with the reference given back, when that fails.
bool reviveClient(IClient* client, const char* iid) {
    bool ok = true;
    switch (clientState(client)) {
        case kClientCreated:
        case kClientBroken:
            if (!clientLogin(client)) {
                INFRA_DIAG(kLevelDebug, "iid=%s could not been got because log failed.\n", iid);
                ok = false;
            }
            break;
        case kClientLogined:
            if (clientUpdateBroken(client) && !clientLogin(client)) {
                INFRA_DIAG(kLevelDebug, "iid=%s could not been got because re-log failed.\n", iid);
                ok = false;
            }
            break;
        default:
            INFRA_DIAG(kLevelError, "Infra.getComponentFactory(): client state is unknown!\n");
            ok = false;
            break;
    }
    if (!ok) {
        CComponentHelper::release(client);
    }
    return ok;
}

// A new, logged-in client of the class part of `cid` for `info`; null (logged) when none can be
// made or it cannot log in.
IClient* newClient(const char* iid, const ClassID& cid, const ServerInfo& info) {
    const std::string clientClass = classPart(cid.id);
    IClient* ignored = nullptr;
    IFactoryUnknown* factory = CComponentHelper::getComponentFactory(
        IClient::IFactory::iid(), ClassID(clientClass.c_str()), ServerInfo::none, ignored);
    IClientFactoryWrap* wrap = dynamic_cast<IClientFactoryWrap*>(factory);
    IClient* client = nullptr;
    if (wrap == nullptr) {
        Infra::setLastError(kErrorClientNotFound);
    } else {
        client = wrap->createAndMake(&info);
        if (client == nullptr) {
            Infra::setLastError(kErrorClientNotExist);
        }
    }
    if (client == nullptr) {
        INFRA_DIAG(kLevelError,
                   "iid (%s) could not been got because clientInstance could not be created.\n",
                   iid);
        return nullptr;
    }
    if (!clientLogin(client)) {
        CComponentHelper::release(client);
        INFRA_DIAG(kLevelDebug, "iid=%s could not been generated because log failed.\n", iid);
        return nullptr;
    }
    return client;
}

// Steps 3 to 5 of getComponentFactory, common to both overloads; `found` holds a reference.
IFactoryUnknown* chooseFactory(const char* iid, const ClassID& cid, bool isClient, IClient* found,
                               IClient*& client) {
    FactoryMap& map = factoryMap();
    IFactoryUnknown* factory = nullptr;
    int error = 0;
    {
        Infra::CRecursiveMutexGuard guard(map.mutex);
        auto byInterface = map.factories.find(iid);
        if (byInterface == map.factories.end()) {
            error = kErrorInterfaceNotFound;
        } else {
            auto byClass = byInterface->second.find(cid.id != nullptr ? cid.id : "");
            if (byClass == byInterface->second.end()) {
                error = kErrorClassNotFound;
            } else {
                factory = byClass->second;
            }
        }
    }
    if (error != 0) {
        // Released outside the map lock: the last release runs the client's logout and destroy.
        CComponentHelper::release(found);
        Infra::setLastError(error);
        return nullptr;
    }
    if (found != nullptr) {
        CComponentHelper::setAsCurrentUser(found);
        client = found;
    }
    if (isClient) {
        if (factory == nullptr) {
            return nullptr;
        }
        IClient::IFactory* clientFactory = dynamic_cast<IClient::IFactory*>(factory);
        if (clientFactory == nullptr) {
            Infra::setLastError(kErrorClientNotFound);
            return nullptr;
        }
        return wrapOf(clientFactory);
    }
    // The first hand-out of a client passes it without a reference; later ones with the reference
    // taken when it was found.
    if (found != nullptr && clientGetAndMarkUsing(found) == 0) {
        CComponentHelper::release(found);
    }
    return factory;
}

}  // namespace

IFactoryUnknown* CComponentHelper::getComponentFactory(const char* iid, const ClassID& cid,
                                                       const ServerInfo& info, IClient*& client) {
    client = nullptr;
    if (iid == nullptr) {
        Infra::setLastError(kErrorInterfaceNotFound);
        return nullptr;
    }
    const bool isClient = std::strcmp(iid, IClient::IFactory::iid()) == 0;
    IClient* found = nullptr;
    if (!isClient && &info != &ServerInfo::none) {
        found = CClientInstanceList::instance()->findSameAs(cid, &info, false, &handOutInstance);
        if (found != nullptr) {
            if (!reviveClient(found, iid)) {
                return nullptr;
            }
        } else {
            found = newClient(iid, cid, info);
            if (found == nullptr) {
                return nullptr;
            }
        }
    }
    return chooseFactory(iid, cid, isClient, found, client);
}

IFactoryUnknown* CComponentHelper::getComponentFactory(const char* iid, const ClassID& cid,
                                                       int userId, IClient*& client) {
    client = nullptr;
    if (iid == nullptr) {
        Infra::setLastError(kErrorInterfaceNotFound);
        return nullptr;
    }
    const bool isClient = std::strcmp(iid, IClient::IFactory::iid()) == 0;
    IClient* found = nullptr;
    if (!isClient && userId != -1) {
        found = CClientInstanceList::instance()->findSameAs(cid, userId, &handOutInstance);
        if (found == nullptr) {
            return nullptr;
        }
    }
    return chooseFactory(iid, cid, isClient, found, client);
}

}  // namespace Detail

IFactoryUnknown::~IFactoryUnknown() = default;

bool IFactoryUnknown::registerFactory(const char* iid) {
    const char* const cid = clsid();
    if (iid == nullptr || cid == nullptr) {
        return false;
    }
    Detail::FactoryMap& map = Detail::factoryMap();
    Infra::CRecursiveMutexGuard guard(map.mutex);
    if (!map.messagesRegistered) {
        Detail::registerErrorMessages();
        map.messagesRegistered = true;
    }
    map.factories[iid][cid] = this;
    return true;
}

bool IFactoryUnknown::unregisterFactory(const char* iid) {
    const char* const cid = clsid();
    if (iid == nullptr || cid == nullptr) {
        return false;
    }
    Detail::FactoryMap& map = Detail::factoryMap();
    Infra::CRecursiveMutexGuard guard(map.mutex);
    map.factories[iid][cid] = nullptr;
    return true;
}

ClassIDList::ClassIDList(const char* iid) : m_internal(new Detail::ClassIDListInternal) {
    m_internal->ids.reserve(8);
    if (iid == nullptr) {
        return;
    }
    Detail::FactoryMap& map = Detail::factoryMap();
    Infra::CRecursiveMutexGuard guard(map.mutex);
    auto byInterface = map.factories.find(iid);
    if (byInterface == map.factories.end()) {
        return;
    }
    m_internal->ids.reserve(byInterface->second.size());
    for (const auto& entry : byInterface->second) {
        m_internal->ids.emplace_back(entry.first.c_str());
    }
}

ClassIDList::~ClassIDList() {
    delete m_internal;
    m_internal = nullptr;
}

unsigned int ClassIDList::count() const {
    return static_cast<unsigned int>(m_internal->ids.size());
}

flex_string ClassIDList::operator[](int index) const {
    INFRA_ASSERT_TEXT(static_cast<std::size_t>(index) < m_internal->ids.size(),
                      "(size_t)index < m_internal->ids.size()");
    return m_internal->ids[static_cast<std::size_t>(index)];
}

}  // namespace Component
}  // namespace Tovix
