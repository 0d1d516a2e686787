// 16-byte identifiers and their 36-character text form (8-4-4-4-12 hexadecimal digits). The
// bytes are kept in text order, so comparing GUIDs orders them like their texts.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace qrs {

struct GUID {
  std::array<uint8_t, 16> bytes{};
  friend auto operator<=>(const GUID&, const GUID&) = default;
};

namespace Guid {

// False (and `out` untouched) unless `text` is exactly 36 characters with hyphens at 8, 13, 18
// and 23 and hexadecimal digits (either case) elsewhere.
bool StringToGUID(std::string_view text, GUID* out);
// Lower-case text form.
std::string GUIDToString(const GUID& guid);
// A random (version 4) GUID.
GUID NewGUID();

}  // namespace Guid
}  // namespace qrs
