/// @file
/// Callable wrappers TFunction1 ... TFunction5: how callbacks are handed to the library.
///
/// A TFunctionN<R, A1, ..., AN> names either a plain function `R (*)(A1, ..., AN)` or a member
/// function `R (O::*)(A1, ..., AN)` together with the object to call it on. It is a small,
/// fixed-size, trivially copyable value whose layout is shared between the library and separately
/// compiled callers, so it is passed by value and stored by plain copy.
///
/// Layout (in this order, no hidden state; all fields zero in an empty value):
///   code      the plain function address (first word, the rest zero) or the member-function
///             pointer, which is two words on the Itanium C++ ABI, so the code field is as large
///             as a member-function pointer;
///   object    the object the member function is called on (zero for plain functions);
///   kind      32-bit discriminator, see TFunctionKind below (padded to a word on 64-bit targets);
///   typeName  for member forms typeid(O*).name() of the object pointer, else null; carried
///             along for diagnostics, never called and never compared.
/// The size is therefore sizeof(member-function pointer) + 3 pointers: 40 bytes on x86-64 Linux.
///
/// Member functions are called through a stand-in class (Detail::GenericObject), so only member
/// pointers with the single-inheritance representation are supported; a member pointer of another
/// size is rejected at compile time. The member function may belong to a base class of the object
/// and may be virtual (it is then called virtually, as a direct call would be).
///
/// Thread safety: a value is immutable once built; calling one value from several threads at once
/// is fine (the callee's own thread safety is the callee's business).
#ifndef INFRA_FUNCTION_H
#define INFRA_FUNCTION_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {
namespace Detail {

/// Stores `tag` as the calling thread's current-function-reuse tag (also declared in Error.h;
/// read back with getCurrentFunctionReuse()).
INFRA_API void setCurrentFunctionReuse(unsigned int tag);

}  // namespace Detail

/// Values of the kind word of a TFunctionN.
struct TFunctionKind {
    /// Nothing to call.
    static constexpr std::uint32_t empty = 0;
    /// Object + member function.
    static constexpr std::uint32_t member = 1;
    /// Plain function.
    static constexpr std::uint32_t plain = 2;
    /// Kinds firstReuseTag ... lastReuseTag are object + member function carrying that value as a
    /// reuse tag: every call first stores the tag as the calling thread's current-function-reuse
    /// value (see getCurrentFunctionReuse() in Error.h).
    static constexpr std::uint32_t firstReuseTag = 16;
    static constexpr std::uint32_t lastReuseTag = 0xFFFFFFFEu;
    /// Object + member function that compares equal to every tagged or wildcard member form with
    /// the same code and object; calls store no tag.
    static constexpr std::uint32_t wildcard = 0xFFFFFFFFu;
};

namespace Detail {

/// Stand-in class through which member functions of any (single-inheritance) class are called: an
/// empty, non-polymorphic class, so its member-function pointers have the common single-
/// inheritance representation and calls through it carry no dynamic-type check of their own.
class GenericObject {};

/// Everything shared by TFunction1 ... TFunction5. `Derived` is the TFunctionN type itself, so
/// that comparisons and the static helpers speak in terms of it.
template <class Derived, class R, class... Args>
class TFunctionImpl {
public:
    using ResultType = R;
    using PlainFunction = R (*)(Args...);
    using GenericMember = R (GenericObject::*)(Args...);

    /// Empty: nothing to call; all four fields zero.
    TFunctionImpl() noexcept
        : m_code{}, m_object(nullptr), m_kind(TFunctionKind::empty), m_typeName(nullptr) {}

    /// Wraps a plain function. A null pointer gives an empty value (equal to a default-built one).
    TFunctionImpl(PlainFunction fn) noexcept : TFunctionImpl() {
        if (fn != nullptr) {
            std::memcpy(m_code, &fn, sizeof(fn));
            m_kind = TFunctionKind::plain;
        }
    }

