/// @file
/// A counting semaphore (maximum count 0x7FFFFFFF).
#ifndef INFRA_SEMAPHORE_H
#define INFRA_SEMAPHORE_H

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {

struct SemaphoreInternal;

class INFRA_API CSemaphore {
public:
    /// Starts with `initialCount` units. A semaphore that cannot be created (or a negative
    /// count) ends the process with the assertion report "m_internal->m_handle".
    explicit CSemaphore(int initialCount = 0);
    ~CSemaphore();
    CSemaphore(const CSemaphore&) = delete;
    CSemaphore& operator=(const CSemaphore&) = delete;

    /// Waits without limit for one unit: 0 when obtained, -1 otherwise. Both pend() forms are
    /// blocking points: a CThread being terminated (CThread::terminateThread) ends here.
    int pend();
    /// Waits at most `timeout` milliseconds (measured on a monotonic clock): 0 when obtained,
    /// -1 on time-out. pend(0) is tryPend().
    int pend(unsigned int timeout);
    /// Takes one unit only when one is available at once: 0 when obtained, -1 otherwise.
    int tryPend();
    /// Releases one unit: 0 on success, -1 when the count is at its maximum.
    int post();

private:
    SemaphoreInternal* m_internal;
};

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SEMAPHORE_H
