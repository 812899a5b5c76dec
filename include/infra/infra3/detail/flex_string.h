/// @file
/// flex_string: the library's string template, with the interface of std::basic_string over a
/// pluggable storage (see AllocatorStringStorage.h and SmallStringOpt.h).
#ifndef INFRA_INFRA3_DETAIL_FLEX_STRING_H
#define INFRA_INFRA3_DETAIL_FLEX_STRING_H

#include <algorithm>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <istream>
#include <iterator>
#include <locale>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "infra/Assert.h"
#include "infra/infra3/detail/AllocatorStringStorage.h"

namespace Tovix {
namespace Infra {
namespace Detail {

/// A contiguous, always NUL-terminated string of E with the interface of std::basic_string.
///
/// Differences from std::basic_string, all deliberate:
///  - Nothing is thrown for misuse. A position argument beyond size() (substr, insert, erase,
///    replace, compare, copy, the (str, pos, n) constructor, assign and append) fails the
///    assertion "pos <= size()"; at(n) with n >= size() fails "n < size()"; an iterator range
///    outside the string or reversed fails "i1 <= i2" / "begin() <= i1 && i1 <= end()" /
///    "begin() <= i2 && i2 <= end()"; a reversed source range fails "n2 >= 0"; a length beyond
///    max_size() fails "n <= max_size() - size()" or "n <= max_size()"; front(), back() and
///    pop_back() on an empty string fail "!empty()". Each failure ends the process with the
///    library's assertion report. operator[] is not checked.
///  - No growth factor: an operation that adds text beyond the capacity (append, +=,
///    push_back, insert, replace, resize) grows it to exactly the new length, so a loop of
///    appends reallocates on every step; reserve() first when the final length is known.
///    reserve(n) and assign also allocate exactly what they need.
///  - The allocator must be stateless; the storage decides the layout.
///
/// All operations accept sources that lie in the string's own text, as std::basic_string does
/// (s.append(s), s.insert(0, s.c_str() + 2), s.replace(..., s.begin(), s.end()), ...).
/// Writing a value other than E() at data()[size()] is undefined, as for std::basic_string: with
/// the small-string storage that slot may be the length byte.
template <typename E, class T = std::char_traits<E>, class A = std::allocator<E>,
          class Storage = AllocatorStringStorage<E, A>>
class flex_string {
public:
    typedef T traits_type;
    typedef typename T::char_type value_type;
    typedef A allocator_type;
    typedef std::size_t size_type;
    typedef std::ptrdiff_t difference_type;
    typedef E& reference;
    typedef const E& const_reference;
    typedef E* pointer;
    typedef const E* const_pointer;
    typedef E* iterator;
    typedef const E* const_iterator;
    typedef std::reverse_iterator<iterator> reverse_iterator;
    typedef std::reverse_iterator<const_iterator> const_reverse_iterator;

    static constexpr size_type npos = size_type(-1);

    static_assert(std::is_same<E, typename T::char_type>::value, "traits of another type");

private:
    template <class It>
    using RequireIterator = typename std::iterator_traits<It>::iterator_category;

    template <class It>
    static constexpr bool kIsCharPointer = std::is_pointer<It>::value&&
        std::is_same<std::remove_cv_t<std::remove_pointer_t<It>>, E>::value;

    Storage s_;

public:
    /// --- construction and assignment --------------------------------------------------------
    flex_string() noexcept : s_(A()) {}
    explicit flex_string(const A& a) noexcept : s_(a) {}
    flex_string(const flex_string& str) : s_(str.s_) {}
    /// The source is left empty.
    flex_string(flex_string&& str) noexcept : s_(std::move(str.s_)) {}
    flex_string(const flex_string& str, size_type pos, size_type n = npos, const A& a = A())
        : s_(a) {
        assign(str, pos, n);
    }
    flex_string(const E* s, size_type n, const A& a = A()) : s_(s, n, a) {}
    flex_string(const E* s, const A& a = A()) : s_(s, T::length(s), a) {}
    flex_string(size_type n, E c, const A& a = A()) : s_(n, c, a) {}
    template <class It, class = RequireIterator<It>>
    flex_string(It first, It last, const A& a = A()) : s_(a) {
        append(first, last);
    }
    flex_string(std::initializer_list<E> il, const A& a = A()) : s_(il.begin(), il.size(), a) {}
    template <class A2>
    flex_string(const std::basic_string<E, T, A2>& str) : s_(str.data(), str.size(), A()) {}

    ~flex_string() = default;

    flex_string& operator=(const flex_string& str) { return assign(str); }
    /// The source is left empty (self-move leaves the string unchanged).
    flex_string& operator=(flex_string&& str) noexcept {
        s_ = std::move(str.s_);
        return *this;
    }
    flex_string& operator=(const E* s) { return assign(s); }
    flex_string& operator=(E c) { return assign(size_type(1), c); }
    flex_string& operator=(std::initializer_list<E> il) { return assign(il); }
    template <class A2>
    flex_string& operator=(const std::basic_string<E, T, A2>& str) {
        return assign(str.data(), str.size());
    }

