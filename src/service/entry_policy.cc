#include "service/entry_policy.h"

#include <algorithm>

#include "hosts/entry_syntax.h"

namespace varnick {
namespace {

using Bytes = std::array<std::uint8_t, 16>;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four decimal parts of 0 to 255 without a leading zero, as the hosts line
// check takes them.
std::optional<std::array<std::uint8_t, 4>> ipv4Bytes(std::string_view s) {
  std::array<std::uint8_t, 4> bytes{};
  for (std::size_t part = 0; part < 4; ++part) {
    if (part > 0) {
      if (s.empty() || s[0] != '.') return std::nullopt;
      s.remove_prefix(1);
    }
    std::size_t digits = 0;
    int value = 0;
    while (digits < s.size() && isDigit(s[digits]) && digits < 3)
      value = value * 10 + (s[digits++] - '0');
    if (digits == 0 || value > 255 || (digits > 1 && s[0] == '0')) return std::nullopt;
    bytes[part] = static_cast<std::uint8_t>(value);
    s.remove_prefix(digits);
  }
  if (!s.empty()) return std::nullopt;
  return bytes;
}

// Groups of one to four hex digits between single colons; a dotted IPv4
// address may stand last for two groups. Nothing for anything else.
std::optional<std::vector<std::uint16_t>> groups(std::string_view s, bool mayEndInIpv4) {
  std::vector<std::uint16_t> out;
  while (!s.empty() && out.size() <= 8) {
    const std::size_t colon = s.find(':');
    const std::string_view group = s.substr(0, colon);
    if (colon == std::string_view::npos && mayEndInIpv4 &&
        group.find('.') != std::string_view::npos) {
      auto v4 = ipv4Bytes(group);
      if (!v4) return std::nullopt;
      out.push_back(static_cast<std::uint16_t>((*v4)[0] << 8 | (*v4)[1]));
      out.push_back(static_cast<std::uint16_t>((*v4)[2] << 8 | (*v4)[3]));
      return out;
    }
    if (group.empty() || group.size() > 4) return std::nullopt;
    unsigned value = 0;
    for (char c : group) {
      const int digit = hexValue(c);
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    out.push_back(static_cast<std::uint16_t>(value));
    if (colon == std::string_view::npos) return out;
    s.remove_prefix(colon + 1);
    if (s.empty()) return std::nullopt;  // a colon at the end
  }
  if (out.size() > 8) return std::nullopt;
  return out;
}

std::optional<Bytes> ipv6Bytes(std::string_view s) {
  const std::size_t gap = s.find("::");
  std::vector<std::uint16_t> head;
  std::vector<std::uint16_t> tail;
  if (gap == std::string_view::npos) {
    auto all = groups(s, true);
    if (!all || all->size() != 8) return std::nullopt;
    head = *all;
  } else {
    auto before = groups(s.substr(0, gap), false);
    auto after = groups(s.substr(gap + 2), true);
    // "::" stands for at least one zero group.
    if (!before || !after || before->size() + after->size() > 7) return std::nullopt;
    head = *before;
    tail = *after;
  }
  Bytes bytes{};
  for (std::size_t i = 0; i < head.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(head[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(head[i]);
  }
  for (std::size_t i = 0; i < tail.size(); ++i) {
    const std::size_t at = 16 - 2 * (tail.size() - i);
    bytes[at] = static_cast<std::uint8_t>(tail[i] >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(tail[i]);
  }
  return bytes;
}

// The address as a range of one: all its bits significant.
std::optional<AddressRange> exactAddress(std::string_view text) {
  AddressRange range;
  range.text = std::string(text);
  if (auto v4 = ipv4Bytes(text)) {
    std::copy(v4->begin(), v4->end(), range.bytes.begin());
    range.prefixBits = 32;
    return range;
  }
  if (auto v6 = ipv6Bytes(text)) {
    range.ipv6 = true;
    range.bytes = *v6;
    range.prefixBits = 128;
    return range;
  }
  return std::nullopt;
}

bool contains(const AddressRange& range, const AddressRange& address) {
  if (range.ipv6 != address.ipv6) return false;
  for (int bit = 0; bit < range.prefixBits; ++bit) {
    const int mask = 0x80 >> (bit % 8);
    if ((range.bytes[bit / 8] & mask) != (address.bytes[bit / 8] & mask)) return false;
  }
  return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

// `name` is `suffix`, or ends in "." and `suffix`, in any case.
bool isUnder(std::string_view name, std::string_view suffix) {
  if (sameIgnoringCase(name, suffix)) return true;
  return name.size() > suffix.size() && name[name.size() - suffix.size() - 1] == '.' &&
         sameIgnoringCase(name.substr(name.size() - suffix.size()), suffix);
}

template <typename Items, typename Shown>
std::string listed(const Items& items, Shown shown) {
  std::string text;
  for (const auto& item : items)
    text += (text.empty() ? "" : ", ") + shown(item);
  return text.empty() ? "none" : text;
}

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

}  // namespace

std::optional<AddressRange> parseAddressRange(std::string_view text) {
  const std::size_t slash = text.find('/');
  std::optional<AddressRange> range = exactAddress(text.substr(0, slash));
  if (!range || slash == std::string_view::npos) return range;
  const std::string_view bits = text.substr(slash + 1);
  int value = 0;
  if (bits.empty() || bits.size() > 3 || (bits.size() > 1 && bits[0] == '0')) return std::nullopt;
  for (char c : bits) {
    if (!isDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > range->prefixBits) return std::nullopt;
  range->prefixBits = value;
  range->text = std::string(text);
  return range;
}

EntryPolicy widenedPolicy(const PolicyAdditions& additions, std::vector<std::string>& refused) {
  EntryPolicy policy;
  for (const std::string& suffix : additions.nameSuffixes) {
    // A suffix is a host name: checked as one on a hosts line.
    if (parseHostsLine("127.0.0.1 " + suffix) &&
        suffix.find_first_of(" \t#") == std::string::npos) {
      policy.nameSuffixes.push_back(suffix);
    } else {
      refused.push_back("the name suffix " + quoted(suffix));
    }
  }
  for (const std::string& text : additions.addresses) {
    if (std::optional<AddressRange> range = parseAddressRange(text)) {
      policy.addresses.push_back(*range);
    } else {
      refused.push_back("the address range " + quoted(text));
    }
  }
  if (additions.maxPerConnection) policy.maxPerConnection = *additions.maxPerConnection;
  if (additions.maxPerUser) policy.maxPerUser = *additions.maxPerUser;
  if (additions.maxInAll) policy.maxInAll = *additions.maxInAll;
  return policy;
}

std::string policyText(const EntryPolicy& policy) {
  return "names under " +
         listed(policy.nameSuffixes, [](const std::string& s) { return "." + s; }) +
         "; addresses " + listed(policy.addresses, [](const AddressRange& r) { return r.text; }) +
         "; " + std::to_string(policy.maxPerConnection) + " entries a connection, " +
         std::to_string(policy.maxPerUser) + " a user, " + std::to_string(policy.maxInAll) +
         " in all";
}

PolicyVerdict checkEntry(const EntryPolicy& policy, std::string_view entry,
                         std::size_t heldByConnection, std::size_t heldInAll) {
  if (std::optional<std::string> problem = entryProblem(entry))
    return {PolicyRule::kNotOneLine, "the entry " + *problem};
  std::optional<HostsLine> line = parseHostsLine(entry);
  if (!line)
    return {PolicyRule::kNotAHostsLine, "the entry " + entrySyntaxProblem(entry).value_or("")};
  std::optional<AddressRange> address = exactAddress(line->address);
  const bool addressAllowed =
      address && std::any_of(policy.addresses.begin(), policy.addresses.end(),
                             [&address](const AddressRange& r) { return contains(r, *address); });
  if (!addressAllowed) {
    return {PolicyRule::kAddress,
            quoted(line->address) + " is not among the addresses allowed: " +
                listed(policy.addresses, [](const AddressRange& r) { return r.text; })};
  }
  for (const std::string& name : line->names) {
    if (std::none_of(policy.nameSuffixes.begin(), policy.nameSuffixes.end(),
                     [&name](const std::string& suffix) { return isUnder(name, suffix); })) {
      return {PolicyRule::kName,
              quoted(name) + " is under none of the names allowed: " +
                  listed(policy.nameSuffixes, [](const std::string& s) { return "." + s; })};
    }
  }
  if (heldByConnection >= policy.maxPerConnection) {
    return {PolicyRule::kPerConnection, "this connection holds " +
                                            std::to_string(heldByConnection) +
                                            " entries, as many as one may"};
  }
  if (heldInAll >= policy.maxInAll) {
    return {PolicyRule::kInAll,
            "the service holds " + std::to_string(heldInAll) + " entries, as many as it may"};
  }
  return {};
}

}  // namespace varnick
