/// @file
/// CComponentHelper: how factories hand component objects out and how users take them back, and
/// the lookup of interface factories behind a server login.
#ifndef INFRA_COMPONENTHELPER_H
#define INFRA_COMPONENTHELPER_H

#include "infra/Component.h"
#include "infra/Defs.h"

namespace Tovix {
namespace Component {

class IFactoryUnknown;

namespace Detail {

class INFRA_API CComponentHelper {
public:
    /// For a factory handing out an object it has just created: the construction reference
    /// becomes the caller's. Marks `p` handed out (unless it is an object-table member) without
    /// changing its count. Null `p` gives null and sets kErrorCreateObject.
    static IUnknown* makeComponentObject(IUnknown* p);

    /// For a factory handing out an object it keeps: the first hand-out passes on the
    /// construction reference, every later one adds a reference (object-table members are left
    /// alone). Null `p` gives null and sets kErrorGetInstance.
    static IUnknown* makeComponentInstance(IUnknown* p);

    /// p->addRef(); 0 for null.
    static int addRef(IUnknown* p);

    /// Drops a reference of `p`: a client goes through the client list (logged out and destroyed
    /// when its last reference goes), any other object through p->release(). 0 for null.
    static int release(IUnknown* p);

    /// Makes the user id of `client` (its getUserID) the calling thread's current user (see
    /// IClient::getCurrentUserID). False for null or when the thread slot cannot be written.
    static bool setAsCurrentUser(IClient* client);

    /// The factory registered for interface `iid` and class `cid` (see
    /// IFactoryUnknown::registerFactory).
    ///
    /// Unless `iid` is "Client" or `info` is ServerInfo::none itself, the factory is reached
    /// through a client for `info`: a listed client of the class part of `cid` with the same server
    /// fields is logged in (again, when it was never logged in or its session broke), or a new one
    /// is made by the client factory registered under ("Client", class part of `cid`) and logged
    /// in. A failed login (logged) gives null and leaves no reference behind. `client` receives the
    /// client used (null when none): the call that first hands a client out passes it without a
    /// reference, later calls with one the caller must give back with release(). The client's user
    /// becomes the calling thread's current user.
    ///
    /// With `iid` "Client" the result is the IClientFactoryWrap of the client factory registered
    /// for `cid` (null after unregisterFactory). Null with kErrorInterfaceNotFound /
    /// kErrorClassNotFound when nothing is registered under `iid` / `cid`, with
    /// kErrorClientNotFound when no client factory exists for the class and kErrorClientNotExist
    /// when it made no client.
    static IFactoryUnknown* getComponentFactory(const char* iid, const ClassID& cid,
                                                const ServerInfo& info, IClient*& client);

    /// Same, but the client is the listed one of the class part of `cid` whose getUserID is
    /// `userId` (with a reference added as for the other overload); no login is attempted, and when
    /// there is no such client the result is null without an error code. A `userId` of -1 or an
    /// `iid` of "Client" skips the client.
    static IFactoryUnknown* getComponentFactory(const char* iid, const ClassID& cid, int userId,
                                                IClient*& client);
};

}  // namespace Detail
}  // namespace Component
}  // namespace Tovix

#endif  // INFRA_COMPONENTHELPER_H
