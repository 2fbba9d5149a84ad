// The one reading of an address as a hosts line writes it: the entry checks
// ask whether a field is one, and the service's policy what it points at.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace varnick {

enum class IpFamily : std::uint8_t { kIpv4, kIpv6 };

struct IpAddress {
  IpFamily family = IpFamily::kIpv4;
  // In network order; an IPv4 address fills the first four, the rest are 0.
  std::array<std::uint8_t, 16> bytes{};

  bool operator==(const IpAddress& other) const {
    return family == other.family && bytes == other.bytes;
  }
};

// Four dotted decimal parts of 0 to 255, none with a leading zero (some
// resolvers read "010" as octal 8); or the IPv6 text form: groups of one to
// four hex digits, at most one "::" for one or more zero groups, and a
// dotted IPv4 address allowed last for two groups. No zone, brackets or
// prefix length: a hosts line has none. Nothing for anything else.
[[nodiscard]] std::optional<IpAddress> parseIpAddress(std::string_view text);

}  // namespace varnick
