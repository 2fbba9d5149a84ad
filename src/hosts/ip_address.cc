#include "hosts/ip_address.h"

#include <cstddef>

namespace varnick {
namespace {

constexpr std::size_t kIpv6Groups = 8;

// Characters are classified by hand: <cctype> depends on the locale.
bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::uint8_t> decimalPart(std::string_view digits) {
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
  int value = 0;
  for (char c : digits)
    value = value * 10 + (c - '0');
  if (value > 255) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

std::optional<std::array<std::uint8_t, 4>> ipv4Bytes(std::string_view s) {
  std::array<std::uint8_t, 4> bytes{};
  for (std::size_t part = 0; part < bytes.size(); ++part) {
    if (part > 0) {
      if (s.empty() || s[0] != '.') return std::nullopt;
      s.remove_prefix(1);
    }
    std::size_t digits = 0;
    while (digits < s.size() && isDigit(s[digits]))
      ++digits;
    const std::optional<std::uint8_t> value = decimalPart(s.substr(0, digits));
    if (!value) return std::nullopt;
    bytes[part] = *value;
    s.remove_prefix(digits);
  }
  if (!s.empty()) return std::nullopt;
  return bytes;
}

std::optional<std::uint16_t> hexGroup(std::string_view group) {
  if (group.empty() || group.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (char c : group) {
    const int digit = hexValue(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<std::uint16_t>(value);
}

// The 16-bit groups that one side of an IPv6 address's "::" (or the whole
// address, when it has none) stands for.
struct Groups {
  std::array<std::uint16_t, kIpv6Groups> values{};
  std::size_t count = 0;

  [[nodiscard]] bool add(std::uint16_t value) {
    if (count == values.size()) return false;
    values[count++] = value;
    return true;
  }
};

// Groups between single colons, or nothing at all; a dotted IPv4 address may
// stand last for two groups when `mayEndInIpv4`. Nothing for anything else,
// for more than eight groups, or for a colon at either end (the group
// beside it is empty): a second "::" is refused that way.
std::optional<Groups> groups(std::string_view s, bool mayEndInIpv4) {
  Groups out;
  while (!s.empty()) {
    const std::size_t colon = s.find(':');
    const std::string_view group = s.substr(0, colon);
    if (colon == std::string_view::npos && mayEndInIpv4 &&
        group.find('.') != std::string_view::npos) {
      const auto v4 = ipv4Bytes(group);
      if (!v4 || !out.add(static_cast<std::uint16_t>((*v4)[0] << 8 | (*v4)[1])) ||
          !out.add(static_cast<std::uint16_t>((*v4)[2] << 8 | (*v4)[3]))) {
        return std::nullopt;
      }
      return out;
    }
    const std::optional<std::uint16_t> value = hexGroup(group);
    if (!value || !out.add(*value)) return std::nullopt;
    if (colon == std::string_view::npos) return out;
    s.remove_prefix(colon + 1);
    if (s.empty()) return std::nullopt;  // a colon at the end
  }
  return out;
}

std::optional<std::array<std::uint8_t, 16>> ipv6Bytes(std::string_view s) {
  const std::size_t gap = s.find("::");
  const bool hasGap = gap != std::string_view::npos;
  const std::optional<Groups> head = groups(s.substr(0, gap), !hasGap);
  const std::optional<Groups> tail = hasGap ? groups(s.substr(gap + 2), true) : Groups{};
  if (!head || !tail) return std::nullopt;
  // Without "::" all eight groups are written; "::" stands for at least one.
  if (hasGap ? head->count + tail->count >= kIpv6Groups : head->count != kIpv6Groups)
    return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < head->count; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(head->values[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(head->values[i]);
  }
  for (std::size_t i = 0; i < tail->count; ++i) {
    const std::size_t at = bytes.size() - 2 * (tail->count - i);
    bytes[at] = static_cast<std::uint8_t>(tail->values[i] >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(tail->values[i]);
  }
  return bytes;
}

}  // namespace

std::optional<IpAddress> parseIpAddress(std::string_view text) {
  IpAddress address;
  if (const auto v4 = ipv4Bytes(text)) {
    for (std::size_t i = 0; i < v4->size(); ++i)
      address.bytes[i] = (*v4)[i];
    return address;
  }
  const auto v6 = ipv6Bytes(text);
  if (!v6) return std::nullopt;
  address.family = IpFamily::kIpv6;
  address.bytes = *v6;
  return address;
}

}  // namespace varnick