    flex_string& assign(const flex_string& str) {
        return this == &str ? *this : assign(str.data(), str.size());
    }
    flex_string& assign(flex_string&& str) noexcept { return *this = std::move(str); }
    flex_string& assign(const flex_string& str, size_type pos, size_type n = npos) {
        INFRA_ASSERT_TEXT(pos <= str.size(), "pos <= size()");
        return assign(str.data() + pos, std::min(n, str.size() - pos));
    }
    /// Reuses the capacity when it suffices, otherwise reserves exactly n.
    flex_string& assign(const E* s, size_type n) {
        if (IsAliasedRange(s, s + n)) {
            E* p = s_.begin();
            T::move(p, s, n);
            s_.resize(n, E());
            return *this;
        }
        s_.resize(0, E());
        if (n > capacity()) {
            reserve(n);
        }
        s_.append(s, s + n);
        return *this;
    }
    flex_string& assign(const E* s) { return assign(s, T::length(s)); }
    flex_string& assign(size_type n, E c) {
        s_.resize(0, E());
        if (n > capacity()) {
            reserve(n);
        }
        s_.resize(n, c);
        return *this;
    }
    template <class It, class = RequireIterator<It>>
    flex_string& assign(It first, It last) {
        return replace(cbegin(), cend(), first, last);
    }
    flex_string& assign(std::initializer_list<E> il) { return assign(il.begin(), il.size()); }
    template <class A2>
    flex_string& assign(const std::basic_string<E, T, A2>& str) {
        return assign(str.data(), str.size());
    }

    /// --- iterators ----------------------------------------------------------------------------
    iterator begin() noexcept { return s_.begin(); }
    const_iterator begin() const noexcept { return s_.begin(); }
    const_iterator cbegin() const noexcept { return s_.begin(); }
    iterator end() noexcept { return s_.end(); }
    const_iterator end() const noexcept { return s_.end(); }
    const_iterator cend() const noexcept { return s_.end(); }
    reverse_iterator rbegin() noexcept { return reverse_iterator(end()); }
    const_reverse_iterator rbegin() const noexcept { return const_reverse_iterator(end()); }
    const_reverse_iterator crbegin() const noexcept { return rbegin(); }
    reverse_iterator rend() noexcept { return reverse_iterator(begin()); }
    const_reverse_iterator rend() const noexcept { return const_reverse_iterator(begin()); }
    const_reverse_iterator crend() const noexcept { return rend(); }

    /// --- capacity -----------------------------------------------------------------------------
    size_type size() const noexcept { return s_.size(); }
    size_type length() const noexcept { return s_.size(); }
    size_type max_size() const noexcept { return s_.max_size(); }
    size_type capacity() const noexcept { return s_.capacity(); }
    bool empty() const noexcept { return s_.size() == 0; }

    void resize(size_type n, E c) {
        INFRA_ASSERT_TEXT(n <= max_size(), "n <= max_size()");
        if (n > capacity()) {
            Grow(n);
        }
        s_.resize(n, c);
    }
    void resize(size_type n) { resize(n, E()); }

    /// capacity() >= n afterwards; a growing reserve allocates exactly n. Never shrinks (see
    /// shrink_to_fit).
    void reserve(size_type n = 0) {
        INFRA_ASSERT_TEXT(n <= max_size(), "n <= max_size()");
        s_.reserve(n);
    }
    /// Releases unused capacity; with the small-string storage a text that fits inline returns to
    /// the inline buffer.
    void shrink_to_fit() { s_.shrink_to_fit(); }
    /// Keeps the capacity.
    void clear() noexcept { s_.resize(0, E()); }

    /// --- element access -----------------------------------------------------------------------
    const_reference operator[](size_type n) const noexcept { return s_.data()[n]; }
    reference operator[](size_type n) noexcept { return s_.data()[n]; }
    const_reference at(size_type n) const {
        INFRA_ASSERT_TEXT(n < size(), "n < size()");
        return s_.data()[n];
    }
    reference at(size_type n) {
        INFRA_ASSERT_TEXT(n < size(), "n < size()");
        return s_.data()[n];
    }
    const_reference front() const noexcept {
        CheckedLast();
        return s_.data()[0];
    }
    reference front() noexcept {
        CheckedLast();
        return s_.data()[0];
    }
    const_reference back() const noexcept { return s_.data()[CheckedLast()]; }
    reference back() noexcept { return s_.data()[CheckedLast()]; }

    const E* c_str() const noexcept { return s_.c_str(); }
    const E* data() const noexcept { return s_.data(); }
    E* data() noexcept { return s_.data(); }
    allocator_type get_allocator() const noexcept { return allocator_type(); }

