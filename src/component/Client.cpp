// Components, clients: the IClient record and its operations, status procs, the state helpers that
// getComponentFactory drives, the per-thread current user and the client clock.
#include <algorithm>
#include <cstring>

#include "component/ClientInternal.h"
#include "component/ComponentInternal.h"
#include "infra/Assert.h"
#include "infra/ComponentHelper.h"
#include "infra/Error.h"
#include "infra/ThreadSpecific.h"
#include "infra3/core/Diagnostics.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Component {
namespace Detail {
namespace {

using Infra::Detail::kLevelWarn;

unsigned long long defaultClientClock() {
    return Infra::CTime::getCurrentMilliSecond();
}

std::atomic<ClientClock> g_clientClock{&defaultClientClock};

// The current user per thread. Never destroyed: threads may ask for it during exit.
Infra::CThreadSpecific& currentUserSlot() {
    static Infra::CThreadSpecific* const slot = new Infra::CThreadSpecific;
    return *slot;
}

const char* textOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

ClientInternal* recordOf(IClient* client) {
    INFRA_ASSERT_TEXT(client != nullptr && ClientAccess::of(client) != nullptr,
                      "client != NULL && client->m_internal != NULL");
    return ClientAccess::of(client);
}

bool sameClass(const std::string& clientClass, const ClassID& cid) {
    return classPart(clientClass.c_str()) == classPart(cid.id);
}

// A server field as the record keeps it, and as getServerInfo hands it out.
std::string keptValue(const char* text) {
    return textOrEmpty(text);
}
template <class Number>
Number keptValue(Number value) {
    return value;
}
const char* givenValue(const std::string& text) {
    return text.c_str();
}
template <class Number>
Number givenValue(Number value) {
    return value;
}

bool fieldMatches(FieldMatch match, const std::string& kept, const char* given) {
    return match == FieldMatch::kIgnored || kept == textOrEmpty(given);
}
template <class Number>
bool fieldMatches(FieldMatch match, Number kept, Number given) {
    switch (match) {
        case FieldMatch::kIgnored:
            return true;
        case FieldMatch::kProxyFlag:
            return (kept & ServerInfo::kFlagUseProxy) == (given & ServerInfo::kFlagUseProxy);
        case FieldMatch::kEqual:
            break;
    }
    return kept == given;
}

}  // namespace

ClientClock setClientClock(ClientClock clock) {
    return g_clientClock.exchange(clock != nullptr ? clock : &defaultClientClock);
}

unsigned long long clientNow() {
    return g_clientClock.load()();
}

std::string classPart(const char* id) {
    if (id == nullptr) {
        return std::string();
    }
    const char* dot = std::strchr(id, '.');
    return dot != nullptr ? std::string(id, static_cast<std::size_t>(dot - id)) : std::string(id);
}

bool clientIsCreated(IClient* client) {
    return recordOf(client)->state.load() == kClientCreated;
}

bool clientIsLogined(IClient* client) {
    return recordOf(client)->state.load() == kClientLogined;
}

bool clientIsBroken(IClient* client) {
    return recordOf(client)->state.load() == kClientBroken;
}

int clientState(IClient* client) {
    return recordOf(client)->state.load();
}

bool clientIsIdle(IClient* client, unsigned long long now) {
    ClientInternal* record = recordOf(client);
    if (record->state.load() != kClientCreated || record->keep) {
        return false;
    }
    const unsigned long long lastUse = record->lastUse.load();
    // A clock set back (or replaced) behind the last use does not make the client idle.
    return now > lastUse && now - lastUse > kClientIdleMs;
}

bool clientIsSameAs(IClient* client, const ClassID& cid, const ServerInfo* info) {
    ClientInternal* record = recordOf(client);
    if (!sameClass(record->classId, cid)) {
        return false;
    }
    const ServerInfo& other = info != nullptr ? *info : ServerInfo::none;
    {
        Infra::CMutexGuard guard(record->dataLock);
        if (record->userName != textOrEmpty(other.userName)) {
            return false;
        }
    }
#define INFRA_MATCH_FIELD(name, match)                                \
    if (!fieldMatches(FieldMatch::match, record->name, other.name)) { \
        return false;                                                 \
    }
    INFRA_CLIENT_SERVER_FIELDS(INFRA_MATCH_FIELD)
#undef INFRA_MATCH_FIELD
    return true;
}

bool clientIsSameAs(IClient* client, const ClassID& cid, int userId) {
    ClientInternal* record = recordOf(client);
    if (!sameClass(record->classId, cid)) {
        return false;
    }
    int id = -1;
    return client->getUserID(id) && id == userId;
}

bool clientLogin(IClient* client) {
    ClientInternal* record = recordOf(client);
    record->lastUse.store(clientNow());
    if (!client->login()) {
        return false;
    }
    {
        Infra::CMutexGuard guard(record->dataLock);
        record->loginTime = Infra::CTime::getCurrentTime();
    }
    record->state.store(kClientLogined);
    return true;
}

bool clientUpdateBroken(IClient* client) {
    ClientInternal* record = recordOf(client);
    record->lastUse.store(clientNow());
    if (!client->isBroken()) {
        return false;
    }
    record->state.store(kClientBroken);
    return true;
}

int clientGetAndMarkUsing(IClient* client) {
    return recordOf(client)->inUse.exchange(1);
}

void clientCreateInternal(IClient* client, const char* classId, const ServerInfo* info, bool keep) {
    INFRA_ASSERT_TEXT(client != nullptr && ClientAccess::of(client) == nullptr,
                      "client != NULL && client->m_internal == NULL");
    ClientInternal* record = new ClientInternal;
    const ServerInfo& source = info != nullptr ? *info : ServerInfo::none;
    record->classId = textOrEmpty(classId);
    // The user name is the session's, saved by the client itself (saveUserName).
#define INFRA_KEEP_FIELD(name, match) record->name = keptValue(source.name);
    INFRA_CLIENT_SERVER_FIELDS(INFRA_KEEP_FIELD)
#undef INFRA_KEEP_FIELD
    record->keep = keep;
    record->lastUse.store(clientNow());
    ClientAccess::of(client) = record;
}

bool CComponentHelper::setAsCurrentUser(IClient* client) {
    if (client == nullptr) {
        return false;
    }
    int id = -1;
    client->getUserID(id);
    return currentUserSlot().setValue(
        reinterpret_cast<const void*>(static_cast<std::intptr_t>(id)));
}

}  // namespace Detail

