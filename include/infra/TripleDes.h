/// @file
/// DES and Triple DES (encrypt-decrypt-encrypt) encryption of byte buffers, in ECB or CBC
/// chaining.
#ifndef INFRA_TRIPLEDES_H
#define INFRA_TRIPLEDES_H

#include "infra/Defs.h"

namespace Tovix {
namespace Utils {

struct TripleDesInternal;

/// Encrypts and decrypts whole blocks with a key fixed at construction.
///
/// The key length chooses the algorithm (bytes past 24 are ignored):
///   1..8 bytes    single DES; a shorter key is padded with zero bytes to 8;
///   9..16 bytes   two-key Triple DES: K1 = bytes 0-7, K2 = bytes 8-15 (zero-padded), K3 = K1;
///   17..24 bytes  three-key Triple DES: K1, K2, K3 = bytes 0-7, 8-15, 16-23 (zero-padded).
/// Encryption is E(K1) D(K2) E(K3), decryption D(K3) E(K2) D(K1). A key of length 0 makes every
/// call fail.
///
/// With an IV the object chains in CBC mode, else ECB. Every call starts its chain from the IV
/// given to the constructor: the object never remembers where a previous call ended, so data
/// must be encrypted and decrypted in one call per message.
///
/// Block size: 8 bytes, except with blockType16 and a key longer than 8 bytes, where it is 16:
/// each 16-byte block is two DES blocks A and B that run the three passes side by side, with
/// the second word of A and the first word of B exchanged between the passes (so the result is
/// not that of two independent Triple DES blocks). With a key of 8 bytes or fewer the block type
/// has no effect.
///
/// Threads: the key schedules belong to the object and are built once by the constructor;
/// encrypt and decrypt only read the object, so any number of threads may use one object, or
/// many, at the same time.
class INFRA_API CTripleDes {
public:
    /// blockType16 selects the 16-byte block; any other value the 8-byte block.
    enum BlockType : int {
        blockType8 = 0,
        blockType16 = 1,
    };

    /// `key` holds `keyLen` bytes (a null key counts as length 0). `iv` is null for ECB, else it
    /// holds at least one block (8 or 16 bytes, see above).
    CTripleDes(unsigned char const* key, unsigned int keyLen, BlockType type,
               unsigned char const* iv);
    ~CTripleDes();
    CTripleDes(const CTripleDes&) = delete;
    CTripleDes& operator=(const CTripleDes&) = delete;

    /// Encrypts the whole blocks of `src` (size rounded down to a multiple of the block size)
    /// into `dst`; bytes of a trailing partial block are left untouched in `dst`. `dst` may be
    /// `src` (in place); otherwise the buffers must not overlap.
    ///
    /// Returns true when `size` is a whole number of blocks and the key length is not 0. Fails,
    /// logging an error, when the key length is 0 (nothing is written) or `size` is not a
    /// multiple of the block size (the whole blocks are still processed). A null `src` or `dst`
    /// is logged and nothing is written; the result then still follows the size rule.
    bool encrypt(unsigned char* dst, unsigned char const* src, unsigned int size);

    /// The reverse of encrypt, with the same size rule, results and messages.
    bool decrypt(unsigned char* dst, unsigned char const* src, unsigned int size);

private:
    TripleDesInternal* m_internal;
};

}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_TRIPLEDES_H
