/// @file
/// Small-string layer of flex_string: short texts live inline, longer ones in a heap Storage that
/// is placed into the same inline buffer.
#ifndef INFRA_INFRA3_DETAIL_SMALLSTRINGOPT_H
#define INFRA_INFRA3_DETAIL_SMALLSTRINGOPT_H

#include <cstddef>
#include <cstring>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

#include "infra/Assert.h"
#include "infra/infra3/detail/AllocatorStringStorage.h"

namespace Tovix {
namespace Infra {
namespace Detail {

/// Layout (part of the binary interface): an inline buffer buf_ of maxSmallString + 1 characters,
/// aligned like Align.
///  - Small form: the text is in buf_ and buf_[maxSmallString] holds maxSmallString - size(), so
///    a text of exactly maxSmallString characters has 0 there, which is also its NUL.
///  - Heap form: buf_[maxSmallString] holds `magic` (maxSmallString + 1) and a Storage object
///    sits at the start of buf_.
/// A string takes the heap form only when its capacity must exceed maxSmallString (reserve,
/// growth); a heap-form string that shrinks keeps the heap form and its capacity (like the
/// capacity of any string, it is kept for reuse) until shrink_to_fit() returns it to the small
/// form. Copies take the small form when the text fits.
///
/// Storage must model the storage concept (see AllocatorStringStorage), have a static max_size()
/// and be relocatable by copying its bytes (it may not point into itself): moves and swaps of
/// heap-form strings copy the inline buffer bytewise.
template <class Storage, unsigned int threshold, typename Align = typename Storage::value_type*>
class SmallStringOpt {
public:
    typedef typename Storage::value_type value_type;
    typedef value_type* iterator;
    typedef const value_type* const_iterator;
    typedef typename Storage::allocator_type allocator_type;
    typedef typename Storage::size_type size_type;
    typedef typename Storage::difference_type difference_type;

private:
    typedef value_type E;
    static constexpr size_type kStorageChars = (sizeof(Storage) + sizeof(E) - 1) / sizeof(E);

public:
    /// The longest text held inline; buf_[maxSmallString] is the length/marker slot.
    static constexpr size_type maxSmallString = threshold > kStorageChars ? size_type(threshold)
                                                                          : kStorageChars;

private:
    static constexpr E magic = E(maxSmallString + 1);
    static_assert(static_cast<std::make_unsigned_t<E>>(magic) == maxSmallString + 1,
                  "the heap marker must be representable in one character");

    union {
        Align align_;
        E buf_[maxSmallString + 1];
    };

    /// The length slot read as an unsigned number.
    static size_type Slot(E c) noexcept {
        return static_cast<size_type>(static_cast<std::make_unsigned_t<E>>(c));
    }

    bool Small() const noexcept { return buf_[maxSmallString] != magic; }

    size_type SmallSize() const noexcept {
        INFRA_ASSERT_TEXT(!Small() || maxSmallString >= Slot(buf_[maxSmallString]),
                          "!Small() || maxSmallString >= buf_[maxSmallString]");
        return maxSmallString - Slot(buf_[maxSmallString]);
    }

    /// Small form of length n; for n == maxSmallString both stores write the same 0.
    void SetSmallSize(size_type n) noexcept {
        buf_[n] = E();
        buf_[maxSmallString] = E(maxSmallString - n);
    }

    Storage& GetStorage() noexcept {
        INFRA_ASSERT_TEXT(buf_[maxSmallString] == magic, "buf_[maxSmallString] == magic");
        return *std::launder(reinterpret_cast<Storage*>(buf_));
    }

    const Storage& GetStorage() const noexcept {
        INFRA_ASSERT_TEXT(buf_[maxSmallString] == magic, "buf_[maxSmallString] == magic");
        return *std::launder(reinterpret_cast<const Storage*>(buf_));
    }

    /// Turns a small-form string into the heap form with capacity cap (> maxSmallString).
    void MoveToHeap(size_type cap) {
        const size_type sz = SmallSize();
        Storage tmp;
        tmp.reserve(cap);
        tmp.append(buf_, buf_ + sz);
        ::new (static_cast<void*>(buf_)) Storage(std::move(tmp));
        buf_[maxSmallString] = magic;
    }

public:
    explicit SmallStringOpt(const allocator_type& = allocator_type()) noexcept { SetSmallSize(0); }

    SmallStringOpt(const SmallStringOpt& rhs) {
        if (rhs.Small()) {
            std::memcpy(buf_, rhs.buf_, sizeof(buf_));
            return;
        }
        const Storage& src = rhs.GetStorage();
        const size_type sz = src.size();
        if (sz <= maxSmallString) {
            podCopy(buf_, src.data(), sz);
            SetSmallSize(sz);
        } else {
            ::new (static_cast<void*>(buf_)) Storage(src);
            buf_[maxSmallString] = magic;
        }
    }

    SmallStringOpt(const SmallStringOpt& rhs, const allocator_type&) : SmallStringOpt(rhs) {}

    SmallStringOpt(const E* s, size_type len, const allocator_type& a = allocator_type()) {
        if (len <= maxSmallString) {
            podCopy(buf_, s, len);
            SetSmallSize(len);
        } else {
            ::new (static_cast<void*>(buf_)) Storage(s, len, a);
            buf_[maxSmallString] = magic;
        }
    }

