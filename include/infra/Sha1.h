/// @file
/// SHA-1 message digest (FIPS 180-1), computed incrementally.
///
/// An object collects data with update() until final() or hex() finishes the hash; the digest is
/// then kept, and further final()/hex() calls return it again. The first update() with data after
/// finishing starts a new hash from scratch. Where the processor offers the SHA instructions they
/// are used; the results are the same either way.
///
/// An object is not safe for use by two threads at once; separate objects are independent.
/// SHA-1 is not collision resistant: use it for checksums and for peers that require it.
#ifndef INFRA_SHA1_H
#define INFRA_SHA1_H

#include "infra/Defs.h"

namespace Tovix {
namespace Utils {

struct Sha1Internal;

class INFRA_API CSha1 {
public:
    /// Starts a hash of the empty message.
    CSha1();
    ~CSha1();
    CSha1(const CSha1&) = delete;
    CSha1& operator=(const CSha1&) = delete;

    /// Adds `len` bytes at `data`. A null `data` or a `len` of 0 is ignored. When the hash is
    /// finished, it first starts a new one, so the digest then covers these bytes alone.
    void update(const unsigned char* data, unsigned int len);

    /// Writes the 20 digest bytes to `hash`, finishing the hash first if needed. `len` is the
    /// size of `hash`. A null `hash` logs "hash is NULL!", a `len` below 20 logs
    /// "len(<len>) is invalid!" (error level); either leaves the state unchanged and writes
    /// nothing.
    void final(unsigned char* hash, unsigned int len);

    /// Writes the digest as 40 lowercase hexadecimal characters, high nibble first, to `str`,
    /// finishing the hash first if needed. `len` is the size of `str`: a NUL follows the text only
    /// when `len` is above 40. A null `str` logs "str is NULL!", a `len` below 40 logs
    /// "len(<len>) is invalid!" (error level); either leaves the state unchanged and writes
    /// nothing.
    void hex(char* str, unsigned int len);

private:
    Sha1Internal* m_internal;
};

namespace Detail {

/// True when CSha1 currently uses the SHA instructions (the processor has them and they are not
/// switched off).
INFRA_API bool sha1Accelerated();

/// Tests only: `false` makes CSha1 use the portable path even where the processor offers the SHA
/// instructions; `true` restores the choice by processor. Takes effect for blocks hashed after it
/// returns, on every thread.
INFRA_API void setSha1Acceleration(bool enable);

}  // namespace Detail

}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_SHA1_H