    /// Wraps anything that converts to the plain function type, such as a lambda without
    /// captures (so it can be passed where a TFunctionN parameter is expected). The lambda object
    /// itself is not kept: each call goes to the function its conversion yields.
    template <class F, std::enable_if_t<std::is_convertible<const F&, PlainFunction>::value &&
                                            !std::is_same<std::decay_t<F>, PlainFunction>::value &&
                                            !std::is_base_of<TFunctionImpl, F>::value,
                                        int> = 0>
    TFunctionImpl(const F& fn) noexcept : TFunctionImpl(static_cast<PlainFunction>(fn)) {}

    /// Wraps member function `fn` to be called on `obj` (kind member). `fn` may belong to `O` or to
    /// a base class of `O`. A null `obj` or null `fn` gives an empty value, as there would be
    /// nothing sound to call. A non-const member function needs a non-const object; given a const
    /// object, an overloaded name resolves to its const overload.
    template <class O, class C, std::enable_if_t<!std::is_const<O>::value, int> = 0>
    TFunctionImpl(O* obj, R (C::*fn)(Args...)) noexcept : TFunctionImpl() {
        bindMutable(obj, fn, TFunctionKind::member);
    }

    /// Same for a const member function; `obj` may then point to const.
    template <class O, class C>
    TFunctionImpl(O* obj, R (C::*fn)(Args...) const) noexcept : TFunctionImpl() {
        bindConst(obj, fn, TFunctionKind::member);
    }

    /// Tagged member form: with `tag` >= TFunctionKind::firstReuseTag the kind is `tag` itself
    /// (TFunctionKind::wildcard gives the wildcard form). A `tag` below firstReuseTag is not a
    /// reuse tag: the result is the plain member form, as from the two-argument constructor.
    template <class O, class C, std::enable_if_t<!std::is_const<O>::value, int> = 0>
    TFunctionImpl(O* obj, R (C::*fn)(Args...), unsigned int tag) noexcept : TFunctionImpl() {
        bindMutable(obj, fn, kindForTag(tag));
    }

    template <class O, class C>
    TFunctionImpl(O* obj, R (C::*fn)(Args...) const, unsigned int tag) noexcept : TFunctionImpl() {
        bindConst(obj, fn, kindForTag(tag));
    }

    /// Same as the three-argument constructors.
    template <class O, class C, std::enable_if_t<!std::is_const<O>::value, int> = 0>
    static Derived tagged(O* obj, R (C::*fn)(Args...), unsigned int tag) noexcept {
        return Derived(obj, fn, tag);
    }
    template <class O, class C>
    static Derived tagged(O* obj, R (C::*fn)(Args...) const, unsigned int tag) noexcept {
        return Derived(obj, fn, tag);
    }

    /// The wildcard member form (kind TFunctionKind::wildcard): equal to every tagged member form
    /// of the same member function on the same object; calling it stores no tag.
    template <class O, class C, std::enable_if_t<!std::is_const<O>::value, int> = 0>
    static Derived wildcard(O* obj, R (C::*fn)(Args...)) noexcept {
        return Derived(obj, fn, TFunctionKind::wildcard);
    }
    template <class O, class C>
    static Derived wildcard(O* obj, R (C::*fn)(Args...) const) noexcept {
        return Derived(obj, fn, TFunctionKind::wildcard);
    }

    /// Calls the wrapped function and returns its result unchanged. A tagged member form first
    /// stores its tag via Detail::setCurrentFunctionReuse(). Arguments are passed on as the
    /// signature types (by-value arguments are moved on, references passed through).
    /// Precondition: !empty() (calling an empty value is a caller error).
    R operator()(Args... args) const {
        if (m_kind == TFunctionKind::plain) {
            PlainFunction fn;
            std::memcpy(&fn, m_code, sizeof(fn));
            return fn(std::forward<Args>(args)...);
        }
        if (m_kind - TFunctionKind::firstReuseTag <
            TFunctionKind::wildcard - TFunctionKind::firstReuseTag) {
            Detail::setCurrentFunctionReuse(m_kind);
        }
        GenericMember fn;
        std::memcpy(&fn, m_code, sizeof(fn));
        // A member-pointer call has a branch for virtual targets that reads a vtable pointer from
        // the object. Once inlined next to a small non-polymorphic object, GCC cannot see that this
        // branch is never taken for it and reports an out-of-bounds read that cannot happen.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
        return (m_object->*fn)(std::forward<Args>(args)...);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    }