    /// --- appending ----------------------------------------------------------------------------
    flex_string& operator+=(const flex_string& str) { return append(str.data(), str.size()); }
    flex_string& operator+=(const E* s) { return append(s, T::length(s)); }
    flex_string& operator+=(E c) {
        push_back(c);
        return *this;
    }
    flex_string& operator+=(std::initializer_list<E> il) { return append(il.begin(), il.size()); }
    template <class A2>
    flex_string& operator+=(const std::basic_string<E, T, A2>& str) {
        return append(str.data(), str.size());
    }

    flex_string& append(const flex_string& str) { return append(str.data(), str.size()); }
    flex_string& append(const flex_string& str, size_type pos, size_type n = npos) {
        INFRA_ASSERT_TEXT(pos <= str.size(), "pos <= size()");
        return append(str.data() + pos, std::min(n, str.size() - pos));
    }
    flex_string& append(const E* s, size_type n) {
        if (INFRA_LIKELY(s_.tryAppend(s, n))) {
            return *this;
        }
        // The capacity must grow, which moves the text (and a source inside it).
        CheckGrowth(n);
        const size_type sz = size();
        const bool aliased = IsAliasedRange(s, s + n);
        const size_type offset = aliased ? static_cast<size_type>(s - data()) : 0;
        Grow(sz + n);
        if (INFRA_LIKELY(!aliased)) {
            s_.append(s, s + n);
        } else {
            // The source moved with the text: lengthen first, then copy from the new place.
            s_.resize(sz + n, E());
            E* p = s_.begin();
            T::move(p + sz, p + offset, n);
        }
        return *this;
    }
    flex_string& append(const E* s) { return append(s, T::length(s)); }
    flex_string& append(size_type n, E c) {
        const size_type sz = size();
        if (n > capacity() - sz) {
            CheckGrowth(n);
            Grow(sz + n);
        }
        s_.resize(sz + n, c);
        return *this;
    }
    template <class It, class = RequireIterator<It>>
    flex_string& append(It first, It last) {
        return replace(cend(), cend(), first, last);
    }
    flex_string& append(std::initializer_list<E> il) { return append(il.begin(), il.size()); }
    template <class A2>
    flex_string& append(const std::basic_string<E, T, A2>& str) {
        return append(str.data(), str.size());
    }

    void push_back(E c) {
        if (INFRA_LIKELY(s_.tryPushBack(c))) {
            return;
        }
        const size_type n = size();
        CheckGrowth(1);
        Grow(n + 1);
        INFRA_ASSERT_TEXT(capacity() > n, "capacity() > n");
        s_.tryPushBack(c);
    }
    void pop_back() noexcept { s_.resize(CheckedLast(), E()); }

    /// --- insert / erase / replace ---------------------------------------------------------------
    flex_string& insert(size_type pos, const flex_string& str) {
        return replace(pos, 0, str.data(), str.size());
    }
    flex_string& insert(size_type pos1, const flex_string& str, size_type pos2,
                        size_type n = npos) {
        INFRA_ASSERT_TEXT(pos2 <= str.size(), "pos <= size()");
        return replace(pos1, 0, str.data() + pos2, std::min(n, str.size() - pos2));
    }
    flex_string& insert(size_type pos, const E* s, size_type n) { return replace(pos, 0, s, n); }
    flex_string& insert(size_type pos, const E* s) { return replace(pos, 0, s, T::length(s)); }
    flex_string& insert(size_type pos, size_type n, E c) { return replace(pos, 0, n, c); }
    template <class A2>
    flex_string& insert(size_type pos, const std::basic_string<E, T, A2>& str) {
        return replace(pos, 0, str.data(), str.size());
    }
    iterator insert(const_iterator p, E c) { return insert(p, size_type(1), c); }
    iterator insert(const_iterator p, size_type n, E c) {
        const difference_type offset = p - cbegin();
        replace(p, p, n, c);
        return begin() + offset;
    }
    template <class It, class = RequireIterator<It>>
    iterator insert(const_iterator p, It first, It last) {
        const difference_type offset = p - cbegin();
        replace(p, p, first, last);
        return begin() + offset;
    }
    iterator insert(const_iterator p, std::initializer_list<E> il) {
        return insert(p, il.begin(), il.end());
    }

    flex_string& erase(size_type pos = 0, size_type n = npos) {
        const size_type sz = size();
        INFRA_ASSERT_TEXT(pos <= sz, "pos <= size()");
        n = std::min(n, sz - pos);
        E* p = s_.begin();
        T::move(p + pos, p + pos + n, sz - pos - n);
        s_.resize(sz - n, E());
        return *this;
    }
    /// p must be dereferenceable (erase(end()) fails the range check).
    iterator erase(const_iterator p) { return erase(p, p + 1); }
    iterator erase(const_iterator first, const_iterator last) {
        CheckIterators(first, last);
        const size_type pos = static_cast<size_type>(first - cbegin());
        erase(pos, static_cast<size_type>(last - first));
        return begin() + pos;
    }

