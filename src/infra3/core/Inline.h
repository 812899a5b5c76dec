// Core: inlining hints for hot paths (a line's formatting, the pools): always inline a step
// written as a function of its own, never inline a cold path into its caller.
#ifndef INFRA_SRC_INFRA3_CORE_INLINE_H
#define INFRA_SRC_INFRA3_CORE_INLINE_H

#if defined(__GNUC__)
#define INFRA_ALWAYS_INLINE inline __attribute__((always_inline))
#define INFRA_NEVER_INLINE __attribute__((noinline))
#else
#define INFRA_ALWAYS_INLINE inline
#define INFRA_NEVER_INLINE
#endif

#endif  // INFRA_SRC_INFRA3_CORE_INLINE_H
