/// @file
/// Common definitions of the public interface: the export macro, the C linkage helper and the
/// function-signature spelling used by assertion reports.
#ifndef INFRA_DEFS_H
#define INFRA_DEFS_H

// INFRA_API marks what the library exports. The library is built with hidden visibility, so
// anything without it stays internal. Define INFRA_STATIC when linking the static library.
#if defined(INFRA_STATIC)
#define INFRA_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#if defined(INFRA_BUILDING)
#define INFRA_API __declspec(dllexport)
#else
#define INFRA_API __declspec(dllimport)
#endif
#else
#define INFRA_API __attribute__((visibility("default")))
#endif

#if defined(__cplusplus)
#define INFRA_EXTERN_C extern "C"
#else
#define INFRA_EXTERN_C
#endif

// The enclosing function's full signature as the compiler spells it.
#if defined(_MSC_VER)
#define INFRA_FUNCTION __FUNCSIG__
#else
#define INFRA_FUNCTION __PRETTY_FUNCTION__
#endif

#if defined(__MINGW32__)
/// mingw-w64 builds of the library format with the C99-conforming printf family of the mingw
/// runtime (%zu, %lld, %jd as on other systems), not with the system runtime's dialect.
#define INFRA_PRINTF_FORMAT(fmtIndex, firstArg) \
    __attribute__((format(gnu_printf, fmtIndex, firstArg)))
#define INFRA_LIKELY(x) __builtin_expect(!!(x), 1)
#define INFRA_UNLIKELY(x) __builtin_expect(!!(x), 0)
#elif defined(__GNUC__) || defined(__clang__)
#define INFRA_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#define INFRA_LIKELY(x) __builtin_expect(!!(x), 1)
#define INFRA_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define INFRA_PRINTF_FORMAT(fmtIndex, firstArg)
#define INFRA_LIKELY(x) (x)
#define INFRA_UNLIKELY(x) (x)
#endif

// Marks a static object that must be constant-initialised (no dynamic initialiser whose order
// could matter); the build fails when it is not.
#if defined(__clang__)
#define INFRA_CONSTINIT [[clang::require_constant_initialization]]
#elif defined(__GNUC__) && __GNUC__ >= 10
#define INFRA_CONSTINIT __constinit
#else
#define INFRA_CONSTINIT
#endif

// Lock rules the compiler checks (clang's -Wthread-safety): the library's mutexes are
// capabilities, members name the lock that guards them and functions the locks they need. The
// annotations change no code and no symbol; other compilers see nothing.
#if defined(__clang__)
#define INFRA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define INFRA_THREAD_ANNOTATION(x)
#endif
/// A class whose objects are locks; `kind` names them in diagnostics ("mutex").
#define INFRA_CAPABILITY(kind) INFRA_THREAD_ANNOTATION(capability(kind))
/// A class that holds a lock for its lifetime (taken by the constructor, left by the destructor).
#define INFRA_SCOPED_CAPABILITY INFRA_THREAD_ANNOTATION(scoped_lockable)
/// A member read or written only with `lock` held.
#define INFRA_GUARDED_BY(lock) INFRA_THREAD_ANNOTATION(guarded_by(lock))
/// A pointer member whose target is read or written only with `lock` held.
#define INFRA_PT_GUARDED_BY(lock) INFRA_THREAD_ANNOTATION(pt_guarded_by(lock))
/// A function called with the locks held (exclusively / at least shared), which it keeps.
#define INFRA_REQUIRES(...) INFRA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define INFRA_REQUIRES_SHARED(...) INFRA_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
/// A function that returns with the locks taken (none named: the object itself).
#define INFRA_ACQUIRE(...) INFRA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define INFRA_ACQUIRE_SHARED(...) INFRA_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
/// A function that takes the locks when it returns `result`.
#define INFRA_TRY_ACQUIRE(...) INFRA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
/// A function called with the locks held that leaves them (exclusive, shared, either).
#define INFRA_RELEASE(...) INFRA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define INFRA_RELEASE_SHARED(...) INFRA_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define INFRA_RELEASE_GENERIC(...) INFRA_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
/// A function that must not be called with the locks held (it takes them itself).
#define INFRA_EXCLUDES(...) INFRA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// A function that returns a reference to `lock`.
#define INFRA_RETURN_CAPABILITY(lock) INFRA_THREAD_ANNOTATION(lock_returned(lock))
/// Turns the analysis off for one function whose locking it cannot follow; say why beside it.
#define INFRA_NO_THREAD_SAFETY_ANALYSIS INFRA_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // INFRA_DEFS_H