    flex_string& replace(size_type pos, size_type n1, const flex_string& str) {
        return replace(pos, n1, str.data(), str.size());
    }
    flex_string& replace(size_type pos1, size_type n1, const flex_string& str, size_type pos2,
                         size_type n2 = npos) {
        INFRA_ASSERT_TEXT(pos2 <= str.size(), "pos <= size()");
        return replace(pos1, n1, str.data() + pos2, std::min(n2, str.size() - pos2));
    }
    flex_string& replace(size_type pos, size_type n1, const E* s, size_type n2) {
        INFRA_ASSERT_TEXT(pos <= size(), "pos <= size()");
        n1 = std::min(n1, size() - pos);
        if (IsAliasedRange(s, s + n2)) {
            const flex_string copy(s, n2);
            return ReplaceCore(pos, n1, copy.data(), copy.data() + n2);
        }
        return ReplaceCore(pos, n1, s, s + n2);
    }
    flex_string& replace(size_type pos, size_type n1, const E* s) {
        return replace(pos, n1, s, T::length(s));
    }
    flex_string& replace(size_type pos, size_type n1, size_type n2, E c) {
        const size_type sz = size();
        INFRA_ASSERT_TEXT(pos <= sz, "pos <= size()");
        n1 = std::min(n1, sz - pos);
        if (n2 > n1) {
            CheckGrowth(n2 - n1);
            if (n2 - n1 > capacity() - sz) {
                Grow(sz + n2 - n1);
            }
            s_.resize(sz + n2 - n1, E());
        }
        E* p = s_.begin();
        T::move(p + pos + n2, p + pos + n1, sz - pos - n1);
        T::assign(p + pos, n2, c);
        if (n2 < n1) {
            s_.resize(sz - (n1 - n2), E());
        }
        return *this;
    }
    template <class A2>
    flex_string& replace(size_type pos, size_type n1, const std::basic_string<E, T, A2>& str) {
        return replace(pos, n1, str.data(), str.size());
    }
    flex_string& replace(const_iterator i1, const_iterator i2, const flex_string& str) {
        return replace(i1, i2, str.data(), str.size());
    }
    flex_string& replace(const_iterator i1, const_iterator i2, const E* s, size_type n) {
        CheckIterators(i1, i2);
        return replace(static_cast<size_type>(i1 - cbegin()), static_cast<size_type>(i2 - i1), s,
                       n);
    }
    flex_string& replace(const_iterator i1, const_iterator i2, const E* s) {
        return replace(i1, i2, s, T::length(s));
    }
    flex_string& replace(const_iterator i1, const_iterator i2, size_type n, E c) {
        CheckIterators(i1, i2);
        return replace(static_cast<size_type>(i1 - cbegin()), static_cast<size_type>(i2 - i1), n,
                       c);
    }
    /// Replaces [i1, i2) with the source range [s1, s2), which may be any input range, including
    /// one over the own text (pointers or iterators such as rbegin()/rend()).
    template <class It, class = RequireIterator<It>>
    flex_string& replace(const_iterator i1, const_iterator i2, It s1, It s2) {
        CheckIterators(i1, i2);
        const difference_type n1 = i2 - i1;
        INFRA_ASSERT_TEXT(n1 >= 0, "n1 >= 0");
        return ReplaceRange(static_cast<size_type>(i1 - cbegin()), static_cast<size_type>(n1), s1,
                            s2, typename std::iterator_traits<It>::iterator_category());
    }
    flex_string& replace(const_iterator i1, const_iterator i2, std::initializer_list<E> il) {
        return replace(i1, i2, il.begin(), il.size());
    }
    template <class A2>
    flex_string& replace(const_iterator i1, const_iterator i2,
                         const std::basic_string<E, T, A2>& str) {
        return replace(i1, i2, str.data(), str.size());
    }

    /// Copies at most n characters from pos into s (no NUL); returns the count copied.
    size_type copy(E* s, size_type n, size_type pos = 0) const {
        INFRA_ASSERT_TEXT(pos <= size(), "pos <= size()");
        const size_type rlen = std::min(n, size() - pos);
        T::copy(s, data() + pos, rlen);
        return rlen;
    }

    void swap(flex_string& rhs) noexcept { s_.swap(rhs.s_); }