using Detail::ClientAccess;
using Detail::ClientInternal;
using Detail::StatusEntry;

IClient::IClient() : m_internal(nullptr) {}

IClient::~IClient() {
    delete m_internal;
    m_internal = nullptr;
}

int IClient::release() {
    return Detail::releaseClientObject(this);
}

bool IClient::checkAuthorityString(const char*) {
    Infra::setLastError(kErrorNotSupported);
    return false;
}

bool IClient::setCurrentTime(const Infra::CTime&, int) {
    Infra::setLastError(kErrorNotSupported);
    return false;
}

bool IClient::getChallenge(ServerChallenge&) {
    Infra::setLastError(kErrorNotSupported);
    return false;
}

bool IClient::getCurrentTime(Infra::CTime&) {
    Infra::setLastError(kErrorNotSupported);
    return false;
}

bool IClient::loginFirst() {
    Infra::setLastError(kErrorNotSupported);
    return false;
}

bool IClient::loginAgain(const ServerInfo&) {
    Infra::setLastError(kErrorNotSupported);
    return false;
}

bool IClient::attachStatusProc(StatusProc proc) {
    if (m_internal == nullptr || proc.empty() || proc.kind() == Infra::TFunctionKind::wildcard) {
        return false;
    }
    Infra::CMutexGuard guard(m_internal->procLock);
    StatusEntry* free = nullptr;
    for (StatusEntry& entry : m_internal->procs) {
        if (entry.attached && entry.proc == proc) {
            return false;
        }
        // A slot whose proc was detached while calls of it still run is not free yet.
        if (free == nullptr && !entry.attached && entry.runners.empty()) {
            free = &entry;
        }
    }
    if (free == nullptr) {
        return false;
    }
    free->proc = proc;
    free->attached = true;
    return true;
}

