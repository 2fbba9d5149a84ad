#include "session/session_advice.h"

#include "hosts/entry_syntax.h"

namespace varnick::control {
namespace {

// Where an administrator widens the service's policy (policy_registry_win32.h).
constexpr char kPolicyKeyShown[] = "HKLM\\Software\\Varnick";

std::string widen(const std::string& what, const char* type, const char* value) {
  return "have an administrator " + what + ": the " + type + " value " + value + " under " +
         kPolicyKeyShown + ", which the service reads when it starts";
}

}  // namespace

std::optional<std::string> entrySyntaxRefusal(std::string_view entry, std::string_view shown) {
  std::optional<std::string> problem = entrySyntaxProblem(entry);
  if (!problem) return std::nullopt;
  // A problem that names a part of the entry starts with it.
  const char* joint = problem->front() == '\'' ? "' is refused: " : "' ";
  std::string refusal = "the entry '" + std::string(shown) + joint + *problem;
  // Sent as it is, an address with a port makes a line that Windows passes over.
  if (!portAfterAddress(entry)) refusal += " (--raw sends entries as they are)";
  return refusal;
}

std::optional<std::string> policyRemedy(PolicyRule rule) {
  const std::string policy = " to the Varnick service's policy";
  switch (rule) {
    case PolicyRule::kAddress:
      return widen("add the address" + policy, "REG_MULTI_SZ", "Addresses");
    case PolicyRule::kName:
      return widen("add the name's suffix" + policy, "REG_MULTI_SZ", "NameSuffixes");
    case PolicyRule::kPerConnection:
      return widen("raise how many entries a session may hold through the service", "REG_DWORD",
                   "MaxPerConnection");
    case PolicyRule::kPerUser:
      return widen("raise how many entries one user's sessions may hold through the service",
                   "REG_DWORD", "MaxPerUser");
    case PolicyRule::kInAll:
      return widen("raise how many entries the service may hold in all", "REG_DWORD", "MaxInAll");
    case PolicyRule::kAllowed:
    case PolicyRule::kNotOneLine:
    case PolicyRule::kNotAHostsLine:
    case PolicyRule::kNameHeld:
      break;
  }
  return std::nullopt;
}

std::vector<std::string> untrustedFolderRemedies(const ServiceAnswer& service) {
  std::vector<std::string> remedies{
      "install Varnick for all users: winget install --scope machine, scoop install --global, "
      "or unpack the zip under C:\\Program Files"};
  if (!service.answered) {
    remedies.emplace_back(
        "or install the Varnick service once (varnick service install, elevated): a session "
        "through it starts no varnick.exe from here");
  } else if (std::optional<std::string> widened = policyRemedy(service.refusedBy)) {
    remedies.push_back("or " + *widened);
  }
  remedies.emplace_back("or, accepting that risk, add --trust-varnick-folder");
  return remedies;
}

}  // namespace varnick::control
