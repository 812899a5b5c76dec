// Components, internals of clients: the record behind IClient, the state helpers
// getComponentFactory drives, the process-wide client list with its idle sweep, and the
// client-class text rules.
#ifndef INFRA_SRC_COMPONENT_CLIENTINTERNAL_H
#define INFRA_SRC_COMPONENT_CLIENTINTERNAL_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "infra/Client.h"
#include "infra/Mutex.h"
#include "infra/Time.h"
#include "infra/Timer.h"

namespace Tovix {
namespace Component {
namespace Detail {

enum ClientState { kClientCreated = 0, kClientLogined = 1, kClientBroken = 2 };

constexpr unsigned long long kClientIdleMs = 300000;
constexpr int kMaxStatusProcs = 8;

struct StatusEntry {
    IClient::StatusProc proc;
    bool attached = false;
    // Threads inside a call of this entry (a thread appears once per nested call).
    std::vector<int> runners;
};

// How clientIsSameAs compares a kept server field with a given one.
enum class FieldMatch {
    kEqual,      // equal values (texts: null as "")
    kIgnored,    // never compared
    kProxyFlag,  // only bit kFlagUseProxy
};

// The ServerInfo fields a client keeps, in the order ServerInfo declares them: every field but
// the user name, which is the session's (saveUserName). FIELD(name, match) is expanded once for
// the record's members, the copy in (clientCreateInternal), the comparison (clientIsSameAs) and
// the copy out (getServerInfo), so a field is added or changed in this one place.
#define INFRA_CLIENT_SERVER_FIELDS(FIELD) \
    FIELD(serverAddress, kEqual)          \
    FIELD(serverPort, kEqual)             \
    FIELD(password, kEqual)               \
    FIELD(serverId, kEqual)               \
    FIELD(loginMode, kEqual)              \
    FIELD(clientKind, kEqual)             \
    FIELD(proxyAddress, kEqual)           \
    FIELD(proxyUser, kEqual)              \
    FIELD(proxyPassword, kEqual)          \
    FIELD(label, kIgnored)                \
    FIELD(proxyPort, kEqual)              \
    FIELD(domain, kEqual)                 \
    FIELD(encryptMode, kEqual)            \
    FIELD(flags, kProxyFlag)              \
    FIELD(connectTimeout, kEqual)         \
    FIELD(retryCount, kIgnored)           \
    FIELD(localAddress, kEqual)           \
    FIELD(clientVersion, kEqual)          \
    FIELD(extra, kIgnored)

// The type a client keeps a ServerInfo field as: texts are owned copies, numbers themselves.
template <class Given>
struct KeptField {
    using type = Given;
};
template <>
struct KeptField<const char*> {
    using type = std::string;
};

struct ClientInternal {
    std::string classId;

    // Copies of the ServerInfo fields (null texts stored as "").
#define INFRA_KEPT_FIELD(name, match) KeptField<decltype(ServerInfo::name)>::type name{};
    INFRA_CLIENT_SERVER_FIELDS(INFRA_KEPT_FIELD)
#undef INFRA_KEPT_FIELD

    // Guards the user name, its saved flag and the login time, which change after creation.
    // The user name is assigned once (saveUserName), so its text stays where it is afterwards.
    Infra::CMutex dataLock;
    std::string userName;
    bool userNameSaved = false;
    Infra::CTime loginTime;

    std::atomic<int> state{kClientCreated};
    std::atomic<unsigned long long> lastUse{0};
    bool keep = false;
    std::atomic<int> inUse{0};
    std::atomic<void*> customData{nullptr};

    Infra::CMutex procLock;
    StatusEntry procs[kMaxStatusProcs];
};

// Reaches the private record of a client.
struct ClientAccess {
    static ClientInternal*& of(IClient* client) { return client->m_internal; }
};

// Now on the client clock (see setClientClock).
unsigned long long clientNow();

// The text before the first '.' of `id` (all of it without a '.'; "" for null).
std::string classPart(const char* id);

// The predicates and transitions below require a client the library made.
bool clientIsCreated(IClient* client);
bool clientIsLogined(IClient* client);
bool clientIsBroken(IClient* client);
int clientState(IClient* client);
// Never logged in, not kept, and unused for more than kClientIdleMs at `now`.
bool clientIsIdle(IClient* client, unsigned long long now);
// Same client class and same compared server fields (null `info` compares as ServerInfo::none).
bool clientIsSameAs(IClient* client, const ClassID& cid, const ServerInfo* info);
// Same client class and getUserID() == userId.
bool clientIsSameAs(IClient* client, const ClassID& cid, int userId);
// login(); on success the login time and state 1. Marks the client used either way.
bool clientLogin(IClient* client);
// isBroken(); when broken, state 2 and true. Marks the client used.
bool clientUpdateBroken(IClient* client);
// Sets the in-use flag; returns its previous value.
int clientGetAndMarkUsing(IClient* client);
// Gives a client made by a factory its record (it must have none yet).
void clientCreateInternal(IClient* client, const char* classId, const ServerInfo* info, bool keep);

// The client path of CComponentHelper::release.
int releaseClientObject(IClient* client);

// Every client the library made, in creation order, and the "ClientCheck" sweep. Never destroyed:
// clients may be released from static destructors and the sweep runs until the process ends.
class CClientInstanceList {
public:
    static CClientInstanceList* instance();

    Infra::CRecursiveMutex& mutex() { return m_mutex; }
    // Call with mutex() held.
    std::vector<IClient*>& clients() { return m_clients; }

    // Under the list lock: the first listed client of the class of `cid` with the server fields of
    // `info` (and not broken, with `skipBroken`), passed through `handOut` (which may refuse it,
    // returning false, to go on searching); null when none.
    IClient* findSameAs(const ClassID& cid, const ServerInfo* info, bool skipBroken,
                        bool (*handOut)(IClient*));
    // The same for the user id.
    IClient* findSameAs(const ClassID& cid, int userId, bool (*handOut)(IClient*));

    void append(IClient* client);

    // Drops a reference; at 0 the client is unlisted, logged out and destroyed. Returns the count.
    int releaseClientInstance(IClient* client);

    // The sweep: unlists, logs out and destroys idle clients only the list holds.
    void removeIdleClientInstance(unsigned long);

private:
    template <class T, Infra::Detail::SingletonLifetime Lifetime>
    friend class Infra::Detail::TSingleton;
    CClientInstanceList();
    ~CClientInstanceList() = default;

    Infra::CRecursiveMutex m_mutex;
    std::vector<IClient*> m_clients;
    Infra::CTimer m_timer;
};

// Hands-out helpers for CClientInstanceList::findSameAs.
bool handOutInstance(IClient* client);  // makeComponentInstance; always accepts
bool handOutAddRef(IClient* client);    // addRef; always accepts

}  // namespace Detail
}  // namespace Component
}  // namespace Tovix

#endif  // INFRA_SRC_COMPONENT_CLIENTINTERNAL_H