    /// True when there is nothing to call (kind TFunctionKind::empty).
    bool empty() const noexcept {
        return m_kind == TFunctionKind::empty;
    }

    /// The kind word (see TFunctionKind).
    std::uint32_t kind() const noexcept {
        return m_kind;
    }

    /// typeid(O*).name() of the object pointer for member forms; null for plain and empty values
    /// (and when built without run-time type information).
    const char* typeName() const noexcept {
        return m_typeName;
    }

    /// Equality:
    ///  - both kinds >= firstReuseTag: if either is the wildcard, equal when code and object match;
    ///    otherwise equal when kind, code and object all match;
    ///  - else different kinds are never equal;
    ///  - else by the common kind: member compares code and object, plain compares code, any other
    ///    kind (empty, and the unused 3 ... 15) is always equal.
    /// The type name never takes part.
    friend bool operator==(const Derived& a, const Derived& b) noexcept {
        return a.equals(b);
    }
    friend bool operator!=(const Derived& a, const Derived& b) noexcept {
        return !a.equals(b);
    }

private:
    static std::uint32_t kindForTag(unsigned int tag) noexcept {
        return tag >= TFunctionKind::firstReuseTag ? static_cast<std::uint32_t>(tag)
                                                   : TFunctionKind::member;
    }

    template <class O, class C>
    void bindMutable(O* obj, R (C::*fn)(Args...), std::uint32_t kind) noexcept {
        static_assert(!std::is_volatile<O>::value, "volatile objects are not supported");
        static_assert(std::is_base_of<C, O>::value,
                      "the member function must belong to the object's class or a base of it");
        // Converting to a member of O applies any base-class offset inside the member pointer, so
        // the object word stays `obj` as given.
        R (O::*own)(Args...) = fn;
        bind(obj, own, kind);
    }

    template <class O, class C>
    void bindConst(O* obj, R (C::*fn)(Args...) const, std::uint32_t kind) noexcept {
        static_assert(!std::is_volatile<O>::value, "volatile objects are not supported");
        using Object = std::remove_const_t<O>;
        static_assert(std::is_base_of<C, Object>::value,
                      "the member function must belong to the object's class or a base of it");
        R (Object::*own)(Args...) const = fn;
        bind(obj, own, kind);
    }

    template <class O, class Member>
    void bind(O* obj, Member fn, std::uint32_t kind) noexcept {
        static_assert(sizeof(Member) == sizeof(GenericMember),
                      "only single-inheritance member-function pointers are supported");
        if (obj == nullptr || fn == nullptr) {
            return;  ///< stays empty
        }
        // The classic technique: the member pointer is kept as one of the stand-in class and
        // converted back only to be called through a GenericObject* that holds the same address.
        GenericMember generic = reinterpret_cast<GenericMember>(fn);
        std::memcpy(m_code, &generic, sizeof(generic));
        m_object = reinterpret_cast<GenericObject*>(const_cast<std::remove_const_t<O>*>(obj));
        m_kind = kind;
#if defined(__GXX_RTTI) || defined(_CPPRTTI)
        m_typeName = typeid(O*).name();
#endif
    }

    bool sameCode(const TFunctionImpl& other) const noexcept {
        return std::memcmp(m_code, other.m_code, sizeof(m_code)) == 0;
    }

    bool equals(const TFunctionImpl& other) const noexcept {
        if (m_kind >= TFunctionKind::firstReuseTag &&
            other.m_kind >= TFunctionKind::firstReuseTag) {
            if (m_kind != TFunctionKind::wildcard && other.m_kind != TFunctionKind::wildcard &&
                m_kind != other.m_kind) {
                return false;
            }
            return sameCode(other) && m_object == other.m_object;
        }
        if (m_kind != other.m_kind) {
            return false;
        }
        switch (m_kind) {
            case TFunctionKind::member:
                return sameCode(other) && m_object == other.m_object;
            case TFunctionKind::plain:
                return sameCode(other);
            default:
                return true;
        }
    }

    static_assert(sizeof(PlainFunction) <= sizeof(GenericMember),
                  "a plain function pointer must fit in the code field");

