/// @file
/// MD5 message digest (RFC 1321), computed incrementally.
///
/// An object collects data with update() until final() or hex() finishes the hash; the digest is
/// then kept, and further final()/hex() calls return it again. The first update() with data after
/// finishing starts a new hash from scratch, as init() does at any time.
///
/// An object is not safe for use by two threads at once; separate objects are independent.
/// MD5 is not collision resistant: use it for checksums and for peers that require it.
#ifndef INFRA_MD5_H
#define INFRA_MD5_H

#include "infra/Defs.h"

namespace Tovix {
namespace Utils {

struct Md5Internal;

class INFRA_API CMd5 {
public:
    /// Starts a hash of the empty message.
    CMd5();
    ~CMd5();
    CMd5(const CMd5&) = delete;
    CMd5& operator=(const CMd5&) = delete;

    /// Drops whatever was collected or finished and starts a new hash.
    void init();

    /// Adds `len` bytes at `data`. A null `data` or a `len` of 0 is ignored. When the hash is
    /// finished, it first starts a new one, so the digest then covers these bytes alone.
    void update(const unsigned char* data, unsigned int len);

    /// Writes the 16 digest bytes to `digest`, finishing the hash first if needed. A null
    /// `digest` logs "digest is NULL" (error level) and leaves the state unchanged.
    void final(unsigned char* digest);

    /// Writes the digest as 32 lowercase hexadecimal characters, high nibble first, to `str`,
    /// finishing the hash first if needed. No NUL is written: the caller terminates the text.
    /// A null `str` logs "hash is NULL" (error level) and leaves the state unchanged.
    void hex(char* str);

private:
    Md5Internal* m_internal;
};

}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_MD5_H
