#include "session/session_advice.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

TEST(EntrySyntaxRefusal, NamesTheEntryAndAdvisesRawUnlessItHasAPort) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"127.0.0.1 api.test", std::nullopt},
      {"api.test 127.0.0.1",
       "the entry 'api.test 127.0.0.1' is refused: 'api.test' is not an IPv4 or IPv6 address; the "
       "address comes first (--raw sends entries as they are)"},
      {"127.0.0.1",
       "the entry '127.0.0.1' has no host name after the address '127.0.0.1' (--raw "
       "sends entries as they are)"},
      {"127.0.0.1:3000 api.test",
       "the entry '127.0.0.1:3000 api.test' has a port (:3000): a hosts line maps names to an "
       "address alone; give the port to the program instead"},
      {"[::1]:5173 api.test",
       "the entry '[::1]:5173 api.test' has a port (:5173): a hosts line maps names to an "
       "address alone; give the port to the program instead"},
  };
  for (const auto& [entry, refusal] : cases)
    EXPECT_EQ(entrySyntaxRefusal(entry, entry), refusal) << entry;
}

TEST(UntrustedFolderRemedies, InstallTheServiceOnlyWhenNoneAnsweredElseWidenItsPolicy) {
  const std::string kForAll =
      "install Varnick for all users: winget install --scope machine, scoop install --global, or "
      "unpack the zip under C:\\Program Files";
  const std::string kInstall =
      "or install the Varnick service once (varnick service install, elevated): a session "
      "through it starts no varnick.exe from here";
  const std::string kTrust = "or, accepting that risk, add --trust-varnick-folder";
  const std::string kWiden = "or have an administrator ";
  const std::string kRead =
      " under HKLM\\Software\\Varnick, which the service reads when it starts";
  const std::pair<ServiceAnswer, std::vector<std::string>> cases[] = {
      {{}, {kForAll, kInstall, kTrust}},
      {{true, PolicyRule::kAddress},
       {kForAll,
        kWiden +
            "add the address to the Varnick service's policy: the REG_MULTI_SZ value "
            "Addresses" +
            kRead,
        kTrust}},
      {{true, PolicyRule::kName},
       {kForAll,
        kWiden +
            "add the name's suffix to the Varnick service's policy: the REG_MULTI_SZ "
            "value NameSuffixes" +
            kRead,
        kTrust}},
      {{true, PolicyRule::kPerConnection},
       {kForAll,
        kWiden +
            "raise how many entries a session may hold through the service: the "
            "REG_DWORD value MaxPerConnection" +
            kRead,
        kTrust}},
      // Nothing in the policy widens these: the other ways out alone.
      {{true, PolicyRule::kNameHeld}, {kForAll, kTrust}},
      {{true, PolicyRule::kAllowed}, {kForAll, kTrust}},  // it answered but could not add
  };
  for (const auto& [service, remedies] : cases)
    EXPECT_EQ(untrustedFolderRemedies(service), remedies) << static_cast<int>(service.refusedBy);
  EXPECT_NE(
      policyRemedy(PolicyRule::kPerUser).value_or("").find(": the REG_DWORD value MaxPerUser"),
      std::string::npos);
  EXPECT_NE(policyRemedy(PolicyRule::kInAll).value_or("").find(": the REG_DWORD value MaxInAll"),
            std::string::npos);
}

}  // namespace
}  // namespace varnick::control
