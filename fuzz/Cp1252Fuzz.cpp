// Fuzzes code page 1252 and the single-byte family on arbitrary bytes: cp1252_to_utf8,
// utf8_to_cp1252 and the <code page>_to_utf8 converters. Buffers are allocations of exactly the
// size each call is given, so any read or write outside them is reported. Checked: the documented
// results and length updates; that no byte past the output is touched (a too-small output not at
// all); and that code page 1252 text without undefined bytes survives the round trip through
// UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "infra/CharSet.h"

namespace {

using FuzzSupport::block;
using FuzzSupport::check;

using Converter = int (*)(unsigned char*, int&, unsigned char const*, int&);

const Converter kFamily[] = {
    Tovix::Utils::cp862_to_utf8,      Tovix::Utils::cp874_to_utf8,
    Tovix::Utils::cp1250_to_utf8,     Tovix::Utils::cp1251_to_utf8,
    Tovix::Utils::iso8859_1_to_utf8,  Tovix::Utils::iso8859_2_to_utf8,
    Tovix::Utils::iso8859_3_to_utf8,  Tovix::Utils::iso8859_4_to_utf8,
    Tovix::Utils::iso8859_5_to_utf8,  Tovix::Utils::iso8859_6_to_utf8,
    Tovix::Utils::iso8859_7_to_utf8,  Tovix::Utils::iso8859_8_to_utf8,
    Tovix::Utils::iso8859_9_to_utf8,  Tovix::Utils::iso8859_10_to_utf8,
    Tovix::Utils::iso8859_13_to_utf8, Tovix::Utils::iso8859_14_to_utf8,
    Tovix::Utils::iso8859_15_to_utf8, Tovix::Utils::iso8859_16_to_utf8,
};

bool isCp1252Undefined(unsigned char b) {
    return b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Tovix::Utils;
    if (size < 1 || size > 1 << 16) {
        return 0;
    }
    // The first byte picks the converter and the output room; the rest is the text.
    const unsigned int pick = data[0];
    const int n = static_cast<int>(size - 1);
    auto in = block<unsigned char>(size - 1);
    std::memcpy(in.get(), data + 1, size - 1);

    // Code page 1252: the size query, a fitting output and a short one.
    const int needed = cp1252_to_utf8(nullptr, 0, in.get(), n);
    if (n == 0) {
        check(needed == -1);
    } else {
        check(needed >= n && needed <= 3 * n);
        auto out = block<unsigned char>(static_cast<std::size_t>(needed));
        check(cp1252_to_utf8(out.get(), needed, in.get(), n) == 0);
        // Three bytes of room per source byte take the path without a sizing pass: the same
        // bytes, and nothing after them touched.
        auto ample = block<unsigned char>(3 * static_cast<std::size_t>(n));
        std::memset(ample.get(), 0xA5, 3 * static_cast<std::size_t>(n));
        check(cp1252_to_utf8(ample.get(), 3 * n, in.get(), n) == 0);
        check(std::memcmp(ample.get(), out.get(), static_cast<std::size_t>(needed)) == 0);
        for (int i = needed; i < 3 * n; ++i) {
            check(ample[i] == 0xA5);
        }
        const int shortRoom = needed - 1 - static_cast<int>(pick % 4);
        if (shortRoom > 0) {
            auto shortOut = block<unsigned char>(static_cast<std::size_t>(shortRoom));
            std::memset(shortOut.get(), 0xA5, static_cast<std::size_t>(shortRoom));
            check(cp1252_to_utf8(shortOut.get(), shortRoom, in.get(), n) == needed);
            for (int i = 0; i < shortRoom; ++i) {
                check(shortOut[i] == 0xA5);
            }
        }
        // Back again: without undefined bytes the text comes back unchanged.
        auto back = block<unsigned char>(static_cast<std::size_t>(n));
        const int backLength = utf8_to_cp1252(out.get(), needed, back.get(), n);
        check(backLength >= 0 && backLength <= n);
        bool defined = true;
        for (int i = 0; i < n; ++i) {
            defined = defined && !isCp1252Undefined(in[i]);
        }
        if (defined) {
            check(backLength == n &&
                  std::memcmp(back.get(), in.get(), static_cast<std::size_t>(n)) == 0);
        }
    }
    // The same bytes read as UTF-8.
    auto cp = block<unsigned char>(static_cast<std::size_t>(n));
    check(utf8_to_cp1252(in.get(), n, cp.get(), n) <= n);

    // One converter of the family, with room from exactly the source length to three times it.
    const Converter convert = kFamily[pick % (sizeof kFamily / sizeof kFamily[0])];
    const int room = n + static_cast<int>((pick / 18) % 3) * n;
    auto out = block<unsigned char>(static_cast<std::size_t>(room));
    std::memset(out.get(), 0xA5, static_cast<std::size_t>(room));
    int dstLen = room;
    int srcLen = n;
    const int result = convert(out.get(), dstLen, in.get(), srcLen);
    if (n == 0) {
        check(result == -1 && dstLen == room && srcLen == 0);
    } else {
        check(result == 0 && dstLen >= 0 && dstLen <= room && srcLen >= 0 && srcLen <= n);
        check(srcLen == n || dstLen + 3 > room);  // it stops early only when the room runs out
        for (int i = dstLen; i < room; ++i) {
            check(out[i] == 0xA5);  // nothing past the output is touched
        }
    }
    return 0;
}
