/// @file
/// A growable, append-oriented byte buffer.
#ifndef INFRA_BUFFER_H
#define INFRA_BUFFER_H

#include "infra/Defs.h"

namespace Tovix {
namespace Memory {

/// Holds its bytes in one standard-heap block, bookkeeping included, so the object is a single
/// pointer. When more room is needed for a wanted capacity w, the buffer grows to the smallest
/// multiple of the growth step that is at least w (exactly w without a step). Growing moves the
/// data: pointers from getBuffer() are valid until the next growing call. Allocation failures
/// log a message and leave the buffer as it was. Sizes are 32-bit; a request past that fails.
/// Not thread-safe; copies are deep.
class INFRA_API CBuffer {
public:
    CBuffer();
    ~CBuffer();
    CBuffer(const CBuffer& other);
    CBuffer& operator=(const CBuffer& other);

    /// Appends `length` bytes of `data`, growing when needed; returns `length`, or 0 when the
    /// memory could not be had (or `data` is null).
    unsigned int putBuffer(unsigned char* data, unsigned int length);

    /// The data; null when there is no block or the size is 0.
    unsigned char* getBuffer() const;

    unsigned int size() const;
    unsigned int capacity() const;

    /// Sets the size, growing (by the step) when it exceeds the capacity. Shrinking keeps the
    /// capacity. Bytes newly covered are not initialised.
    void resize(unsigned int n);

    /// Makes the capacity at least n (exactly n when it grows, whatever the step); the size is
    /// unchanged.
    void reserve(unsigned int n);

    /// Frees the block; the buffer is empty again and the step forgotten.
    void reset();

    /// Sets the growth step (0 = grow exactly to what is needed). On an empty buffer it first
    /// allocates a block of capacity `step`.
    void setIncreasedSize(unsigned int step);

private:
    void* m_internal;
};

}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_BUFFER_H
