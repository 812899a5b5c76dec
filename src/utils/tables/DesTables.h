// Constant data of the DES block cipher: the published permutations and S-boxes, and the
// combined S-box/permutation tables and key-schedule helpers the fast core works with.
#ifndef INFRA_SRC_UTILS_TABLES_DESTABLES_H
#define INFRA_SRC_UTILS_TABLES_DESTABLES_H

#include <cstdint>

namespace Tovix {
namespace Utils {
namespace Detail {

// Permuted choice 1 (64 key bits to 56), bit numbers counted from 1 at the most significant bit.
extern const std::uint8_t kDesPc1[56];
// Permuted choice 2 (56 bits to a 48-bit subkey).
extern const std::uint8_t kDesPc2[48];
// Left rotations of the two 28-bit key halves before each of the 16 rounds.
extern const std::uint8_t kDesKeyShifts[16];

// The eight S-boxes folded with the permutation P. Entry [i][x] is the round-function output
// contributed by S-box i for the 6-bit expanded input x (first expanded bit most significant),
// rotated left by one bit: the core keeps both block halves rotated that way, so the expansion
// groups fall on byte boundaries.
struct DesSpTable {
    std::uint32_t sp[8][64];
};
extern const DesSpTable kDesSp;

}  // namespace Detail
}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_SRC_UTILS_TABLES_DESTABLES_H
