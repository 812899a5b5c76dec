// Fuzzes base64DecodeLen/base64Decode on arbitrary bytes: the text lives in an allocation that
// ends right after its terminator and the output in one exactly as large as base64DecodeLen
// says, so any read or write outside them is reported (except the vector path's search for the
// terminator, which reads whole aligned 32-byte blocks on purpose and is not instrumented: such a
// block never crosses a page). Results are checked against the documented counts, the vector
// and portable decoding paths must agree, and decoded bytes must survive an encode/decode round
// trip.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "infra/Base64.h"

namespace {

bool inAlphabet(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

using FuzzSupport::check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Tovix::Utils;
    if (size > 1 << 20) {
        return 0;
    }
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';

    std::size_t m = 0;
    while (inAlphabet(static_cast<unsigned char>(text[m]))) {
        ++m;
    }
    const int need = base64DecodeLen(text.get());
    check(need == static_cast<int>((m + 3) / 4 * 3 + 1));

    std::unique_ptr<char[]> out(new char[static_cast<std::size_t>(need)]);
    const int n = base64Decode(out.get(), text.get());
    const std::size_t r = m % 4;
    check(n == static_cast<int>(m / 4 * 3 + (r == 2 ? 1 : r == 3 ? 2 : 0)));
    check(out[static_cast<std::size_t>(n)] == '\0');

    std::unique_ptr<char[]> portable(new char[static_cast<std::size_t>(need)]);
    Detail::setBase64Acceleration(false);
    const int portableCount = base64Decode(portable.get(), text.get());
    Detail::setBase64Acceleration(true);
    check(portableCount == n);
    check(std::memcmp(portable.get(), out.get(), static_cast<std::size_t>(n) + 1) == 0);

    // Decoded bytes encode to a text that decodes back to them.
    const int encodedSize = base64EncodeLen(n);
    std::unique_ptr<char[]> encoded(new char[static_cast<std::size_t>(encodedSize)]);
    check(base64Encode(encoded.get(), out.get(), n) == encodedSize);
    std::unique_ptr<char[]> again(
        new char[static_cast<std::size_t>(base64DecodeLen(encoded.get()))]);
    check(base64Decode(again.get(), encoded.get()) == n);
    check(std::memcmp(again.get(), out.get(), static_cast<std::size_t>(n)) == 0);
    return 0;
}
