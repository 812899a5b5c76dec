/// @file
/// TComPtr: a smart pointer that holds references of component objects.
#ifndef INFRA_COMPTR_H
#define INFRA_COMPTR_H

#include "infra/Component.h"
#include "infra/ComponentHelper.h"

namespace Tovix {
namespace Component {

/// Holds one reference of an object of type T (derived from IUnknown) and, optionally, one of a
/// companion object that must live as long (null wherever the library builds a TComPtr). Copies
/// add a reference to each; destruction gives them back through CComponentHelper::release, so a
/// client goes through the client list. Not safe to modify one TComPtr from several threads.
template <class T>
class TComPtr {
public:
    TComPtr() noexcept : m_object(nullptr), m_companion(nullptr) {}

    /// Takes over a reference the caller already holds of `object` (and of `companion`).
    explicit TComPtr(T* object, IUnknown* companion = nullptr) noexcept
        : m_object(object), m_companion(companion) {}

    TComPtr(const TComPtr& other) : m_object(other.m_object), m_companion(other.m_companion) {
        addRefAll();
    }

    TComPtr(TComPtr&& other) noexcept : m_object(other.m_object), m_companion(other.m_companion) {
        other.m_object = nullptr;
        other.m_companion = nullptr;
    }

    TComPtr& operator=(const TComPtr& other) {
        if (this != &other) {
            TComPtr copy(other);
            swap(copy);
        }
        return *this;
    }

    TComPtr& operator=(TComPtr&& other) noexcept {
        if (this != &other) {
            TComPtr moved(static_cast<TComPtr&&>(other));
            swap(moved);
        }
        return *this;
    }

    ~TComPtr() { releaseAll(); }

    /// Gives back the held references and takes over `object` (see the constructor).
    void reset(T* object = nullptr, IUnknown* companion = nullptr) {
        TComPtr next(object, companion);
        swap(next);
    }

    /// Hands the object's reference to the caller and forgets both pointers; the companion's
    /// reference is given back.
    T* detach() {
        T* object = m_object;
        m_object = nullptr;
        IUnknown* companion = m_companion;
        m_companion = nullptr;
        Detail::CComponentHelper::release(companion);
        return object;
    }

    void swap(TComPtr& other) noexcept {
        T* object = m_object;
        m_object = other.m_object;
        other.m_object = object;
        IUnknown* companion = m_companion;
        m_companion = other.m_companion;
        other.m_companion = companion;
    }

    T* get() const noexcept { return m_object; }
    IUnknown* companion() const noexcept { return m_companion; }
    T* operator->() const noexcept { return m_object; }
    T& operator*() const noexcept { return *m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }

private:
    void addRefAll() {
        Detail::CComponentHelper::addRef(m_object);
        Detail::CComponentHelper::addRef(m_companion);
    }

    void releaseAll() {
        // Clear first, so a destroy() that reaches this pointer again finds it empty.
        T* object = m_object;
        IUnknown* companion = m_companion;
        m_object = nullptr;
        m_companion = nullptr;
        Detail::CComponentHelper::release(object);
        Detail::CComponentHelper::release(companion);
    }

    T* m_object;
    IUnknown* m_companion;
};

}  // namespace Component
}  // namespace Tovix

#endif  // INFRA_COMPTR_H
