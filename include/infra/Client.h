/// @file
/// Clients: logged-in sessions with a server, through which CComponentHelper::getComponentFactory
/// reaches interface factories.
///
/// A client class implements IClient (login, logout, isBroken, getUserID) and a factory derived
/// from IClient::IFactory registered under the interface id "Client" and the client class id. The
/// library wraps that factory (IClientFactoryWrap) and keeps every client it makes in one
/// process-wide list, where getComponentFactory finds it again by its server fields. A client the
/// library made on its own that never logged in and is held by nothing but the list is destroyed
/// after 300000 ms without use, by a sweep ("ClientCheck") that runs every 60 ms.
#ifndef INFRA_CLIENT_H
#define INFRA_CLIENT_H

#include "infra/ComPtr.h"
#include "infra/Component.h"
#include "infra/Defs.h"
#include "infra/FactoryUnknown.h"
#include "infra/Function.h"
#include "infra/Time.h"

namespace Tovix {
namespace Component {

namespace Detail {
struct ClientInternal;
struct ClientAccess;
}  // namespace Detail

/// A session with a server. The library keeps the session's server fields, state (created, logged
/// in, broken), login time, custom data and status callbacks; the derived class does the talking.
///
/// Server fields that identify a client (a second getComponentFactory for the same fields reuses
/// it): serverAddress, serverPort, userName, password, serverId, loginMode, clientKind,
/// proxyAddress, proxyUser, proxyPassword, proxyPort, domain, encryptMode, bit 0 of flags,
/// connectTimeout, localAddress and clientVersion. label, retryCount and extra are kept but never
/// compared. The user name is not taken from the ServerInfo the client was made with: it starts
/// empty and is set once by saveUserName, typically from login().
class INFRA_API IClient : public IUnknown {
public:
    /// Status reported to status procs.
    enum Status {
        statusAborted = 2,  ///< abort() was called; the last argument is its reason
    };

    /// (custom data, client class id, the client (with a reference held for the call), status,
    /// detail)
    typedef Infra::TFunction5<void, void*, ClassID, TComPtr<IClient>, Status, int> StatusProc;

    class IFactory;

    IClient();
    ~IClient() override;

    /// Drops a reference through the client list (as CComponentHelper::release does), so that a
    /// client whose last reference goes is unlisted, logged out and destroyed.
    int release() override;

    /// True when the session has broken down.
    virtual bool isBroken() = 0;
    /// Opens the session; true on success.
    virtual bool login() = 0;
    /// Closes the session; true on success.
    virtual bool logout() = 0;
    /// The session's user id.
    virtual bool getUserID(int& id) = 0;

    /// Optional operations: the defaults set kErrorNotSupported and return false.
    virtual bool checkAuthorityString(const char* authority);
    virtual bool setCurrentTime(const Infra::CTime& time, int zone);
    virtual bool getChallenge(ServerChallenge& challenge);
    virtual bool getCurrentTime(Infra::CTime& time);
    virtual bool loginFirst();
    virtual bool loginAgain(const ServerInfo& info);

    /// Adds `proc` to the (at most 8) status procs. False for an empty proc, a wildcard member
    /// proc (TFunctionKind::wildcard, which would equal several procs), one already attached, a
    /// full list, or a client the library did not make.
    virtual bool attachStatusProc(StatusProc proc);

    /// Removes `proc`. When another thread is running it, waits (polling every 10 ms) until that
    /// call has returned; a proc may detach itself from inside its own call without waiting. False
    /// when `proc` is not attached.
    virtual bool detachStatusProc(StatusProc proc);

    // The operations below need a client the library made (asserted).

    /// Fills every field but `reserved` from the client's copies; the texts stay valid while the
    /// client lives. Warns when no user name was saved yet. True.
    bool getServerInfo(ServerInfo& info);

    /// Stores the session's user name (null stores "") the first time; later calls log a warning
    /// and change nothing. True.
    bool saveUserName(const char* name);

    /// The time of the last successful login (CTime() before). True.
    bool getLoginTime(Infra::CTime& time);

    /// Calls every status proc with statusAborted and `reason`, then logout(); returns its result.
    bool abort(int reason);

    void setCustomData(void* data);
    void* getCustomData();

    /// The user id of the client last made current on the calling thread
    /// (CComponentHelper::setAsCurrentUser, getComponentFactory, client creation); 0 when none.
    static int getCurrentUserID();

private:
    friend struct Detail::ClientAccess;
    Detail::ClientInternal* m_internal;
};

/// A client factory, registered with registerFactory(IClient::IFactory::iid()) under the client
/// class id.
class INFRA_API IClient::IFactory : public IFactoryUnknown {
public:
    /// "Client".
    static const char* iid();

    /// A new client (count 1) for `info` (may be null), or null.
    virtual IClient* create(const ServerInfo* info) = 0;

    /// The listed client of this factory's class whose getUserID is `userId`, handed out as by
    /// CComponentHelper::makeComponentInstance; null when there is none.
    IClient* instance(int userId);
};

/// What getComponentFactory returns for the interface id "Client": wraps a registered client
/// factory so that the clients it makes are listed. One wrap per wrapped factory, made on first
/// use and kept for the life of the process. Clients are created one at a time, process-wide.
class INFRA_API IClientFactoryWrap : public IClient::IFactory {
public:
    /// `original` must not be null (asserted).
    explicit IClientFactoryWrap(IClient::IFactory* original);
    ~IClientFactoryWrap() override;

    /// The wrapped factory's class id.
    const char* clsid() override;

    /// A client for `info` that the caller keeps: a listed, unbroken client of the class with the
    /// same server fields (one reference added), or a new one from the wrapped factory, listed and
    /// never swept. The caller owns one reference; the client becomes the thread's current user.
    /// Null when the wrapped factory makes none. "Local" factories always make a new client.
    IClient* create(const ServerInfo* info) override;

    /// Same, for clients the library makes on its own: a new client is listed with two references
    /// (the list's and the caller's) and is swept when unused (see the top of this file).
    IClient* createAndMake(const ServerInfo* info);

    IClient::IFactory* original() const { return m_original; }

private:
    IClient* make(const ServerInfo* info, bool keep);

    IClient::IFactory* m_original;
};

namespace Detail {

/// The clock of client idle times, in milliseconds (by default CTime::getCurrentMilliSecond).
typedef unsigned long long (*ClientClock)();

/// Replaces the client clock (null restores the default) and returns the previous one. For tests
/// that move client idle times forward without waiting.
INFRA_API ClientClock setClientClock(ClientClock clock);

}  // namespace Detail
}  // namespace Component
}  // namespace Tovix

#endif  // INFRA_CLIENT_H
