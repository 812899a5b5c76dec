/// @file
/// The component framework's base types: the reference-counted object base IUnknown, the class
/// identifier ClassID, the server description ServerInfo, the login challenge ServerChallenge,
/// the component error codes, and the registry that creates components by name.
///
/// A component is created by a creator function registered under its name, or found in a component
/// library named "<name>.dll" that exports "create<name>Object" (see createComponentObject). Every
/// object starts with one reference that belongs to whoever it is handed to; release() of the last
/// reference calls the object's own destroy().
#ifndef INFRA_COMPONENT_H
#define INFRA_COMPONENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "infra/Defs.h"
#include "infra/FlexString.h"

namespace Tovix {
namespace Component {

using Infra::flex_string;

class IUnknown;
class IClient;
struct ServerInfo;

namespace Detail {
struct UnknownInternal;
class CComponentHelper;
class CObjectTable;
}  // namespace Detail

/// Codes left in the calling thread's last error (Infra::getLastError) by the component framework.
/// Their texts are registered with the first IFactoryUnknown::registerFactory.
enum ComponentErrorCode {
    kErrorInterfaceNotFound = 0x10030000,  ///< "Component error: interface not found!"
    kErrorClassNotFound = 0x10030001,      ///< "Component error: class not found!"
    kErrorClientNotFound = 0x10030002,     ///< "Component error: client not found!"
    kErrorClientNotExist = 0x10030003,     ///< "Component error: client not exist!"
    kErrorNotLogin = 0x10030004,           ///< for client implementations
    kErrorTryingLogin = 0x10030005,
    kErrorUserNameInvalid = 0x10030006,
    kErrorPasswordInvalid = 0x10030007,
    kErrorPeerBlocked = 0x10030008,
    kErrorPeerInBlacklist = 0x10030009,
    kErrorUserNameUsed = 0x1003000a,
    kErrorTooManyConnections = 0x1003000b,
    kErrorNoAuthority = 0x1003000c,
    kErrorCreateObject = 0x1003000d,  ///< "Component error: creating object failed!"
    kErrorGetInstance = 0x1003000e,   ///< "Component error: getting instance failed!"
    kErrorLoginChallenge = 0x1003000f,
    kErrorNotSupported = 0x10030010,  ///< the client does not implement the operation (no text)
    kErrorUserOrPassword = 0x10030015,
};

/// Base of every component object: a reference count, a flag telling whether the object has been
/// handed to a user, and how the object came into being (plain object, shared instance of a named
/// component, member of an object table).
///
/// The count starts at 1. addRef/release may be called from any thread. When release() takes the
/// count to 0 the object leaves its object table and its instance record, then destroy() is called
/// exactly once; the object must not be touched afterwards. Objects cannot be copied.
class INFRA_API IUnknown {
public:
    IUnknown();
    virtual ~IUnknown();
    IUnknown(const IUnknown&) = delete;
    IUnknown& operator=(const IUnknown&) = delete;

    /// Deletes the object in whatever way it was allocated (typically `delete this`). Called by
    /// the framework exactly once, when the last reference is released; never call it directly on
    /// an object that others may still hold.
    virtual void destroy() = 0;

    /// This object viewed as the interface named `iid`, or null when it does not implement it. No
    /// reference is added. The framework itself never calls it; it is there for components that
    /// expose several interfaces.
    virtual void* queryInterface(const char* iid) = 0;

    /// Marks the object handed out and adds a reference; returns the new count.
    virtual int addRef();

    /// Drops a reference; returns the count left (0 when the object was destroyed).
    virtual int release();

private:
    friend class Detail::CComponentHelper;
    friend struct Detail::UnknownInternal;
    Detail::UnknownInternal* m_internal;
};

/// Names a component class by a text it does not own: the text must outlive the ClassID. A class
/// id may be "<client class>.<more>"; where the framework needs the client class it uses the text
/// before the first '.'.
struct INFRA_API ClassID {
    ClassID(const char* text = nullptr) : id(text) {}

    /// The class id "Local": factories whose objects are not tied to a remote server.
    static const ClassID local;

