#include "trust/folder_rights.h"

#include <string_view>

namespace varnick::control {
namespace {

constexpr std::string_view kAdministrators = "S-1-5-32-544";
constexpr std::string_view kSystem = "S-1-5-18";
constexpr std::string_view kTrustedInstaller =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr std::string_view kOwnerRights = "S-1-3-4";
constexpr std::string_view kEveryone = "S-1-1-0";

}  // namespace

bool isTrustedTrustee(const std::string& sid) {
  return sid == kAdministrators || sid == kSystem || sid == kTrustedInstaller ||
         sid == kOwnerRights;
}

std::optional<std::string> untrustedChanger(const ObjectRights& rights) {
  // OWNER RIGHTS speaks for the owner only when the owner is trusted.
  if (!isTrustedTrustee(rights.owner) || rights.owner == kOwnerRights) return rights.owner;
  if (!rights.hasDacl) return std::string(kEveryone);
  for (const AccessEntry& entry : rights.entries) {
    if (!entry.allows || entry.inheritOnly || (entry.mask & kChangeRights) == 0) continue;
    if (!isTrustedTrustee(entry.trustee)) return entry.trustee;
  }
  return std::nullopt;
}

}  // namespace varnick::control
