/// @file
/// CRC-16 and CRC-32 checksums over caller buffers.
///
/// crc16 is the reflected CRC over the polynomial 0x8005 without a final XOR: seed 0 gives
/// CRC-16/ARC, seed 0xFFFF gives CRC-16/MODBUS. crc32 is the standard CRC-32 of IEEE 802.3 and
/// zlib (reflected polynomial 0x04C11DB7, initial value and final XOR 0xFFFFFFFF), check value
/// 0xCBF43926 for "123456789".
///
/// The functions keep no state and take no locks; any thread may call them. They do not check
/// their pointers: `data` must hold `len` bytes (it may be null when `len` is 0). Where the
/// processor offers carry-less multiplication it is used; the results are the same either way.
#ifndef INFRA_CRC_H
#define INFRA_CRC_H

#include "infra/Defs.h"

namespace Tovix {
namespace Utils {

/// The CRC-16 of `len` bytes starting from `seed`: for each byte b,
/// crc = (crc >> 8) ^ table[(crc ^ b) & 0xFF]. Feeding a message in pieces, each call seeded with
/// the previous result, gives the result of one call. Zero bytes return `seed`.
INFRA_API unsigned short crc16(unsigned short seed, const unsigned char* data, unsigned int len);

/// The CRC-32 of `len` bytes. Zero bytes give 0.
INFRA_API unsigned int crc32(const unsigned char* data, unsigned int len);

/// Continues a CRC-32: `crc` is the result of an earlier call over the preceding bytes (0 to
/// start), so crc32(crc32(0, a, n), b, m) equals the CRC-32 of a followed by b, and
/// crc32(0, data, len) equals crc32(data, len). Zero bytes return `crc`.
INFRA_API unsigned int crc32(unsigned int crc, const unsigned char* data, unsigned int len);

namespace Detail {

/// True when crc32 currently uses carry-less multiplication (the processor has it and it is not
/// switched off).
INFRA_API bool crc32Accelerated();

/// Tests only: `false` makes crc32 use the portable table path even where the processor offers
/// acceleration; `true` restores the choice by processor. Takes effect for calls that start
/// after it returns, on every thread.
INFRA_API void setCrc32Acceleration(bool enable);

}  // namespace Detail

}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_CRC_H
