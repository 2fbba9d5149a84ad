// Whether anyone but administrators could have changed a program that is
// about to run elevated: its owner and access entries, read from its file
// and from its folder, as portable values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnick::control {

// One access entry, with its trustee as a string SID ("S-1-5-32-544").
struct AccessEntry {
  bool allows = true;        // an allow entry; deny entries take no right away here
  std::string trustee;       // string SID
  std::uint32_t mask = 0;    // access mask as stored, generic bits included
  bool inheritOnly = false;  // applies to children only, not to the object itself
};

struct ObjectRights {
  std::string owner;    // string SID
  bool hasDacl = true;  // no DACL at all lets everyone do everything
  std::vector<AccessEntry> entries;
};

// The rights that let their holder change what runs: write or append data,
// add files or folders to a folder, delete the object or a child, change its
// access rules or take ownership; and the generic rights that hold those.
constexpr std::uint32_t kChangeRights = 0x00000002u     // write data, add a file
                                        | 0x00000004u   // append data, add a folder
                                        | 0x00000040u   // delete a child
                                        | 0x00010000u   // delete
                                        | 0x00040000u   // change the access rules
                                        | 0x00080000u   // take ownership
                                        | 0x10000000u   // generic all
                                        | 0x40000000u;  // generic write

// Administrators, SYSTEM, TrustedInstaller, and OWNER RIGHTS (which stands for
// the owner, itself checked).
bool isTrustedTrustee(const std::string& sid);

// Who, besides the trusted, could change the object: the owner when it is
// not trusted (an owner may always rewrite the rules), everyone ("S-1-1-0")
// when there is no DACL, or the first other trustee given a change right.
// Deny entries are not weighed: reading them right needs their order and
// group memberships, and leaving them out can only refuse more, never less.
std::optional<std::string> untrustedChanger(const ObjectRights& rights);

}  // namespace varnick::control
