#include "app/port.h"

#include <cstdint>
#include <cwctype>
#include <limits>

namespace varnick {

std::int32_t parsePort(const wchar_t* text) {
  const wchar_t* p = text;
  while (std::iswspace(static_cast<std::wint_t>(*p)))
    ++p;
  bool negative = false;
  if (*p == L'+' || *p == L'-') {
    negative = (*p == L'-');
    ++p;
  }
  // Accumulate the magnitude in 64 bits and stop growing it once it is past
  // every 32-bit limit, so long digit strings cannot overflow.
  constexpr std::int64_t kCap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  bool anyDigit = false;
  for (; *p >= L'0' && *p <= L'9'; ++p) {
    anyDigit = true;
    if (magnitude <= kCap) magnitude = magnitude * 10 + (*p - L'0');
  }
  if (!anyDigit) return 0;
  if (negative) {
    return magnitude >= kCap ? std::numeric_limits<std::int32_t>::min()
                             : static_cast<std::int32_t>(-magnitude);
  }
  return magnitude >= kCap ? std::numeric_limits<std::int32_t>::max()
                           : static_cast<std::int32_t>(magnitude);
}

bool isValidPort(std::int32_t port) { return port >= 1 && port <= 65535; }

}  // namespace varnick
