// What varnick-session says to do when it refuses: the sentence for an
// entry that reads as no hosts line, and the ways out of a refusal to start
// varnick.exe, which depend on what the Varnick service said first.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/entry_policy.h"

namespace varnick::control {

// Why `entry` (UTF-8, as given) is refused as no hosts line, naming it as
// `shown`: "the entry '<shown>' ...", with the advice of --raw where sending
// it as it is would help; nothing when it reads as one.
[[nodiscard]] std::optional<std::string> entrySyntaxRefusal(std::string_view entry,
                                                            std::string_view shown);

// How an administrator widens the Varnick service's policy past `rule`:
// which value under its registry key to change. Nothing for a rule that no
// value widens.
[[nodiscard]] std::optional<std::string> policyRemedy(PolicyRule rule);

// What the Varnick service said before a session turned to consent.
struct ServiceAnswer {
  bool answered = false;                        // it runs, and it answered
  PolicyRule refusedBy = PolicyRule::kAllowed;  // the rule of its refusal, when it refused
};

// The ways out when varnick.exe lies where others than administrators may
// change it, one a line: installing the service is one only while no
// service answered; a refusal by a running one is met by widening its policy.
[[nodiscard]] std::vector<std::string> untrustedFolderRemedies(const ServiceAnswer& service);

}  // namespace varnick::control