    /// --- searching ------------------------------------------------------------------------------
    size_type find(const flex_string& str, size_type pos = 0) const noexcept {
        return find(str.data(), pos, str.size());
    }
    size_type find(const E* s, size_type pos, size_type n) const noexcept {
        const size_type sz = size();
        if (n == 0) {
            return pos <= sz ? pos : npos;
        }
        if (pos >= sz || n > sz - pos) {
            return npos;
        }
        const E* const text = data();
        const E* const last = text + sz;
        for (const E* p = text + pos; static_cast<size_type>(last - p) >= n; ++p) {
            p = T::find(p, static_cast<size_type>(last - p) - n + 1, s[0]);
            if (p == nullptr) {
                break;
            }
            if (T::compare(p + 1, s + 1, n - 1) == 0) {
                return static_cast<size_type>(p - text);
            }
        }
        return npos;
    }
    size_type find(const E* s, size_type pos = 0) const noexcept {
        return find(s, pos, T::length(s));
    }
    size_type find(E c, size_type pos = 0) const noexcept {
        const size_type sz = size();
        if (pos >= sz) {
            return npos;
        }
        const E* p = T::find(data() + pos, sz - pos, c);
        return p == nullptr ? npos : static_cast<size_type>(p - data());
    }

    size_type rfind(const flex_string& str, size_type pos = npos) const noexcept {
        return rfind(str.data(), pos, str.size());
    }
    size_type rfind(const E* s, size_type pos, size_type n) const noexcept {
        const size_type sz = size();
        if (n > sz) {
            return npos;
        }
        pos = std::min(sz - n, pos);
        do {
            if (T::compare(data() + pos, s, n) == 0) {
                return pos;
            }
        } while (pos-- > 0);
        return npos;
    }
    size_type rfind(const E* s, size_type pos = npos) const noexcept {
        return rfind(s, pos, T::length(s));
    }
    size_type rfind(E c, size_type pos = npos) const noexcept { return rfind(&c, pos, 1); }

    size_type find_first_of(const flex_string& str, size_type pos = 0) const noexcept {
        return find_first_of(str.data(), pos, str.size());
    }
    size_type find_first_of(const E* s, size_type pos, size_type n) const noexcept {
        return FindFirst(s, pos, n, true);
    }
    size_type find_first_of(const E* s, size_type pos = 0) const noexcept {
        return FindFirst(s, pos, T::length(s), true);
    }
    size_type find_first_of(E c, size_type pos = 0) const noexcept { return find(c, pos); }

    size_type find_last_of(const flex_string& str, size_type pos = npos) const noexcept {
        return find_last_of(str.data(), pos, str.size());
    }
    size_type find_last_of(const E* s, size_type pos, size_type n) const noexcept {
        return FindLast(s, pos, n, true);
    }
    size_type find_last_of(const E* s, size_type pos = npos) const noexcept {
        return FindLast(s, pos, T::length(s), true);
    }
    size_type find_last_of(E c, size_type pos = npos) const noexcept { return rfind(c, pos); }

    size_type find_first_not_of(const flex_string& str, size_type pos = 0) const noexcept {
        return find_first_not_of(str.data(), pos, str.size());
    }
    size_type find_first_not_of(const E* s, size_type pos, size_type n) const noexcept {
        return FindFirst(s, pos, n, false);
    }
    size_type find_first_not_of(const E* s, size_type pos = 0) const noexcept {
        return FindFirst(s, pos, T::length(s), false);
    }
    size_type find_first_not_of(E c, size_type pos = 0) const noexcept {
        return FindFirst(&c, pos, 1, false);
    }

    size_type find_last_not_of(const flex_string& str, size_type pos = npos) const noexcept {
        return find_last_not_of(str.data(), pos, str.size());
    }
    size_type find_last_not_of(const E* s, size_type pos, size_type n) const noexcept {
        return FindLast(s, pos, n, false);
    }
    size_type find_last_not_of(const E* s, size_type pos = npos) const noexcept {
        return FindLast(s, pos, T::length(s), false);
    }
    size_type find_last_not_of(E c, size_type pos = npos) const noexcept {
        return FindLast(&c, pos, 1, false);
    }

    /// --- substrings and comparison ------------------------------------------------------------
    flex_string substr(size_type pos = 0, size_type n = npos) const {
        INFRA_ASSERT_TEXT(pos <= size(), "pos <= size()");
        return flex_string(data() + pos, std::min(n, size() - pos));
    }

    int compare(const flex_string& str) const noexcept {
        return Compare(data(), size(), str.data(), str.size());
    }
    int compare(size_type pos1, size_type n1, const flex_string& str) const {
        return compare(pos1, n1, str.data(), str.size());
    }
    int compare(size_type pos1, size_type n1, const flex_string& str, size_type pos2,
                size_type n2 = npos) const {
        INFRA_ASSERT_TEXT(pos2 <= str.size(), "pos <= size()");
        return compare(pos1, n1, str.data() + pos2, std::min(n2, str.size() - pos2));
    }
    int compare(const E* s) const noexcept { return Compare(data(), size(), s, T::length(s)); }
    int compare(size_type pos1, size_type n1, const E* s) const {
        return compare(pos1, n1, s, T::length(s));
    }
    int compare(size_type pos1, size_type n1, const E* s, size_type n2) const {
        INFRA_ASSERT_TEXT(pos1 <= size(), "pos <= size()");
        return Compare(data() + pos1, std::min(n1, size() - pos1), s, n2);
    }
    template <class A2>
    int compare(const std::basic_string<E, T, A2>& str) const noexcept {
        return Compare(data(), size(), str.data(), str.size());
    }

private:
    /// True when [s1, s2) is non-empty and starts inside the own text (its NUL included).
    bool IsAliasedRange(const E* s1, const E* s2) const noexcept {
        const std::less_equal<const E*> le;
        return s1 != s2 && le(data(), s1) && le(s1, data() + size());
    }

