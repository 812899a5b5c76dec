// Components, the component registry: creators by component name, creators found in component
// libraries, and the shared instances keyed by server fields.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "component/ComponentInternal.h"
#include "infra/Assert.h"
#include "infra/Component.h"
#include "infra/Error.h"
#include "infra/Mutex.h"
#include "infra3/core/Diagnostics.h"
#include "platform/DynamicLibrary.h"
#include "platform/Tls.h"

namespace Tovix {
namespace Component {
namespace {

using Infra::Detail::kLevelError;
using Infra::Detail::kLevelWarn;

struct InstanceRecord {
    IUnknown* object;
    bool hasServerInfo;
    std::string serverAddress;
    std::int32_t serverPort;
    std::string userName;
    std::string password;
    std::uint8_t loginMode;
};

struct ComponentEntry {
    ComponentCreator creator = nullptr;
    std::vector<InstanceRecord> instances;
    Platform::DynamicLibrary* module = nullptr;
};

// Entries and loaded libraries live for the life of the process. The registry is never destroyed,
// so objects released from static destructors or late threads still find it.
struct Registry {
    Infra::CMutex mutex;
    std::map<std::string, ComponentEntry> components;
    // Searched for component libraries before the loader's own search; no empty entries.
    std::vector<std::string> folders;
};

Registry& registry() {
    static Registry* const instance = new Registry;
    return *instance;
}

const char* textOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

bool sameServer(const InstanceRecord& record, const ServerInfo& info) {
    return record.serverAddress == textOrEmpty(info.serverAddress) &&
           record.serverPort == info.serverPort && record.userName == textOrEmpty(info.userName) &&
           record.password == textOrEmpty(info.password) && record.loginMode == info.loginMode;
}

// A component name becomes a library file name: one that could reach outside the loader's search
// path (a path separator, a drive, a parent folder) is never loaded.
bool loadableName(const char* name) {
    return std::strpbrk(name, "/\\:") == nullptr && std::strstr(name, "..") == nullptr;
}

// The calling thread's reason for its last failed library load; cleared by every request.
struct LoadFailure {
    std::string reason;
};
using ThreadLoadFailure = Platform::ThreadRecord<LoadFailure>;

void clearLoadFailure() {
    if (LoadFailure* const failure = ThreadLoadFailure::find()) {
        failure->reason.clear();
    }
}

// One loader text, and all the attempts of one request together (a log line is cut at 8191).
constexpr std::size_t kLoaderReasonSize = 1024;
constexpr std::size_t kReasonLimit = 4096;

// Loads `fileName` from each folder in order, then through the loader's own search. On failure,
// `reason` holds every attempt's reason, joined with "; ", each naming the path tried (a loader
// text that names it already is not prefixed again), cut to kReasonLimit characters and "...".
Platform::DynamicLibrary* loadLibrary(const std::vector<std::string>& folders, const char* fileName,
                                      std::string& reason) {
    char text[kLoaderReasonSize];
    bool full = false;
    const auto attempt = [&](const char* path) {
        text[0] = '\0';
        Platform::DynamicLibrary* const module = Platform::libraryOpen(path, text, sizeof(text));
        if (module == nullptr && !full) {
            if (!reason.empty()) {
                reason += "; ";
            }
            if (std::strstr(text, path) == nullptr) {
                reason.append(path).append(": ");
            }
            reason += text;
            full = reason.size() > kReasonLimit;
            if (full) {
                reason.resize(kReasonLimit);
                reason += "...";
            }
        }
        return module;
    };
    std::string path;
    for (const std::string& folder : folders) {
        path = folder;
        if (path.back() != '/' && path.back() != '\\') {
            path += '/';
        }
        path += fileName;
        if (Platform::DynamicLibrary* const module = attempt(path.c_str())) {
            return module;
        }
    }
    return attempt(fileName);
}

// The creator for `name`, found without the registry lock held while the library is loaded: the
// loader runs the library's initialisers under its own lock, and an initialiser may register a
// creator (or another thread's loader may wait for that lock while holding ours). Leaves an
// (empty) entry behind either way; it is added after the load, so that a library registering its
// own creator is not told that one already exists. Both names are formed in zero-filled 32-byte
// buffers: a longer component name is cut, and the cut names are the ones looked up. The folders
// are copied under the lock and tried without it.
ComponentCreator findCreator(Registry& reg, const char* name) {
    Platform::DynamicLibrary* module = nullptr;
    std::vector<std::string> folders;
    {
        Infra::CMutexGuard guard(reg.mutex);
        const auto found = reg.components.find(name);
        if (found != reg.components.end()) {
            if (found->second.creator != nullptr) {
                return found->second.creator;
            }
            module = found->second.module;
        }
        if (module == nullptr) {
            folders = reg.folders;
        }
    }
    if (module == nullptr) {
        const bool loadable = loadableName(name);
        char libraryName[32] = {};
        std::string reason;
        if (loadable) {
            std::snprintf(libraryName, sizeof(libraryName), "%s.dll", name);
            module = loadLibrary(folders, libraryName, reason);
        }
        ComponentCreator registered = nullptr;
        {
            Infra::CMutexGuard guard(reg.mutex);
            ComponentEntry& entry = reg.components[name];
            // Loading one library again gives the same handle, so a concurrent load changes
            // nothing; one that succeeded where this one failed serves this request too.
            if (entry.module == nullptr) {
                entry.module = module;
            } else {
                module = entry.module;
            }
            registered = entry.creator;
        }
        // The library may have registered its own creator from an initialiser: that creator
        // serves this request too.
        if (registered != nullptr) {
            return registered;
        }
        if (!loadable) {
            Infra::setLastError(kErrorClassNotFound);
            return nullptr;
        }
        if (module == nullptr) {
            INFRA_DIAG_PLAIN(kLevelError, "getDynamicCreator load library '%s' failed: %s\n",
                             libraryName, reason.c_str());
            if (LoadFailure* const failure = ThreadLoadFailure::get()) {
                failure->reason = reason;
            }
            return nullptr;
        }
    }
    char procName[32] = {};
    std::snprintf(procName, sizeof(procName), "create%sObject", name);
    Platform::LibraryProc proc = Platform::librarySymbol(module, procName);
    if (proc == nullptr) {
        INFRA_DIAG_PLAIN(kLevelError, "getDynamicCreator get proc '%s' failed!\n", procName);
        return nullptr;
    }
    // The entry point is not stored as the entry's creator: a later registerComponent still wins.
    return reinterpret_cast<ComponentCreator>(proc);
}

}  // namespace

bool registerComponent(const char* name, ComponentCreator creator) {
    if (name == nullptr) {
        return false;
    }
    Registry& reg = registry();
    Infra::CMutexGuard guard(reg.mutex);
    auto found = reg.components.find(name);
    if (found == reg.components.end()) {
        reg.components[name].creator = creator;
        return true;
    }
    INFRA_DIAG_PLAIN(kLevelWarn, "registerComponentCreator creator for '%s' already exist!\n",
                     name);
    found->second.creator = creator;
    return true;
}

IUnknown* createComponentObject(const char* name, const ServerInfo* info) {
    clearLoadFailure();
    if (name == nullptr) {
        Infra::setLastError(kErrorCreateObject);
        return nullptr;
    }
    Registry& reg = registry();
    const ComponentCreator creator = findCreator(reg, name);
    if (creator == nullptr) {
        return nullptr;
    }
    // The creator runs unlocked, so it may use the registry itself.
    IUnknown* object = creator(info);
    if (object != nullptr) {
        // Nobody else holds the new object yet, so no lock is needed to name it.
        Detail::UnknownInternal::of(object)->componentName = name;
    }
    return object;
}

IUnknown* getComponentInstance(const char* name, const ServerInfo* info) {
    clearLoadFailure();
    if (name == nullptr) {
        Infra::setLastError(kErrorGetInstance);
        return nullptr;
    }
    Registry& reg = registry();
    {
        Infra::CMutexGuard guard(reg.mutex);
        auto found = reg.components.find(name);
        if (found != reg.components.end()) {
            for (const InstanceRecord& record : found->second.instances) {
                const bool matches = info == nullptr
                                         ? !record.hasServerInfo
                                         : record.hasServerInfo && sameServer(record, *info);
                // An instance whose count already reached 0 is being destroyed by the thread that
                // released it (its record goes once that thread takes this lock): never revive it.
                if (matches && Detail::tryAddRef(record.object)) {
                    return record.object;
                }
            }
        }
    }
    const ComponentCreator creator = findCreator(reg, name);
    if (creator == nullptr) {
        return nullptr;
    }
    IUnknown* object = creator(info);
    if (object == nullptr) {
        return nullptr;
    }
    InstanceRecord record{object, info != nullptr, std::string(), 0, std::string(), std::string(),
                          0};
    if (info != nullptr) {
        record.serverAddress = textOrEmpty(info->serverAddress);
        record.serverPort = info->serverPort;
        record.userName = textOrEmpty(info->userName);
        record.password = textOrEmpty(info->password);
        record.loginMode = info->loginMode;
    }
    Detail::UnknownInternal* internal = Detail::UnknownInternal::of(object);
    internal->isInstance = true;
    internal->componentName = name;
    Infra::CMutexGuard guard(reg.mutex);
    // The instance keeps the creator's reference; the caller receives it.
    reg.components[name].instances.push_back(std::move(record));
    return object;
}

void setComponentFolders(const std::vector<std::string>& folders) {
    std::vector<std::string> kept;
    for (const std::string& folder : folders) {
        if (!folder.empty()) {
            kept.push_back(folder);
        }
    }
    Registry& reg = registry();
    Infra::CMutexGuard guard(reg.mutex);
    // The previous list is freed with `kept`, after the lock is left.
    reg.folders.swap(kept);
}

const char* getComponentLoadError() {
    const LoadFailure* const failure = ThreadLoadFailure::find();
    return failure != nullptr ? failure->reason.c_str() : "";
}

namespace Detail {

bool destroyComponent(IUnknown* object, const char* name, bool isInstance) {
    if (isInstance) {
        Registry& reg = registry();
        Infra::CMutexGuard guard(reg.mutex);
        auto pi = reg.components.find(name);
        INFRA_ASSERT_TEXT(pi != reg.components.end(), "pi != s_componentMap.end()");
        std::vector<InstanceRecord>& instances = pi->second.instances;
        auto pj = instances.begin();
        while (pj != instances.end() && pj->object != object) {
            ++pj;
        }
        INFRA_ASSERT_TEXT(pj != instances.end(), "pj != (*pi).second.instances.end()");
        instances.erase(pj);
    }
    object->destroy();
    return true;
}

}  // namespace Detail
}  // namespace Component
}  // namespace Tovix
