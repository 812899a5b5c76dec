// Fuzzes the code page 936 converters on arbitrary bytes: char2uni, Gb2312ToUni, UniTGb2312,
// uni2char, Gb2312TUtf8 and utf8TGb2312. Buffers are allocations of exactly the size each call
// is given, so any read or write outside them is reported. Checked: the documented bounds; the
// one-pass Gb2312TUtf8 against its definition (Gb2312ToUni, then utf8_wcstombs); and that text
// decoded from the code page encodes back to units that decode the same.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "infra/CharSet.h"

namespace {

using FuzzSupport::block;
using FuzzSupport::check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Tovix::Utils;
    if (size > 1 << 16) {
        return 0;
    }
    const int n = static_cast<int>(size);
    auto in = block<unsigned char>(size);
    std::memcpy(in.get(), data, size);
    for (int i = 0; i < n; ++i) {
        unsigned short u;
        const int length = char2uni(in.get() + i, n - i, &u);
        check(length == -1 || length == 1 || (length == 2 && n - i >= 2));
    }
    for (int i = 0; i + 1 < n; i += 2) {
        unsigned char out[2];
        const unsigned short u = static_cast<unsigned short>(in[i] | in[i + 1] << 8);
        const int length = uni2char(u, out, 2);
        check(length >= -1 && length <= 2 && length != 0);
        if (length > 0) {
            unsigned short back = 0;
            check(char2uni(out, length, &back) == length && (back == u || u == 0x80));
        }
    }

    // As a NUL-terminated text.
    auto text = block<char>(size + 1);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';
    const int textLength = static_cast<int>(std::strlen(text.get()));

    auto units = block<unsigned short>(static_cast<std::size_t>(textLength) + 1);
    const int count = Gb2312ToUni(text.get(), units.get(), textLength + 1);
    check(count >= 0 && count <= textLength && units[count] == 0);

    // Back to the code page; when every unit has a form, the result decodes to the same units.
    const int gbSize = 2 * count + 1;
    auto gb = block<char>(static_cast<std::size_t>(gbSize));
    const int encoded = UniTGb2312(units.get(), count, gb.get(), gbSize);
    check(encoded == -1 || encoded == count);
    if (encoded == count) {
        auto again = block<unsigned short>(static_cast<std::size_t>(count) + 1);
        check(Gb2312ToUni(gb.get(), again.get(), count + 1) == count);
        check(std::memcmp(again.get(), units.get(), sizeof(unsigned short) * count) == 0);
    }
    // A short output stops early and stays terminated.
    const int shortSize = gbSize / 3 + 1;
    auto shortGb = block<char>(static_cast<std::size_t>(shortSize));
    const int shortCount = UniTGb2312(units.get(), count, shortGb.get(), shortSize);
    check(shortCount >= -1 && shortCount <= count);
    check(std::memchr(shortGb.get(), 0, static_cast<std::size_t>(shortSize)) != nullptr);

    // To UTF-8 in one pass, against the definition, for several allowances.
    for (int allowance : {3 * textLength + 1, textLength, textLength / 3 + 1}) {
        auto oneStep = block<unsigned char>(static_cast<std::size_t>(allowance));
        const int got = Gb2312TUtf8(text.get(), oneStep.get(), allowance);
        std::vector<unsigned char> twoStep(static_cast<std::size_t>(allowance), 0);
        const int expected =
            textLength == 0 ? 0 : utf8_wcstombs(twoStep.data(), units.get(), allowance);
        check(got == expected);
        check(textLength == 0 ||
              std::memcmp(oneStep.get(), twoStep.data(), static_cast<std::size_t>(allowance)) == 0);
        if (allowance == 3 * textLength + 1 && got > 0) {
            // And back: every character of the UTF-8 text came from the code page.
            auto back = block<char>(static_cast<std::size_t>(gbSize));
            const int backCount = utf8TGb2312(oneStep.get(), back.get(), got, gbSize);
            check(backCount == encoded);
        }
    }
    return 0;
}
