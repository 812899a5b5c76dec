/// @file
/// The library's interface string type: a NUL-terminated char string of 32 bytes that keeps up to
/// 31 characters inline and longer texts in one heap block. Its layout is part of the binary
/// interface between the library and separately compiled callers.
#ifndef INFRA_FLEXSTRING_H
#define INFRA_FLEXSTRING_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "infra/infra3/detail/AllocatorStringStorage.h"
#include "infra/infra3/detail/SmallStringOpt.h"
#include "infra/infra3/detail/flex_string.h"

namespace Tovix {
namespace Infra {

/// See Detail::flex_string for the interface and how it differs from std::string, and
/// Detail::SmallStringOpt for the layout.
typedef Detail::flex_string<
    char, std::char_traits<char>, std::allocator<char>,
    Detail::SmallStringOpt<Detail::AllocatorStringStorage<char, std::allocator<char>>, 31, char*>>
    flex_string;

static_assert(sizeof(flex_string) == 32, "flex_string is 32 bytes on every target");

}  // namespace Infra
}  // namespace Tovix

namespace std {

/// Hashes like std::string and std::string_view of the same text.
template <>
struct hash<Tovix::Infra::flex_string> {
    size_t operator()(const Tovix::Infra::flex_string& str) const noexcept {
        return hash<string_view>()(string_view(str.data(), str.size()));
    }
};

}  // namespace std

#endif  // INFRA_FLEXSTRING_H
