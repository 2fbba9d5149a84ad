#include "service/entry_policy.h"

#include <algorithm>

#include "hosts/entry_syntax.h"

namespace varnick {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The address as a range of one: all its bits significant.
std::optional<AddressRange> exactAddress(std::string_view text) {
  const std::optional<IpAddress> address = parseIpAddress(text);
  if (!address) return std::nullopt;
  return AddressRange{std::string(text), *address, address->family == IpFamily::kIpv4 ? 32 : 128};
}

bool contains(const AddressRange& range, const IpAddress& address) {
  if (range.address.family != address.family) return false;
  for (int bit = 0; bit < range.prefixBits; ++bit) {
    const int mask = 0x80 >> (bit % 8);
    if ((range.address.bytes[bit / 8] & mask) != (address.bytes[bit / 8] & mask)) return false;
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
  const std::optional<IpAddress> address = parseIpAddress(line->address);
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
