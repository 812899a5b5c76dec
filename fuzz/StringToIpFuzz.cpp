// Fuzzes stringToIp on arbitrary bytes: the text lives in an allocation that ends right after
// its terminator, so any read past it is reported. The address read must print back to text
// that reads as the same address, and a cut text must stay inside its buffer, terminated.
//
// The program is built from the string helpers' source alone; the log path is replaced below
// by one that formats each warning (so its arguments are read) and drops it.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "infra/StringUtil.h"
#include "infra3/core/Diagnostics.h"

namespace Tovix {
namespace Infra {
namespace Detail {

bool diagnosticShown(int) {
    return true;
}

int logDiagnostic(int, const char*, const char*, int, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return length;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

namespace {

using FuzzSupport::check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Tovix::Utils;
    if (size > 1 << 16) {
        return 0;
    }
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';
    const Tovix::IpAddress ip = stringToIp(text.get());

    char full[16];
    check(ipToString(ip, full, sizeof full) == full);
    check(stringToIp(full).value == ip.value);

    // A buffer of 0 to 16 bytes, chosen by the first input byte, with a guard byte after it.
    const unsigned int len = size > 0 ? data[0] % 17u : 0u;
    std::unique_ptr<char[]> small(new char[len + 1]);
    std::memset(small.get(), 'x', len + 1);
    ipToString(ip, small.get(), len);
    check(small[len] == 'x');
    if (len > 0) {
        const std::size_t kept = std::strlen(small.get());
        check(kept < len);
        check(std::strncmp(small.get(), full, kept) == 0);
    }
    return 0;
}