bool IClient::detachStatusProc(StatusProc proc) {
    if (m_internal == nullptr) {
        return false;
    }
    const int self = Platform::currentThreadId();
    Infra::CMutex& lock = m_internal->procLock;
    lock.enter();
    StatusEntry* found = nullptr;
    for (StatusEntry& entry : m_internal->procs) {
        if (entry.attached && entry.proc == proc) {
            found = &entry;
            break;
        }
    }
    if (found == nullptr) {
        lock.leave();
        return false;
    }
    // No new call starts from here on; wait for the calls running on other threads, but not for
    // one this thread is inside (a proc detaching itself).
    found->attached = false;
    for (;;) {
        const bool othersRunning = std::any_of(found->runners.begin(), found->runners.end(),
                                               [self](int runner) { return runner != self; });
        if (!othersRunning) {
            break;
        }
        lock.leave();
        Platform::sleepMilliseconds(10);
        lock.enter();
    }
    lock.leave();
    return true;
}

bool IClient::getServerInfo(ServerInfo& info) {
    INFRA_ASSERT(m_internal);
    ClientInternal* record = m_internal;
#define INFRA_GIVE_FIELD(name, match) info.name = Detail::givenValue(record->name);
    INFRA_CLIENT_SERVER_FIELDS(INFRA_GIVE_FIELD)
#undef INFRA_GIVE_FIELD
    bool noUserName;
    {
        Infra::CMutexGuard guard(record->dataLock);
        // Until the name is saved the text is a constant: the string's own storage moves when
        // the name is saved, which would leave earlier callers pointing at freed or reused bytes.
        // Once saved, the name never changes again.
        info.userName = record->userNameSaved ? record->userName.c_str() : "";
        noUserName = record->userName.empty();
    }
    if (noUserName) {
        INFRA_DIAG_THIS(Infra::Detail::kLevelWarn, "userName of client is a null string!\n");
    }
    return true;
}

bool IClient::saveUserName(const char* name) {
    INFRA_ASSERT(m_internal);
    bool saved;
    {
        Infra::CMutexGuard guard(m_internal->dataLock);
        saved = m_internal->userNameSaved;
        if (!saved) {
            m_internal->userName = name != nullptr ? name : "";
            m_internal->userNameSaved = true;
        }
    }
    if (saved) {
        INFRA_DIAG_THIS(Infra::Detail::kLevelWarn, "username of client has already saved.\n");
    }
    return true;
}

bool IClient::getLoginTime(Infra::CTime& time) {
    INFRA_ASSERT(m_internal);
    Infra::CMutexGuard guard(m_internal->dataLock);
    time = m_internal->loginTime;
    return true;
}

bool IClient::abort(int reason) {
    INFRA_ASSERT(m_internal);
    addRef();
    TComPtr<IClient> self(this);
    const ClassID cid(m_internal->classId.c_str());
    void* const data = m_internal->customData.load();
    const int thread = Platform::currentThreadId();
    Infra::CMutex& lock = m_internal->procLock;
    lock.enter();
    for (StatusEntry& entry : m_internal->procs) {
        if (!entry.attached) {
            continue;
        }
        // The entry is copied: a detach from inside the proc, and an attach reusing no slot of a
        // running entry, keep it unchanged while this call runs.
        const StatusProc proc = entry.proc;
        entry.runners.push_back(thread);
        lock.leave();
        proc(data, cid, self, statusAborted, reason);
        lock.enter();
        entry.runners.erase(std::find(entry.runners.begin(), entry.runners.end(), thread));
    }
    lock.leave();
    return logout();
}

void IClient::setCustomData(void* data) {
    INFRA_ASSERT(m_internal);
    m_internal->customData.store(data);
}

void* IClient::getCustomData() {
    INFRA_ASSERT(m_internal);
    return m_internal->customData.load();
}

int IClient::getCurrentUserID() {
    void* value = nullptr;
    if (!Detail::currentUserSlot().getValue(&value)) {
        return 0;
    }
    return static_cast<int>(reinterpret_cast<std::intptr_t>(value));
}

}  // namespace Component
}  // namespace Tovix
