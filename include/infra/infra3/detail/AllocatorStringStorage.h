/// @file
/// Heap storage of flex_string: the object is one pointer to a block allocated through the
/// allocator. The block holds, in this order, the end-of-text pointer, the end-of-capacity pointer
/// and room for `capacity` characters plus the terminating NUL. Storage of capacity 0 points at one
/// shared, read-only empty block and allocates nothing.
#ifndef INFRA_INFRA3_DETAIL_ALLOCATORSTRINGSTORAGE_H
#define INFRA_INFRA3_DETAIL_ALLOCATORSTRINGSTORAGE_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "infra/Assert.h"

namespace Tovix {
namespace Infra {
namespace Detail {

/// Raw character helpers shared by the storages: n may be 0, with null pointers.
template <typename E>
inline void podCopy(E* dst, const E* src, std::size_t n) noexcept {
    if (n != 0) {
        std::memcpy(dst, src, n * sizeof(E));
    }
}

template <typename E>
inline void podFill(E* dst, std::size_t n, E c) noexcept {
    if constexpr (sizeof(E) == 1) {
        if (n != 0) {
            std::memset(dst, static_cast<unsigned char>(c), n);
        }
    } else {
        std::fill_n(dst, n, c);
    }
}

/// The storage concept flex_string relies on (AllocatorStringStorage and SmallStringOpt model it):
///   construction from an allocator, from (const E*, n) and from (n, c); copy; noexcept move;
///   begin/end/data/c_str (always NUL-terminated), size, capacity, static max_size,
///   reserve(n)    - capacity() >= n afterwards; never shrinks;
///   append(b, e)  - raw append of a range that must not start inside the own text;
///   tryAppend(s, n), tryPushBack(c) - append when the capacity suffices (the source may be
///                  the own text), return whether they did;
///   resize(n, c)  - grows (filling with c) or truncates;
///   swap, shrink_to_fit, get_allocator.
/// The allocator must be stateless (the object is exactly one pointer).
template <typename E, class A = std::allocator<E>>
class AllocatorStringStorage {
public:
    typedef E value_type;
    typedef E* iterator;
    typedef const E* const_iterator;
    typedef A allocator_type;
    typedef std::size_t size_type;
    typedef std::ptrdiff_t difference_type;

    static_assert(std::is_trivially_copyable<E>::value && std::is_trivially_destructible<E>::value,
                  "characters are copied as plain memory");
    static_assert(std::is_empty<A>::value, "the storage holds no allocator state");

private:
    struct Data {
        E* pEnd_;       ///< one past the last character (where the NUL is)
        E* pEndOfMem_;  ///< buffer_ + capacity: the slot of the NUL of a full string
        E buffer_[1];   ///< the characters; the block continues past this declared size
    };

    /// Blocks are allocated in units aligned like Data, so that any allocator honouring the
    /// alignment of its value type places the header correctly.
    struct alignas(Data) Unit {
        unsigned char bytes_[alignof(Data)];
    };
    typedef typename std::allocator_traits<A>::template rebind_alloc<Unit> UnitAllocator;
    typedef std::allocator_traits<UnitAllocator> UnitTraits;

    static constexpr size_type kHeader = offsetof(Data, buffer_);

    /// The shared block of every capacity-0 storage. It is never written: all mutating paths
    /// return early for empty results on an empty block, and it lives in read-only memory.
    static const Data emptyString_;

    static size_type UnitsFor(size_type cap) noexcept {
        return (kHeader + (cap + 1) * sizeof(E) + sizeof(Unit) - 1) / sizeof(Unit);
    }

    /// Points pData_ at a new block of capacity `cap` whose text ends at `size`; the characters
    /// and the NUL are left for the caller to write. cap == 0 selects the shared empty block.
    void Init(size_type size, size_type cap) {
        INFRA_ASSERT_TEXT(size <= cap, "size <= cap");
        if (cap == 0) {
            pData_ = const_cast<Data*>(&emptyString_);
            return;
        }
        INFRA_ASSERT_TEXT(cap <= max_size(), "cap <= max_size()");
        UnitAllocator alloc;
        Unit* raw = UnitTraits::allocate(alloc, UnitsFor(cap));
        Data* block = ::new (static_cast<void*>(raw)) Data;
        block->pEnd_ = block->buffer_ + size;
        block->pEndOfMem_ = block->buffer_ + cap;
        pData_ = block;
    }

    /// Blocks of capacity 0 were never allocated. The test is on the capacity rather than on the
    /// address of emptyString_ so that a block is recognised whichever module's copy of the
    /// template created it.
    static void Free(Data* data) noexcept {
        const size_type cap = static_cast<size_type>(data->pEndOfMem_ - data->buffer_);
        if (cap != 0) {
            UnitAllocator alloc;
            UnitTraits::deallocate(alloc, reinterpret_cast<Unit*>(data), UnitsFor(cap));
        }
    }

    void SetEnd(size_type n) noexcept {
        pData_->pEnd_ = pData_->buffer_ + n;
        *pData_->pEnd_ = E();
    }

    Data* pData_;

public:
    explicit AllocatorStringStorage(const A& = A()) noexcept
        : pData_(const_cast<Data*>(&emptyString_)) {}

    /// A copy gets a block of exactly the source's length (or the empty block).
    AllocatorStringStorage(const AllocatorStringStorage& rhs) : pData_(nullptr) {
        const size_type sz = rhs.size();
        Init(sz, sz);
        if (sz != 0) {
            podCopy(pData_->buffer_, rhs.pData_->buffer_, sz);
            SetEnd(sz);
        }
    }

    AllocatorStringStorage(const AllocatorStringStorage& rhs, const A&)
        : AllocatorStringStorage(rhs) {}