    alignas(GenericMember) unsigned char m_code[sizeof(GenericMember)];
    GenericObject* m_object;
    std::uint32_t m_kind;
    const char* m_typeName;
};

/// Size every TFunctionN has: the code field plus three pointer-sized words (object, kind padded
/// to a word, type name).
constexpr std::size_t tfunctionSize = sizeof(void(GenericObject::*)()) + 3 * sizeof(void*);

}  // namespace Detail

/// A callable taking one argument: `TFunction1<R, A1>` wraps `R (*)(A1)` or `R (O::*)(A1)` (const
/// or not) bound to an object. See Detail::TFunctionImpl for construction, calling and equality.
template <class R, class A1>
class TFunction1 : public Detail::TFunctionImpl<TFunction1<R, A1>, R, A1> {
public:
    using Detail::TFunctionImpl<TFunction1<R, A1>, R, A1>::TFunctionImpl;
};

/// A callable taking two arguments.
template <class R, class A1, class A2>
class TFunction2 : public Detail::TFunctionImpl<TFunction2<R, A1, A2>, R, A1, A2> {
public:
    using Detail::TFunctionImpl<TFunction2<R, A1, A2>, R, A1, A2>::TFunctionImpl;
};

/// A callable taking three arguments.
template <class R, class A1, class A2, class A3>
class TFunction3 : public Detail::TFunctionImpl<TFunction3<R, A1, A2, A3>, R, A1, A2, A3> {
public:
    using Detail::TFunctionImpl<TFunction3<R, A1, A2, A3>, R, A1, A2, A3>::TFunctionImpl;
};

/// A callable taking four arguments.
template <class R, class A1, class A2, class A3, class A4>
class TFunction4 : public Detail::TFunctionImpl<TFunction4<R, A1, A2, A3, A4>, R, A1, A2, A3, A4> {
public:
    using Detail::TFunctionImpl<TFunction4<R, A1, A2, A3, A4>, R, A1, A2, A3, A4>::TFunctionImpl;
};

/// A callable taking five arguments.
template <class R, class A1, class A2, class A3, class A4, class A5>
class TFunction5
    : public Detail::TFunctionImpl<TFunction5<R, A1, A2, A3, A4, A5>, R, A1, A2, A3, A4, A5> {
public:
    using Detail::TFunctionImpl<TFunction5<R, A1, A2, A3, A4, A5>, R, A1, A2, A3, A4,
                                A5>::TFunctionImpl;
};

/// Deduction from a plain function: `TFunction2 f(&onTick);`.
template <class R, class A1>
TFunction1(R (*)(A1)) -> TFunction1<R, A1>;
template <class R, class A1, class A2>
TFunction2(R (*)(A1, A2)) -> TFunction2<R, A1, A2>;
template <class R, class A1, class A2, class A3>
TFunction3(R (*)(A1, A2, A3)) -> TFunction3<R, A1, A2, A3>;
template <class R, class A1, class A2, class A3, class A4>
TFunction4(R (*)(A1, A2, A3, A4)) -> TFunction4<R, A1, A2, A3, A4>;
template <class R, class A1, class A2, class A3, class A4, class A5>
TFunction5(R (*)(A1, A2, A3, A4, A5)) -> TFunction5<R, A1, A2, A3, A4, A5>;

// The layout is shared with separately compiled code: keep it fixed.
static_assert(sizeof(TFunction1<void, unsigned long>) == Detail::tfunctionSize, "layout changed");
static_assert(sizeof(TFunction5<int, int, int, int, int, int>) == Detail::tfunctionSize,
              "layout changed");
static_assert(std::is_trivially_copyable<TFunction1<void, unsigned long>>::value &&
                  std::is_trivially_copyable<TFunction2<void, void*, unsigned int>>::value &&
                  std::is_trivially_copyable<TFunction3<bool, int, int, int>>::value &&
                  std::is_trivially_copyable<TFunction4<void, int, int, int, int>>::value &&
                  std::is_trivially_copyable<TFunction5<void, int, int, int, int, int>>::value,
              "callables must be trivially copyable");
static_assert(std::is_standard_layout<TFunction1<bool, const char*>>::value &&
                  std::is_standard_layout<TFunction5<void, int, int, int, int, int>>::value,
              "callables must be standard-layout");

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_FUNCTION_H
