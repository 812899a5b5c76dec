// Fuzzes the UTF-8 decoders on arbitrary bytes: utf8_mbtowc, utf8_mbstowcs, GetUnicodeFromUtf8,
// utf8_to_cp1252 and utf8TGb2312. Inputs live in allocations of exactly their size (texts end
// right after their NUL) and outputs in allocations of exactly the size the call is given, so
// any read or write outside them is reported. Results are checked against the documented bounds,
// and every valid form must be the shortest form of its value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "FuzzSupport.h"
#include "infra/CharSet.h"

namespace {

using FuzzSupport::block;
using FuzzSupport::check;

// The value of a valid form of `length` bytes, computed here from the bytes alone.
std::uint32_t formValue(const unsigned char* s, int length) {
    static const unsigned char kLeadBits[7] = {0, 0x7F, 0x1F, 0x0F, 0x07, 0x03, 0x01};
    std::uint32_t v = s[0] & kLeadBits[length];
    for (int i = 1; i < length; ++i) {
        v = (v << 6) | (s[i] & 0x3F);
    }
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Tovix::Utils;
    if (size > 1 << 16) {
        return 0;
    }
    const int n = static_cast<int>(size);
    auto in = block<unsigned char>(size);
    std::memcpy(in.get(), data, size);

    // Each position decoded alone, bounded by the bytes left.
    for (int i = 0; i < n; ++i) {
        unsigned short u = 0;
        const int length = utf8_mbtowc(&u, in.get() + i, n - i);
        check(length == -1 || (length >= 1 && length <= 6 && length <= n - i));
        if (length > 0 && length <= 3) {
            // No overlong form is accepted: re-encoding gives back the same bytes.
            check(u == formValue(in.get() + i, length));
            unsigned char again[3];
            check(utf8_wctomb(again, u, 3) == length);
            check(std::memcmp(again, in.get() + i, static_cast<std::size_t>(length)) == 0);
        }
    }

    auto units = block<unsigned short>(size);
    const int count = utf8_mbstowcs(units.get(), in.get(), n);
    check(count >= 0 && count <= n);

    // As a NUL-terminated text.
    auto text = block<char>(size + 1);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';
    int length = -1;
    GetUnicodeFromUtf8(text.get(), &length);
    check(length >= 0 && length <= 3);

    // To code page 1252 with a full-size and a short output.
    for (int room : {n, n / 2}) {
        auto out = block<unsigned char>(static_cast<std::size_t>(room));
        const int written = utf8_to_cp1252(in.get(), n, out.get(), room);
        check(written >= 0 && written <= room);
    }

    // To code page 936, with the length given and beyond the text (it stops at the NUL), into
    // outputs of several sizes; the output stays NUL-terminated within its size.
    for (int room : {2 * n + 1, n / 2 + 1, 1}) {
        auto gb = block<char>(static_cast<std::size_t>(room));
        const int result =
            utf8TGb2312(reinterpret_cast<unsigned char*>(text.get()), gb.get(), n + 1, room);
        check(result >= -1 && result <= n);
        // An empty text returns before the output is touched.
        check(text[0] == '\0' ||
              std::memchr(gb.get(), 0, static_cast<std::size_t>(room)) != nullptr);
    }
    return 0;
}