    AllocatorStringStorage(const E* s, size_type len, const A& = A()) : pData_(nullptr) {
        Init(len, len);
        if (len != 0) {
            podCopy(pData_->buffer_, s, len);
            SetEnd(len);
        }
    }

    AllocatorStringStorage(size_type len, E c, const A& = A()) : pData_(nullptr) {
        Init(len, len);
        if (len != 0) {
            podFill(pData_->buffer_, len, c);
            SetEnd(len);
        }
    }

    /// The source is left empty (pointing at the shared empty block).
    AllocatorStringStorage(AllocatorStringStorage&& rhs) noexcept : pData_(rhs.pData_) {
        rhs.pData_ = const_cast<Data*>(&emptyString_);
    }

    AllocatorStringStorage& operator=(const AllocatorStringStorage& rhs) {
        if (this != &rhs) {
            AllocatorStringStorage tmp(rhs);
            swap(tmp);
        }
        return *this;
    }

    AllocatorStringStorage& operator=(AllocatorStringStorage&& rhs) noexcept {
        AllocatorStringStorage tmp(std::move(rhs));
        swap(tmp);
        return *this;
    }

    ~AllocatorStringStorage() { Free(pData_); }

    iterator begin() noexcept { return pData_->buffer_; }
    const_iterator begin() const noexcept { return pData_->buffer_; }
    iterator end() noexcept { return pData_->pEnd_; }
    const_iterator end() const noexcept { return pData_->pEnd_; }

    size_type size() const noexcept { return static_cast<size_type>(end() - begin()); }
    size_type capacity() const noexcept {
        return static_cast<size_type>(pData_->pEndOfMem_ - pData_->buffer_);
    }

    /// The largest capacity a block can have with this allocator.
    static size_type max_size() noexcept {
        const size_type units =
            std::min<size_type>(UnitTraits::max_size(UnitAllocator()),
                                std::numeric_limits<difference_type>::max() / sizeof(Unit));
        return (units * sizeof(Unit) - kHeader) / sizeof(E) - 1;
    }

    /// Moves the text to a new block of capacity exactly res_arg when res_arg exceeds the
    /// current capacity; never shrinks.
    void reserve(size_type res_arg) {
        if (res_arg <= capacity()) {
            return;
        }
        Data* old = pData_;
        const size_type sz = size();
        Init(sz, res_arg);
        podCopy(pData_->buffer_, old->buffer_, sz + 1);
        Free(old);
        INFRA_ASSERT_TEXT(capacity() >= res_arg, "capacity() >= res_arg");
    }

    /// Appends [b, e). A range that does not fit grows the block to exactly the new length. The
    /// source must not lie in the own text (flex_string handles self-appends before calling here).
    void append(const E* b, const E* e) {
        if (b == e) {
            return;
        }
        const std::less_equal<const E*> le;
        INFRA_ASSERT_TEXT(!(le(begin(), &*b) && le(&*b, end())),
                          "!(le(begin(), &*b) && le(&*b, end()))");
        const size_type sz = size();
        const size_type n = static_cast<size_type>(e - b);
        if (n > capacity() - sz) {
            INFRA_ASSERT_TEXT(n <= max_size() - sz, "n <= max_size() - size()");
            reserve(sz + n);
        }
        podCopy(pData_->pEnd_, b, n);
        SetEnd(sz + n);
    }

    /// Appends [s, s + n) if the capacity allows and tells whether it did. Nothing moves, so the
    /// source may lie in the own text.
    bool tryAppend(const E* s, size_type n) noexcept {
        Data* const data = pData_;
        E* const end = data->pEnd_;
        if (n > static_cast<size_type>(data->pEndOfMem_ - end)) {
            return false;
        }
        if (n != 0) {  ///< the shared empty block is never written
            std::memmove(end, s, n * sizeof(E));
            end[n] = E();
            data->pEnd_ = end + n;
        }
        return true;
    }

    /// Appends c if the capacity allows and tells whether it did (never for the empty block).
    bool tryPushBack(E c) noexcept {
        Data* const data = pData_;  ///< the character stores below may alias pData_
        E* const end = data->pEnd_;
        if (end == data->pEndOfMem_) {
            return false;
        }
        data->pEnd_ = end + 1;
        end[0] = c;
        end[1] = E();
        return true;
    }

    /// Grows (to exactly n when the capacity is short) filling with c, or truncates.
    void resize(size_type n, E c) {
        const size_type sz = size();
        if (n == sz) {
            return;  ///< also keeps the shared empty block untouched
        }
        if (n > sz) {
            reserve(n);
            podFill(pData_->pEnd_, n - sz, c);
        }
        SetEnd(n);
    }

    void swap(AllocatorStringStorage& rhs) noexcept { std::swap(pData_, rhs.pData_); }

    /// Reallocates to exactly size() (the empty block for an empty text).
    void shrink_to_fit() {
        if (capacity() > size()) {
            AllocatorStringStorage tmp(*this);
            swap(tmp);
        }
    }

    const E* c_str() const noexcept { return pData_->buffer_; }
    const E* data() const noexcept { return pData_->buffer_; }
    E* data() noexcept { return pData_->buffer_; }

    A get_allocator() const noexcept { return A(); }
};

/// Constant-initialised: its pointers refer to its own buffer.
template <typename E, class A>
const typename AllocatorStringStorage<E, A>::Data AllocatorStringStorage<E, A>::emptyString_ = {
    const_cast<E*>(emptyString_.buffer_), const_cast<E*>(emptyString_.buffer_), {E()}};

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_INFRA3_DETAIL_ALLOCATORSTRINGSTORAGE_H
