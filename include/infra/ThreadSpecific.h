/// @file
/// One pointer-sized value per thread.
#ifndef INFRA_THREADSPECIFIC_H
#define INFRA_THREADSPECIFIC_H

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {

struct ThreadSpecificInternal;

/// A thread-local slot. When the operating system has no slot left the object still works as an
/// object: valid() is false and setValue/getValue return false. Values are not cleaned up when a
/// thread ends; the slot holds plain values, not owned objects.
class INFRA_API CThreadSpecific {
public:
    CThreadSpecific();
    ~CThreadSpecific();
    CThreadSpecific(const CThreadSpecific&) = delete;
    CThreadSpecific& operator=(const CThreadSpecific&) = delete;

    /// True when the slot was allocated.
    bool valid() const;
    /// Stores `value` for the calling thread; false when not valid or the store failed.
    bool setValue(const void* value);
    /// Writes the calling thread's value (null when never set on this thread) and returns true;
    /// false, leaving *value untouched, when not valid or `value` is null.
    bool getValue(void** value) const;

private:
    ThreadSpecificInternal* m_internal;
};

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_THREADSPECIFIC_H
