// What the Varnick service adds for a caller who is not an administrator:
// only entries that point nowhere but at this machine (a loopback address),
// under names that exist on no network (.test and .localhost are reserved
// for that), and only so many. Such an entry can neither send anyone to
// another machine nor hide a real name, so the service may offer it to
// every interactive user, and to programs nobody should trust. An
// administrator may widen the rules.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/ip_address.h"

namespace varnick {

// An address with its first `prefixBits` bits significant: "127.0.0.0/8",
// "::1".
struct AddressRange {
  std::string text;  // as written, for messages
  IpAddress address;
  int prefixBits = 0;
};

// "a.b.c.d[/n]" or an IPv6 address "[/n]", as an administrator writes it;
// nothing for anything else.
[[nodiscard]] std::optional<AddressRange> parseAddressRange(std::string_view text);

struct EntryPolicy {
  // Names equal to one of these, or ending in "." and one of them.
  std::vector<std::string> nameSuffixes{"test", "localhost"};
  std::vector<AddressRange> addresses{*parseAddressRange("127.0.0.0/8"), *parseAddressRange("::1")};
  std::size_t maxPerConnection = 32;
  // One user's connections together: one user cannot take every place.
  std::size_t maxPerUser = 64;
  std::size_t maxInAll = 256;
};

// What an administrator adds to the policy (HKLM\Software\Varnick, where
// only administrators may write): more name suffixes and address ranges,
// and other bounds. The defaults stay.
struct PolicyAdditions {
  std::vector<std::string> nameSuffixes;
  std::vector<std::string> addresses;
  std::optional<std::size_t> maxPerConnection;
  std::optional<std::size_t> maxPerUser;
  std::optional<std::size_t> maxInAll;
};

// The default policy with `additions`; each addition that is not a host
// name or an address range is left out and named in `refused`.
[[nodiscard]] EntryPolicy widenedPolicy(const PolicyAdditions& additions,
                                        std::vector<std::string>& refused);

// The policy in words: "names under .test, .localhost; addresses
// 127.0.0.0/8, ::1; 32 entries a connection, 64 a user, 256 in all".
[[nodiscard]] std::string policyText(const EntryPolicy& policy);

// The rule an entry met first; kAllowed when it met none.
enum class PolicyRule {
  kAllowed,
  kNotOneLine,     // a line break, another control character, or too long
  kNotAHostsLine,  // no address and host names
  kAddress,        // an address outside the allowed ones
  kName,           // a name under none of the allowed suffixes
  kPerConnection,  // this connection holds as many as it may
  kInAll,          // the service holds as many as it may
  kPerUser,        // the caller's user holds as many as one may
  kNameHeld,       // another user's connection holds one of its names
};

// Its own type rather than an Expected: a refusal is an answer, not a
// failure, and the rule, kAllowed included, is what the reply carries.
struct PolicyVerdict {
  PolicyRule rule = PolicyRule::kAllowed;
  std::string detail;  // what broke the rule, in words that complete "refused: "
  bool allowed() const { return rule == PolicyRule::kAllowed; }
};

// Checks `entry` (bytes as they would go into the hosts file) against
// `policy`, given how many entries the caller's connection and the service
// hold already. The entry is parsed as a hosts line first; nothing in it is
// matched as a substring.
[[nodiscard]] PolicyVerdict checkEntry(const EntryPolicy& policy, std::string_view entry,
                                       std::size_t heldByConnection, std::size_t heldInAll);

}  // namespace varnick
