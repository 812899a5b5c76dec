// Common definitions of the public interface: the export macro, the C linkage helper and the
// function-signature spelling used by assertion reports.
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
// mingw-w64 builds of the library format with the C99-conforming printf family of the mingw
// runtime (%zu, %lld, %jd as on other systems), not with the system runtime's dialect.
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

#endif  // INFRA_DEFS_H
