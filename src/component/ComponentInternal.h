// Components, internals shared by the component modules: the record behind every IUnknown, the
// reference helpers the registry, the object tables and the client list use, and the registry's
// hook for objects whose last reference goes.
#ifndef INFRA_SRC_COMPONENT_COMPONENTINTERNAL_H
#define INFRA_SRC_COMPONENT_COMPONENTINTERNAL_H

#include <atomic>
#include <string>

#include "infra/Component.h"
#include "infra/ObjectTable.h"

namespace Tovix {
namespace Component {
namespace Detail {

struct UnknownInternal {
    std::atomic<int> refCount{1};
    std::atomic<int> handedOut{0};
    // Set once, before the object is handed out, by the registry.
    bool isInstance = false;
    std::string componentName;
    std::atomic<CObjectTable*> table{nullptr};

    static UnknownInternal* of(IUnknown* object) { return object->m_internal; }
};

// Lowers the count without destroying; returns the new count. `object` must not be null.
int decreaseRefCount(IUnknown* object);

// Records the table that lists `object`.
void setObjectTable(IUnknown* object, CObjectTable* table);

// Marks `object` handed out; when it already was, adds a reference.
void makeInstanceForTable(IUnknown* object);

// The current count.
int getRefCount(IUnknown* object);

// Adds a reference (and marks the object handed out) unless the count has already reached 0,
// i.e. the object is being destroyed by another thread. True when a reference was added.
bool tryAddRef(IUnknown* object);

// Called by IUnknown::release for a named component whose count reached 0: forgets the instance
// record when `isInstance`, then calls object->destroy(). True.
bool destroyComponent(IUnknown* object, const char* name, bool isInstance);

}  // namespace Detail
}  // namespace Component
}  // namespace Tovix

#endif  // INFRA_SRC_COMPONENT_COMPONENTINTERNAL_H