    SmallStringOpt(size_type len, E c, const allocator_type& a = allocator_type()) {
        if (len <= maxSmallString) {
            podFill(buf_, len, c);
            SetSmallSize(len);
        } else {
            ::new (static_cast<void*>(buf_)) Storage(len, c, a);
            buf_[maxSmallString] = magic;
        }
    }

    /// The source is left an empty small-form string.
    SmallStringOpt(SmallStringOpt&& rhs) noexcept {
        std::memcpy(buf_, rhs.buf_, sizeof(buf_));
        rhs.SetSmallSize(0);
    }

    SmallStringOpt& operator=(const SmallStringOpt& rhs) {
        if (this != &rhs) {
            SmallStringOpt tmp(rhs);
            swap(tmp);
        }
        return *this;
    }

    SmallStringOpt& operator=(SmallStringOpt&& rhs) noexcept {
        if (this != &rhs) {
            if (!Small()) {
                GetStorage().~Storage();
            }
            std::memcpy(buf_, rhs.buf_, sizeof(buf_));
            rhs.SetSmallSize(0);
        }
        return *this;
    }

    ~SmallStringOpt() {
        if (!Small()) {
            GetStorage().~Storage();
        }
    }

    iterator begin() noexcept { return Small() ? buf_ : GetStorage().begin(); }
    const_iterator begin() const noexcept { return Small() ? buf_ : GetStorage().begin(); }
    iterator end() noexcept { return Small() ? buf_ + SmallSize() : GetStorage().end(); }
    const_iterator end() const noexcept {
        return Small() ? buf_ + SmallSize() : GetStorage().end();
    }

    size_type size() const noexcept { return Small() ? SmallSize() : GetStorage().size(); }
    static size_type max_size() noexcept { return Storage::max_size(); }
    size_type capacity() const noexcept {
        return Small() ? maxSmallString : GetStorage().capacity();
    }

    /// Small form: nothing to do up to maxSmallString, otherwise moves to the heap form with
    /// capacity exactly res_arg. Heap form: the Storage's rule.
    void reserve(size_type res_arg) {
        if (Small()) {
            if (res_arg <= maxSmallString) {
                return;
            }
            MoveToHeap(res_arg);
        } else {
            GetStorage().reserve(res_arg);
        }
        INFRA_ASSERT_TEXT(capacity() >= res_arg, "capacity() >= res_arg");
    }

    /// Raw append; the source must not start inside the own text. A small-form string that
    /// overflows moves to the heap form with capacity exactly the new length.
    void append(const E* b, const E* e) {
        if (b == e) {
            return;
        }
        if (Small()) {
            const std::less_equal<const E*> le;
            INFRA_ASSERT_TEXT(!(le(begin(), &*b) && le(&*b, end())),
                              "!(le(begin(), &*b) && le(&*b, end()))");
            const size_type sz = SmallSize();
            const size_type n = static_cast<size_type>(e - b);
            if (n <= maxSmallString - sz) {
                podCopy(buf_ + sz, b, n);
                SetSmallSize(sz + n);
                return;
            }
            INFRA_ASSERT_TEXT(n <= max_size() - sz, "n <= max_size() - size()");
            MoveToHeap(sz + n);
        }
        GetStorage().append(b, e);
    }

    bool tryAppend(const E* s, size_type n) noexcept {
        if (Small()) {
            const size_type sz = SmallSize();
            if (n > maxSmallString - sz) {
                return false;
            }
            if (n != 0) {
                std::memmove(buf_ + sz, s, n * sizeof(E));
            }
            SetSmallSize(sz + n);
            return true;
        }
        return GetStorage().tryAppend(s, n);
    }

    bool tryPushBack(E c) noexcept {
        if (Small()) {
            const size_type sz = SmallSize();
            if (sz == maxSmallString) {
                return false;
            }
            buf_[sz] = c;
            SetSmallSize(sz + 1);
            return true;
        }
        return GetStorage().tryPushBack(c);
    }

    void resize(size_type n, E c) {
        if (Small()) {
            const size_type sz = SmallSize();
            if (n <= maxSmallString) {
                if (n > sz) {
                    podFill(buf_ + sz, n - sz, c);
                }
                SetSmallSize(n);
                return;
            }
            MoveToHeap(n);
        }
        GetStorage().resize(n, c);
    }

    /// Exchanges the inline buffers bytewise, whatever the forms.
    void swap(SmallStringOpt& rhs) noexcept {
        unsigned char tmp[sizeof(buf_)];
        std::memcpy(tmp, buf_, sizeof(buf_));
        std::memcpy(buf_, rhs.buf_, sizeof(buf_));
        std::memcpy(rhs.buf_, tmp, sizeof(buf_));
    }

    /// A heap-form text that fits inline returns to the small form; a longer one gets a block of
    /// exactly its length.
    void shrink_to_fit() {
        if (Small()) {
            return;
        }
        Storage& st = GetStorage();
        const size_type sz = st.size();
        if (sz > maxSmallString) {
            st.shrink_to_fit();
            return;
        }
        E tmp[maxSmallString + 1];
        podCopy(tmp, st.data(), sz);
        st.~Storage();
        podCopy(buf_, tmp, sz);
        SetSmallSize(sz);
    }

    const E* c_str() const noexcept { return begin(); }
    const E* data() const noexcept { return begin(); }
    E* data() noexcept { return begin(); }

    allocator_type get_allocator() const noexcept { return allocator_type(); }
};

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_INFRA3_DETAIL_SMALLSTRINGOPT_H
