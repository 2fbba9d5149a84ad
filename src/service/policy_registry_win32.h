// Where an administrator widens the service's policy: the key
// HKLM\Software\Varnick, which only administrators may change.
//   NameSuffixes       REG_MULTI_SZ  more name suffixes ("corp.example")
//   Addresses          REG_MULTI_SZ  more address ranges ("10.0.0.0/8")
//   MaxPerConnection   REG_DWORD     entries a connection may hold
//   MaxInAll           REG_DWORD     entries the service may hold in all
#pragma once

#include <string>
#include <vector>

#include "service/entry_policy.h"

namespace varnick {

constexpr wchar_t kPolicyKey[] = L"Software\\Varnick";

// What the key adds; a value that is there but cannot be read, or is of
// another type, is named in `problems` and left out.
[[nodiscard]] PolicyAdditions readPolicyAdditions(std::vector<std::string>& problems);

}  // namespace varnick