    const char* id;
};

/// Describes a server and the credentials used to log in to it. A plain record: texts are not
/// owned (null means empty) and assignment copies it word by word. Which fields identify a shared
/// component instance or a client is stated at getComponentInstance and IClient.
struct INFRA_API ServerInfo {
    const char* serverAddress;    ///< 1
    std::int32_t serverPort;      ///< 2
    const char* userName;         ///< 3
    const char* password;         ///< 4
    const char* serverId;         ///< 5
    std::uint8_t loginMode;       ///< 6
    std::uint8_t clientKind;      ///< 7
    const char* proxyAddress;     ///< 8
    const char* proxyUser;        ///< 9
    const char* proxyPassword;    ///< 10
    const char* label;            ///< 11, descriptive only: never compared
    std::int32_t proxyPort;       ///< 12
    const char* domain;           ///< 13
    std::uint8_t encryptMode;     ///< 14
    std::uint8_t flags;           ///< 15, only bit 0 (kFlagUseProxy) is compared
    std::int32_t connectTimeout;  ///< 16
    std::int32_t retryCount;      ///< 17, never compared
    const char* localAddress;     ///< 18
    const char* clientVersion;    ///< 19
    const char* extra;            ///< 20, never compared
    std::int32_t reserved[14];    ///< never read

    enum { kFlagUseProxy = 0x01 };

    /// All fields zero or null. Operations that take a ServerInfo by reference treat this very
    /// object (compared by address) as "no server given".
    static const ServerInfo none;
};

/// The login challenge a client may hand out (IClient::getChallenge). The library copies it and
/// fills none of its fields.
struct INFRA_API ServerChallenge {
    ServerChallenge();

    flex_string realm;
    flex_string nonce;
    flex_string algorithm;
    flex_string salt;
    flex_string token;
    std::int32_t words[27];
};

/// Creates a new object (count 1) for the server `info` (may be null), or returns null.
typedef IUnknown* (*ComponentCreator)(const ServerInfo* info);

/// Registers `creator` for the component `name`. Registering a name again logs a warning and
/// replaces the creator. A null creator makes later requests look for a component library. False
/// only for a null `name`.
INFRA_API bool registerComponent(const char* name, ComponentCreator creator);

/// A new, unshared object of the component `name`, made by its registered creator or, when none is
/// registered, by the entry point "create<name>Object" of the library "<name>.dll" found in the
/// component folders (setComponentFolders) and then through the loader's search path (both names
/// cut to 31 characters; a library stays loaded for good). The caller owns the one reference. Null
/// when there is no creator, the library cannot be loaded (logged at the error level as
/// "getDynamicCreator load library '<name>.dll' failed: <reasons>", the reasons also kept for
/// getComponentLoadError) or lacks the entry point (logged), or the creator returns null; a null
/// `name` also sets kErrorCreateObject. A library that could not be loaded is tried again by the
/// next request. A name holding a path separator, a ':' or ".." is never loaded as a library
/// (kErrorClassNotFound). A library may register its own creator from its initialisers: that
/// creator then serves the request that loaded it.
INFRA_API IUnknown* createComponentObject(const char* name, const ServerInfo* info);

/// The shared instance of the component `name` for the server `info`, created as by
/// createComponentObject when there is none; the caller receives one reference. Instances are
/// matched on serverAddress, serverPort, userName, password (null texts equal empty ones) and
/// loginMode; a null `info` has its own instance. The instance is forgotten when its last
/// reference is released. Null as for createComponentObject; a null `name` sets kErrorGetInstance.
/// Two threads asking for a missing instance at once may both create one: both are recorded and
/// later requests get the first.
INFRA_API IUnknown* getComponentInstance(const char* name, const ServerInfo* info);

/// Sets the folders searched, in order, for a component library "<name>.dll" before the loader's
/// own search (which is always tried last, with the bare file name, as when no folder is set). Each
/// folder is joined to the file name with '/' unless it already ends in '/' or '\\'; it may be of
/// any length (only the file name is cut to 31 characters) and relative to the current directory.
/// Empty entries are skipped; an empty list restores the loader's search alone, the default.
/// Replaces the previous list; safe while other threads create components (a request uses the list
/// as it was when its lookup began). Libraries already loaded stay in use.
INFRA_API void setComponentFolders(const std::vector<std::string>& folders);

/// Why the calling thread's last createComponentObject or getComponentInstance could not load a
/// component library: the reason of every path tried, joined with "; ", each naming its path (at
/// most about 4 KiB). "" when that request loaded no library because none was needed (a registered
/// creator, an existing instance, a library loaded before, a name that is no plain file name) or
/// because one loaded, and on a thread that made no request. Every request on the thread clears it
/// as it begins. The text stays valid until the thread's next request or its end; other threads'
/// requests never change it.
INFRA_API const char* getComponentLoadError();

}  // namespace Component
}  // namespace Tovix

#endif  // INFRA_COMPONENT_H