    void CheckIterators(const_iterator i1, const_iterator i2) const noexcept {
        const std::less_equal<const E*> le;
        INFRA_ASSERT_TEXT(le(i1, i2), "i1 <= i2");
        INFRA_ASSERT_TEXT(le(begin(), i1) && le(i1, end()), "begin() <= i1 && i1 <= end()");
        INFRA_ASSERT_TEXT(le(begin(), i2) && le(i2, end()), "begin() <= i2 && i2 <= end()");
    }

    void CheckGrowth(size_type n) const noexcept {
        INFRA_ASSERT_TEXT(n <= max_size() - size(), "n <= max_size() - size()");
    }

    /// Index of the last character of a non-empty string.
    size_type CheckedLast() const noexcept {
        INFRA_ASSERT_TEXT(!empty(), "!empty()");
        return size() - 1;
    }

    /// Reserves room for exactly `needed` characters (> capacity()): strings grow by what is
    /// added, without a growth factor.
    void Grow(size_type needed) { s_.reserve(needed); }

    /// Replaces the n1 characters at pos (a range inside the text) by [s1, s2), which must not
    /// lie in the own text.
    flex_string& ReplaceCore(size_type pos, size_type n1, const E* s1, const E* s2) {
        INFRA_ASSERT_TEXT(!IsAliasedRange(s1, s2), "!IsAliasedRange(s1, s2)");
        const size_type n2 = static_cast<size_type>(s2 - s1);
        const size_type sz = size();
        if (n2 <= n1) {
            E* p = s_.begin() + pos;
            T::copy(p, s1, n2);
            T::move(p + n2, p + n1, sz - pos - n1);
            s_.resize(sz - (n1 - n2), E());
            return *this;
        }
        // Overwrite the n1 replaced characters, then open a gap for the rest [t, s2).
        const E* t = s1 + n1;
        INFRA_ASSERT_TEXT(std::distance(t, s2) >= 0, "std::distance(t, s2) >= 0");
        const size_type rest = n2 - n1;
        CheckGrowth(rest);
        if (rest > capacity() - sz) {
            Grow(sz + rest);
        }
        s_.resize(sz + rest, E());
        E* p = s_.begin();
        T::copy(p + pos, s1, n1);
        T::move(p + pos + n2, p + pos + n1, sz - pos - n1);
        T::copy(p + pos + n1, t, rest);
        return *this;
    }

    /// Single-pass sources are collected first (in a string that grows geometrically, since
    /// their length is not known).
    template <class It>
    flex_string& ReplaceRange(size_type pos, size_type n1, It s1, It s2, std::input_iterator_tag) {
        const std::basic_string<E, T> tmp(s1, s2);
        return ReplaceCore(pos, n1, tmp.data(), tmp.data() + tmp.size());
    }

    /// Character pointers are replaced in place (copied first if they alias); other iterators are
    /// copied first, since they may reach the own text in ways that cannot be detected.
    template <class It>
    flex_string& ReplaceRange(size_type pos, size_type n1, It s1, It s2,
                              std::forward_iterator_tag) {
        const difference_type n2 = std::distance(s1, s2);
        INFRA_ASSERT_TEXT(n2 >= 0, "n2 >= 0");
        if constexpr (kIsCharPointer<It>) {
            return replace(pos, n1, static_cast<const E*>(s1), static_cast<size_type>(n2));
        } else {
            flex_string tmp(static_cast<size_type>(n2), E());
            std::copy(s1, s2, tmp.begin());
            return ReplaceCore(pos, n1, tmp.data(), tmp.data() + n2);
        }
    }

    size_type FindFirst(const E* s, size_type pos, size_type n, bool in) const noexcept {
        const size_type sz = size();
        for (; pos < sz; ++pos) {
            if ((T::find(s, n, data()[pos]) != nullptr) == in) {
                return pos;
            }
        }
        return npos;
    }

    size_type FindLast(const E* s, size_type pos, size_type n, bool in) const noexcept {
        const size_type sz = size();
        if (sz == 0) {
            return npos;
        }
        pos = std::min(pos, sz - 1);
        do {
            if ((T::find(s, n, data()[pos]) != nullptr) == in) {
                return pos;
            }
        } while (pos-- > 0);
        return npos;
    }

    static int Compare(const E* a, size_type na, const E* b, size_type nb) noexcept {
        const int r = T::compare(a, b, std::min(na, nb));
        return r != 0 ? r : na < nb ? -1 : na > nb ? 1 : 0;
    }
};

/// --- non-member operations --------------------------------------------------------------------
#define INFRA_FLEX_TEMPLATE template <typename E, class T, class A, class S>
#define INFRA_FLEX flex_string<E, T, A, S>

/// a followed by b, reserved once.
INFRA_FLEX_TEMPLATE
INFRA_FLEX flexConcat(const E* a, std::size_t na, const E* b, std::size_t nb) {
    INFRA_FLEX result;
    result.reserve(na + nb);
    result.append(a, na).append(b, nb);
    return result;
}

INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(const INFRA_FLEX& lhs, const INFRA_FLEX& rhs) {
    return flexConcat<E, T, A, S>(lhs.data(), lhs.size(), rhs.data(), rhs.size());
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(INFRA_FLEX&& lhs, const INFRA_FLEX& rhs) {
    return std::move(lhs.append(rhs));
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(const INFRA_FLEX& lhs, INFRA_FLEX&& rhs) {
    return std::move(rhs.insert(std::size_t(0), lhs));
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(INFRA_FLEX&& lhs, INFRA_FLEX&& rhs) {
    return std::move(lhs.append(rhs));
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(const E* lhs, const INFRA_FLEX& rhs) {
    return flexConcat<E, T, A, S>(lhs, T::length(lhs), rhs.data(), rhs.size());
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(const E* lhs, INFRA_FLEX&& rhs) {
    return std::move(rhs.insert(std::size_t(0), lhs));
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(E lhs, const INFRA_FLEX& rhs) {
    return flexConcat<E, T, A, S>(&lhs, 1, rhs.data(), rhs.size());
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(E lhs, INFRA_FLEX&& rhs) {
    return std::move(rhs.insert(std::size_t(0), std::size_t(1), lhs));
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(const INFRA_FLEX& lhs, const E* rhs) {
    return flexConcat<E, T, A, S>(lhs.data(), lhs.size(), rhs, T::length(rhs));
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(INFRA_FLEX&& lhs, const E* rhs) {
    return std::move(lhs.append(rhs));
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(const INFRA_FLEX& lhs, E rhs) {
    return flexConcat<E, T, A, S>(lhs.data(), lhs.size(), &rhs, 1);
}
INFRA_FLEX_TEMPLATE
INFRA_FLEX operator+(INFRA_FLEX&& lhs, E rhs) {
    lhs.push_back(rhs);
    return std::move(lhs);
}
template <typename E, class T, class A, class S, class A2>
INFRA_FLEX operator+(const INFRA_FLEX& lhs, const std::basic_string<E, T, A2>& rhs) {
    return flexConcat<E, T, A, S>(lhs.data(), lhs.size(), rhs.data(), rhs.size());
}
template <typename E, class T, class A, class S, class A2>
INFRA_FLEX operator+(const std::basic_string<E, T, A2>& lhs, const INFRA_FLEX& rhs) {
    return flexConcat<E, T, A, S>(lhs.data(), lhs.size(), rhs.data(), rhs.size());
}

INFRA_FLEX_TEMPLATE
bool operator==(const INFRA_FLEX& lhs, const INFRA_FLEX& rhs) noexcept {
    return lhs.size() == rhs.size() && T::compare(lhs.data(), rhs.data(), lhs.size()) == 0;
}
INFRA_FLEX_TEMPLATE
bool operator==(const E* lhs, const INFRA_FLEX& rhs) noexcept {
    return rhs.compare(lhs) == 0;
}
INFRA_FLEX_TEMPLATE
bool operator==(const INFRA_FLEX& lhs, const E* rhs) noexcept {
    return lhs.compare(rhs) == 0;
}
template <typename E, class T, class A, class S, class A2>
bool operator==(const std::basic_string<E, T, A2>& lhs, const INFRA_FLEX& rhs) noexcept {
    return rhs.compare(lhs) == 0;
}
template <typename E, class T, class A, class S, class A2>
bool operator==(const INFRA_FLEX& lhs, const std::basic_string<E, T, A2>& rhs) noexcept {
    return lhs.compare(rhs) == 0;
}

/// The other relations, each for the five operand pairs above, through compare().
#define INFRA_FLEX_RELATION(op)                                                                \
    INFRA_FLEX_TEMPLATE                                                                        \
    bool operator op(const INFRA_FLEX& lhs, const INFRA_FLEX& rhs) noexcept {                  \
        return lhs.compare(rhs) op 0;                                                          \
    }                                                                                          \
    INFRA_FLEX_TEMPLATE                                                                        \
    bool operator op(const E* lhs, const INFRA_FLEX& rhs) noexcept {                           \
        return 0 op rhs.compare(lhs);                                                          \
    }                                                                                          \
    INFRA_FLEX_TEMPLATE                                                                        \
    bool operator op(const INFRA_FLEX& lhs, const E* rhs) noexcept {                           \
        return lhs.compare(rhs) op 0;                                                          \
    }                                                                                          \
    template <typename E, class T, class A, class S, class A2>                                 \
    bool operator op(const std::basic_string<E, T, A2>& lhs, const INFRA_FLEX& rhs) noexcept { \
        return 0 op rhs.compare(lhs);                                                          \
    }                                                                                          \
    template <typename E, class T, class A, class S, class A2>                                 \
    bool operator op(const INFRA_FLEX& lhs, const std::basic_string<E, T, A2>& rhs) noexcept { \
        return lhs.compare(rhs) op 0;                                                          \
    }

INFRA_FLEX_RELATION(!=)
INFRA_FLEX_RELATION(<)
INFRA_FLEX_RELATION(<=)
INFRA_FLEX_RELATION(>)
INFRA_FLEX_RELATION(>=)
#undef INFRA_FLEX_RELATION

INFRA_FLEX_TEMPLATE
void swap(INFRA_FLEX& lhs, INFRA_FLEX& rhs) noexcept {
    lhs.swap(rhs);
}

/// Formatted output, honouring width, fill and adjustment like std::basic_string.
INFRA_FLEX_TEMPLATE
std::basic_ostream<E, T>& operator<<(std::basic_ostream<E, T>& os, const INFRA_FLEX& str) {
    return os << std::basic_string_view<E, T>(str.data(), str.size());
}

/// Formatted input like std::basic_string: skips leading white space, then reads up to width()
/// (or max_size()) characters until white space or end of file; sets failbit when nothing is read.
INFRA_FLEX_TEMPLATE
std::basic_istream<E, T>& operator>>(std::basic_istream<E, T>& is, INFRA_FLEX& str) {
    typedef typename INFRA_FLEX::size_type size_type;
    std::ios_base::iostate state = std::ios_base::goodbit;
    const typename std::basic_istream<E, T>::sentry ok(is);
    if (ok) {
        str.clear();
        const std::streamsize width = is.width();
        const size_type limit = width > 0 ? static_cast<size_type>(width) : str.max_size();
        const std::ctype<E>& ctype = std::use_facet<std::ctype<E>>(is.getloc());
        std::basic_streambuf<E, T>* buf = is.rdbuf();
        size_type extracted = 0;
        for (typename T::int_type c = buf->sgetc(); extracted < limit; c = buf->snextc()) {
            if (T::eq_int_type(c, T::eof())) {
                state |= std::ios_base::eofbit;
                break;
            }
            const E ch = T::to_char_type(c);
            if (ctype.is(std::ctype_base::space, ch)) {
                break;
            }
            str.push_back(ch);
            ++extracted;
        }
        is.width(0);
        if (extracted == 0) {
            state |= std::ios_base::failbit;
        }
    }
    if (state != std::ios_base::goodbit) {
        is.setstate(state);
    }
    return is;
}

/// Reads characters until delim (extracted, not stored) or end of file, like std::getline.
INFRA_FLEX_TEMPLATE
std::basic_istream<E, T>& getline(std::basic_istream<E, T>& is, INFRA_FLEX& str, E delim) {
    typedef typename INFRA_FLEX::size_type size_type;
    std::ios_base::iostate state = std::ios_base::goodbit;
    const typename std::basic_istream<E, T>::sentry ok(is, true);
    if (ok) {
        str.clear();
        std::basic_streambuf<E, T>* buf = is.rdbuf();
        const typename T::int_type delimInt = T::to_int_type(delim);
        size_type extracted = 0;
        for (;;) {
            const typename T::int_type c = buf->sgetc();
            if (T::eq_int_type(c, T::eof())) {
                state |= std::ios_base::eofbit;
                break;
            }
            if (T::eq_int_type(c, delimInt)) {
                buf->sbumpc();
                ++extracted;
                break;
            }
            if (str.size() == str.max_size()) {
                state |= std::ios_base::failbit;
                break;
            }
            str.push_back(T::to_char_type(c));
            buf->sbumpc();
            ++extracted;
        }
        if (extracted == 0) {
            state |= std::ios_base::failbit;
        }
    }
    if (state != std::ios_base::goodbit) {
        is.setstate(state);
    }
    return is;
}
INFRA_FLEX_TEMPLATE
std::basic_istream<E, T>& getline(std::basic_istream<E, T>& is, INFRA_FLEX& str) {
    return getline(is, str, is.widen('\n'));
}
INFRA_FLEX_TEMPLATE
std::basic_istream<E, T>& getline(std::basic_istream<E, T>&& is, INFRA_FLEX& str, E delim) {
    return getline(is, str, delim);
}
INFRA_FLEX_TEMPLATE
std::basic_istream<E, T>& getline(std::basic_istream<E, T>&& is, INFRA_FLEX& str) {
    return getline(is, str, is.widen('\n'));
}

#undef INFRA_FLEX
#undef INFRA_FLEX_TEMPLATE

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_INFRA3_DETAIL_FLEX_STRING_H
